// Both ends of the overlay link in one process: the main program's PipeServer (with a stand-in
// main window) and the hudlet overlay window, talking through the real mailboxes and pipe; and
// each end against bare sockets, to see the exact bytes and codes and to feed it bad input.
#include "fake_peer.h"
#include "overlay/overlay_chat_page.h"
#include "overlay/overlay_dialog.h"
#include "overlay_test_support.h"

#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include <climits>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace lumo;
using namespace lumo::test;
namespace to_main = lumo::link::to_main;
namespace to_overlay = lumo::link::to_overlay;

class OverlayLinkTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeMainWindow> main;
    std::unique_ptr<PipeServer> server;
    std::unique_ptr<RecordingBoxes> boxes;

    void startMain(const Roster& roster)
    {
        main = std::make_unique<FakeMainWindow>();
        main->setRoster(roster);
        server = std::make_unique<PipeServer>(*main);
        main->server = server.get();
        QVERIFY(server->mailboxOpen());
    }

    // Runs `command` of the overlay's popup menu on `row` as a right-click would.
    static void menuCommand(OverlayChatPage& page, int row, int command)
    {
        page.memberList()->setCurrentItem(page.memberList()->topLevelItem(row));
        page.openMenu(QPoint(0, 0));
        page.popupMenu()->hide();
        QCOMPARE(page.menuRow(), row);
        page.onMenuCommand(command);
    }

private slots:
    void init() { boxes = std::make_unique<RecordingBoxes>(); }
    void cleanup()
    {
        server.reset();
        main.reset();
        boxes.reset();
        QTest::qWait(20);  // let deleteLater'd sockets go
    }

    void handshakeFillsTheOverlayAndEveryOverlayCodeReachesTheMainWindow()
    {
        startMain(overlayRoster({"ann", "小明", "cyd"}));
        main->voiceSlots[1] = link::VoiceAnswer::Refused;
        auto* overlay = new OverlayDialog;
        QPointer<OverlayDialog> guard(overlay);
        QVERIFY(overlay->mailboxOpen());
        // OverlayOpened -> the pipe -> PipeReady -> the overlay connects and asks for the roster.
        QTRY_VERIFY(server->overlayConnected());
        QVERIFY(overlay->pipeConnected());
        OverlayChatPage& page = overlay->chatPage();
        QTRY_COMPARE(page.rowCount(), 3);
        QCOMPARE(page.cellText(0, OverlayChatPage::IdColumn), QStringLiteral("2"));
        QCOMPARE(page.cellText(0, OverlayChatPage::NameColumn), QStringLiteral("cyd"));
        QCOMPARE(page.cellText(1, OverlayChatPage::NameColumn), QStringLiteral("小明"));
        QCOMPARE(page.cellText(2, OverlayChatPage::IdColumn), QStringLiteral("0"));
        QCOMPARE(page.cellText(2, OverlayChatPage::LinkColumn), QString());
        QVERIFY(boxes->texts.isEmpty());

        // "要聊" on row 0 (member 2): the main window ticks that member (which sends the selection
        // back), then starts talking; in that order.
        menuCommand(page, 0, OverlayChatPage::TalkToCommand);
        QTRY_VERIFY(main->log.contains(QStringLiteral("talk 1")));
        QCOMPARE(main->log, (QStringList{"tick 2 1", "talk 1"}));
        QCOMPARE(page.cellText(0, OverlayChatPage::LinkColumn), QStringLiteral("ok"));
        QCOMPARE(page.talkButton()->text(), OverlayChatPage::StopText);
        QTRY_VERIFY(page.isRowTicked(0));
        QCOMPARE(main->targets, std::vector<int>{2});

        // The talk button stops, then starts again: VoiceToggle 0 and 1.
        main->log.clear();
        page.talkButton()->click();
        QTRY_COMPARE(main->log, (QStringList{"talk 0"}));
        main->log.clear();
        page.talkButton()->click();
        QTRY_COMPARE(main->log, (QStringList{"talk 1"}));

        // "不聊" clears the tick on both sides.
        main->log.clear();
        menuCommand(page, 0, OverlayChatPage::DontTalkToCommand);
        QTRY_COMPARE(main->log, (QStringList{"tick 2 0"}));
        QTRY_VERIFY(!page.isRowTicked(0));
        QVERIFY(main->targets.empty());
        QCOMPARE(page.cellText(0, OverlayChatPage::LinkColumn), QString());

        // With nothing ticked the talk button only resets its text and posts nothing.
        main->log.clear();
        page.talkButton()->click();
        QCOMPARE(page.talkButton()->text(), OverlayChatPage::TalkText);
        QTest::qWait(50);
        QVERIFY(main->log.isEmpty());

        // The three answers for row 1 (member 1, which has a voice slot) and for row 2 (member 0,
        // which has none: nothing changes in the main window).
        main->log.clear();
        menuCommand(page, 1, OverlayChatPage::ListenCommand);
        QTRY_COMPARE(main->voiceSlots[1], link::VoiceAnswer::Accepted);
        QTRY_COMPARE(main->rows[1].voiceText, FakeMainWindow::ChattingText);
        QCOMPARE(page.cellText(1, OverlayChatPage::VoiceColumn), QStringLiteral("要听"));
        menuCommand(page, 1, OverlayChatPage::DontListenCommand);
        QTRY_COMPARE(main->voiceSlots[1], link::VoiceAnswer::Refused);
        QTRY_COMPARE(main->rows[1].voiceText, FakeMainWindow::NotChattingText);
        QCOMPARE(page.cellText(1, OverlayChatPage::VoiceColumn), QStringLiteral("不听"));
        menuCommand(page, 1, OverlayChatPage::AskNextCommand);
        QTRY_COMPARE(main->voiceSlots[1], link::VoiceAnswer::NotAsked);
        QTRY_COMPARE(main->rows[1].voiceText, FakeMainWindow::PromptText);
        QCOMPARE(page.cellText(1, OverlayChatPage::VoiceColumn), QStringLiteral("下次提示"));
        main->log.clear();
        menuCommand(page, 2, OverlayChatPage::ListenCommand);
        QTRY_COMPARE(main->log, (QStringList{"answer 0 6"}));
        QVERIFY(main->rows[2].voiceText.isEmpty());

        // "刷新" with no row selected still refreshes; a new member shows up.
        main->setRoster(overlayRoster({"ann", "小明", "cyd", "dee"}));
        page.memberList()->clearSelection();
        page.openMenu(QPoint(0, 0));
        page.popupMenu()->hide();
        QCOMPARE(page.menuRow(), -1);
        page.onMenuCommand(OverlayChatPage::RefreshCommand);
        QTRY_COMPARE(page.rowCount(), 4);
        QCOMPARE(page.cellText(0, OverlayChatPage::NameColumn), QStringLiteral("dee"));

        // A member command with no row selected posts nothing.
        main->log.clear();
        page.onMenuCommand(OverlayChatPage::TalkToCommand);
        QTest::qWait(50);
        QVERIFY(main->log.isEmpty());

        // A roster update from the host reaches the overlay through sendRoster.
        main->setRoster(overlayRoster({"ann"}));
        server->sendRoster();
        QTRY_COMPARE(page.rowCount(), 1);

        // Voice from a member nobody answered for: the overlay asks; "yes" accepts it.
        main->setRoster(overlayRoster({"ann", "小明", "cyd"}));
        server->sendRoster();
        QTRY_COMPARE(page.rowCount(), 3);
        boxes->answer = true;
        server->requestCall(1);
        QTRY_COMPARE(boxes->questions, QStringList{"小明想和你聊天，接受吗？"});
        QCOMPARE(boxes->captions.last(), QStringLiteral("LUMO"));
        QTRY_COMPARE(main->voiceSlots[1], link::VoiceAnswer::Accepted);
        QCOMPARE(page.cellText(1, OverlayChatPage::VoiceColumn), QStringLiteral("要听"));
        // Index 0 is row 2; "no" refuses it.
        main->voiceSlots[0] = link::VoiceAnswer::Refused;
        main->rows[2].voiceText.clear();
        boxes->answer = false;
        server->requestCall(0);
        QTRY_COMPARE(boxes->questions.size(), 2);
        QTRY_COMPARE(main->rows[2].voiceText, FakeMainWindow::NotChattingText);
        QCOMPARE(page.cellText(2, OverlayChatPage::VoiceColumn), QStringLiteral("不听"));

        // The main program closes the overlay: the window goes, OverlayClosed drops the pipe.
        server->closeOverlay();
        QTRY_VERIFY(!guard);
        QTRY_VERIFY(!server->pipeOpen());
        QVERIFY(!Mailbox::exists(QStringLiteral("gamein")));

        // A new overlay is found again by its title and gets a new pipe.
        auto* again = new OverlayDialog;
        QTRY_VERIFY(server->overlayConnected());
        QTRY_COMPARE(again->chatPage().rowCount(), 3);
        delete again;
        QTRY_VERIFY(!server->pipeOpen());
    }

    void mainSideWritesExactRecordsAndAnnouncesThem()
    {
        startMain(overlayRoster({"a", "b", "c"}));
        // No overlay: nothing is written or posted, and a post finds nobody.
        server->sendRoster();
        server->sendSelection();
        QVERIFY(!server->pipeOpen());

        RecordingMailbox overlay("gamein");
        QVERIFY(overlay.opened);
        server->sendRoster();
        QTest::qWait(30);
        QVERIFY(overlay.posts.empty());

        // OverlayOpened: the pipe is created and PipeReady(0) posted; nothing is written yet.
        MailboxPoster toMain(QStringLiteral("LUMO"));
        QVERIFY(toMain.post(to_main::OverlayOpened, 0));
        const auto ready = overlay.next(to_overlay::PipeReady);
        QVERIFY(ready);
        QCOMPARE(ready->value, 0);
        QVERIFY(server->pipeOpen());
        QLocalSocket pipe;
        pipe.connectToServer(linkSocketPath(QStringLiteral("pipe0")));
        QVERIFY(pipe.waitForConnected(1000));
        QVERIFY(readRaw(pipe, SIZE_MAX, 50).empty());

        // The roster: 4 + 32 * 3 = 100 bytes, then the selection (none: length 0, no bytes).
        server->sendRoster();
        const auto roster = overlay.next(to_overlay::RosterSent);
        QVERIFY(roster);
        QCOMPARE(roster->value, 100);
        const auto none = overlay.next(to_overlay::SelectionSent);
        QVERIFY(none);
        QCOMPARE(none->value, 0);
        QCOMPARE(readRaw(pipe, 100), link::encodeRosterMessage(main->roster));

        // Ten ticked rows: the first 8 ids go, 32 bytes.
        main->targets = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
        server->sendSelection();
        const auto eight = overlay.next(to_overlay::SelectionSent);
        QVERIFY(eight);
        QCOMPARE(eight->value, 32);
        QCOMPARE(readRaw(pipe, 32), link::encodeSelectionMessage({9, 8, 7, 6, 5, 4, 3, 2}));

        // Called from another thread (the voice sender), the selection still goes out, from the
        // user-interface thread.
        main->targets = {1};
        std::thread([this] { server->sendSelection(); }).join();
        const auto fromThread = overlay.next(to_overlay::SelectionSent);
        QVERIFY(fromThread);
        QCOMPARE(fromThread->value, 4);
        QCOMPARE(readRaw(pipe, 4), (Bytes{1, 0, 0, 0}));

        // CallRequest and OverlayClose are plain posts.
        server->requestCall(2);
        QCOMPARE(overlay.next(to_overlay::CallRequest).value_or(link::Post{-1, -1}).value, 2);
        server->closeOverlay();
        QVERIFY(overlay.next(to_overlay::OverlayClose));

        // VoiceToggle says which way: 1 talks, 0 stops, whatever the state was.
        main->talking = true;
        QVERIFY(toMain.post(to_main::VoiceToggle, 1));
        QTRY_VERIFY(main->log.contains(QStringLiteral("talk 1")));
        main->log.clear();
        QVERIFY(toMain.post(to_main::VoiceToggle, 0));
        QTRY_COMPARE(main->log, (QStringList{"talk 0"}));

        // OverlayClosed drops the pipe; a later roster goes nowhere.
        QVERIFY(toMain.post(to_main::OverlayClosed, 0));
        QTRY_VERIFY(!server->pipeOpen());
        QTRY_COMPARE(pipe.state(), QLocalSocket::UnconnectedState);
        QVERIFY(!QFileInfo::exists(linkSocketPath(QStringLiteral("pipe0"))));
        overlay.posts.clear();
        server->sendRoster();
        QTest::qWait(30);
        QVERIFY(overlay.posts.empty());
    }

    void failedPipeCreationLeavesNoPipe()
    {
        startMain(overlayRoster({"a"}));
        RecordingMailbox overlay("gamein");
        // Something else holds the pipe's name.
        QLocalServer squatter;
        QVERIFY(listenPrivately(squatter, QStringLiteral("pipe0")));
        QSignalSpy failed(server.get(), &PipeServer::creationFailed);
        server->openOverlayPipe(0);
        QVERIFY(!server->pipeOpen());
        QCOMPARE(failed.count(), 1);  // the window raises the box (main_dialog_test)
        // PipeReady still goes, so the overlay finds out for itself.
        QVERIFY(overlay.next(to_overlay::PipeReady));
        server->sendRoster();
        QTest::qWait(30);
        QVERIFY(!overlay.next(to_overlay::RosterSent, 0));
    }

    void staleSocketFilesDoNotBlockTheNames()
    {
        // A crashed lumo leaves its files behind: a socket nobody listens on.
        for (const char* name : {"LUMO", "pipe0"}) {
            const QByteArray path = linkSocketPath(QString::fromLatin1(name)).toLocal8Bit();
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ::close(fd);
            QVERIFY(QFileInfo::exists(QString::fromLocal8Bit(path)));
        }
        startMain(overlayRoster({"a"}));
        QVERIFY(server->mailboxOpen());
        server->openOverlayPipe(0);
        QVERIFY(server->pipeOpen());
        // A second lumo of the same user does not take the title from the first.
        FakeMainWindow other;
        PipeServer second(other);
        QVERIFY(!second.mailboxOpen());
        QVERIFY(server->mailboxOpen());
        QVERIFY(Mailbox::exists(QStringLiteral("LUMO")));
        // Looked up again and again without the event loop running (as a wait for a window does),
        // a mailbox whose backlog fills up still exists.
        bool always = true;
        for (int i = 0; i < 55; ++i) always = always && Mailbox::exists(QStringLiteral("LUMO"));
        QVERIFY(always);
        // Only the user can reach the link.
        QCOMPARE(QFileInfo(linkDirectory()).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
                 QFile::Permissions());
    }

    void garbageOnTheMailboxAndThePipeLeavesTheMainSideWorking()
    {
        startMain(overlayRoster({"a", "b"}));
        main->voiceSlots[0] = link::VoiceAnswer::NotAsked;
        const QString path = linkSocketPath(QStringLiteral("LUMO"));

        // A sender of garbage is cut off; a short post is never acted on; a flood of bytes and
        // more connections than the mailbox takes do no harm.
        QLocalSocket garbage;
        garbage.connectToServer(path);
        QVERIFY(garbage.waitForConnected(1000));
        writeRaw(garbage, Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'l', 'u', 'm', 'o', '!', '!', 1, 2, 3});
        QTRY_COMPARE(garbage.state(), QLocalSocket::UnconnectedState);
        {
            QLocalSocket shortPost;
            shortPost.connectToServer(path);
            QVERIFY(shortPost.waitForConnected(1000));
            Bytes half = link::encodePost({to_main::OverlayOpened, 0});
            half.resize(7);
            writeRaw(shortPost, half);
        }
        std::vector<std::unique_ptr<QLocalSocket>> crowd;
        for (int i = 0; i < Mailbox::MaxSenders + 4; ++i) {
            crowd.push_back(std::make_unique<QLocalSocket>());
            crowd.back()->connectToServer(path);
            crowd.back()->waitForConnected(1000);
        }
        Bytes flood(200000);
        for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = std::uint8_t(i * 7919 >> 3);
        writeRaw(*crowd.front(), flood);
        QTest::qWait(100);
        QVERIFY(!server->pipeOpen());  // none of it was an OverlayOpened
        crowd.clear();
        QTest::qWait(50);

        // Well-formed posts with values the main window cannot have: rows outside the list,
        // unknown codes, extreme values.
        MailboxPoster poster(QStringLiteral("LUMO"));
        for (auto [code, value] : std::vector<std::pair<int, int>>{{to_main::SelectMember, -1},
                                                                   {to_main::SelectMember, 2},
                                                                   {to_main::DeselectMember, INT_MIN},
                                                                   {to_main::AcceptVoice, 99},
                                                                   {to_main::RefuseVoice, -1},
                                                                   {to_main::AskAgain, INT_MAX},
                                                                   {7, 0},
                                                                   {-1, -1},
                                                                   {INT_MAX, 5}}) {
            QVERIFY(poster.post(code, value));
        }
        QTest::qWait(100);
        QVERIFY(main->log.isEmpty());

        // Still answering: a real post is acted on.
        QVERIFY(poster.post(to_main::AcceptVoice, 1));  // row 1 is member 0
        QTRY_COMPARE(main->voiceSlots[0], link::VoiceAnswer::Accepted);

        // The pipe's reader writing into it, or flooding it, is dropped unread.
        QVERIFY(poster.post(to_main::OverlayOpened, 0));
        QTRY_VERIFY(server->pipeOpen());
        QLocalSocket pipe;
        pipe.connectToServer(linkSocketPath(QStringLiteral("pipe0")));
        QVERIFY(pipe.waitForConnected(1000));
        writeRaw(pipe, flood);
        QTRY_VERIFY(server->overlayConnected());
        // A reader that never reads: writes pile up only to a bound, then it is dropped.
        Roster big = overlayRoster({});
        big.count = 128;
        main->setRoster(big);
        for (int i = 0; i < 2000 && server->overlayConnected(); ++i) server->sendRoster();
        QVERIFY(!server->overlayConnected());
        QVERIFY(server->pipeOpen());
    }
};

QTEST_MAIN(OverlayLinkTest)
#include "overlay_link_test.moc"
