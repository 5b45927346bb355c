// The overlay window offscreen against a bare main program (its own mailbox "LUMO" and pipe):
// layout, rows and columns, the Home-key toggle, the main window's modality, and bad records.
#include "fake_peer.h"
#include "core/shell/plugin_abi.h"
#include "overlay/home_key_hook.h"
#include "overlay/overlay_chat_page.h"
#include "overlay/overlay_dialog.h"
#include "overlay/overlay_pipe_client.h"
#include "overlay/overlay_tab_control.h"
#include "overlay_test_support.h"

#include <QApplication>
#include <QHeaderView>
#include <QLibrary>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include <climits>

using namespace lumo;
using namespace lumo::test;
namespace to_main = lumo::link::to_main;
namespace to_overlay = lumo::link::to_overlay;

namespace {

// The main program's end, byte by byte.
class BareMain {
public:
    BareMain() : inbox("LUMO"), toOverlay(QStringLiteral("gamein")) {}

    // Answers the overlay's OverlayOpened as the main program does, and takes its connection.
    bool openPipe()
    {
        if (!inbox.next(to_main::OverlayOpened)) return false;
        if (!listenPrivately(pipe, QStringLiteral("pipe0"))) return false;
        toOverlay.post(to_overlay::PipeReady, 0);
        // The overlay connects from its event loop.
        QElapsedTimer waited;
        waited.start();
        while (!pipe.hasPendingConnections() && waited.elapsed() < 2000) QTest::qWait(5);
        reader = pipe.nextPendingConnection();
        return reader != nullptr;
    }
    void write(const Bytes& bytes) { writeRaw(*reader, bytes); }
    void post(int code, int value) { toOverlay.post(code, value); }

    RecordingMailbox inbox;
    MailboxPoster toOverlay;
    QLocalServer pipe;
    QLocalSocket* reader = nullptr;
};

}  // namespace

class OverlayWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<RecordingBoxes> boxes;

    // An overlay connected to a bare main program, showing `roster`.
    struct Connected {
        std::unique_ptr<BareMain> main = std::make_unique<BareMain>();
        QPointer<OverlayDialog> overlay;
        ~Connected() { delete overlay.data(); }
    };

    std::unique_ptr<Connected> connectOverlay(const Roster& roster)
    {
        auto c = std::make_unique<Connected>();
        c->overlay = new OverlayDialog;
        if (!c->main->openPipe()) return nullptr;
        // Once connected the overlay asks for the roster.
        if (!c->main->inbox.next(to_main::RefreshRoster)) return nullptr;
        const Bytes bytes = link::encodeRosterMessage(roster);
        c->main->write(bytes);
        c->main->post(to_overlay::RosterSent, int(bytes.size()));
        QElapsedTimer t;
        t.start();
        while (c->overlay->chatPage().rowCount() != roster.count && t.elapsed() < 2000) QTest::qWait(5);
        return c;
    }

private slots:
    void init() { boxes = std::make_unique<RecordingBoxes>(); }
    void cleanup()
    {
        boxes.reset();
        QTest::qWait(20);
    }

    void windowLayoutAndTabs()
    {
        OverlayDialog overlay;
        QCOMPARE(overlay.windowTitle(), QStringLiteral("gamein"));
        QVERIFY(overlay.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!(overlay.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!overlay.isVisible());  // created hidden; the Home key shows it

        OverlayTabControl& tabs = overlay.tabControl();
        QCOMPARE(tabs.count(), 2);
        QCOMPARE(tabs.tabText(0), QStringLiteral("聊天"));
        QCOMPARE(tabs.tabText(1), QStringLiteral("其它"));
        QCOMPARE(tabs.templateId(0), 3002);
        QCOMPARE(tabs.templateId(1), 3003);
        QCOMPARE(tabs.currentIndex(), 0);
        QCOMPARE(tabs.widget(1)->children().size(), 0);  // "其它" is an empty page
        tabs.setCurrentIndex(1);
        tabs.setCurrentIndex(0);
        QCOMPARE(tabs.currentWidget(), &overlay.chatPage());
        // No more than 16 pages can be registered.
        OverlayTabControl many;
        std::vector<std::unique_ptr<QWidget>> pages;
        for (int i = 0; i < 17; ++i) {
            pages.push_back(std::make_unique<QWidget>());
            QCOMPARE(many.registerPage(pages.back().get(), QString::number(i), 4000 + i), i < 16);
        }
        QCOMPARE(many.pageCount(), 16);
        for (int i = 0; i < 16; ++i) pages[std::size_t(i)].release();  // the tabs own them once created
        many.createPages();
        QCOMPARE(many.count(), 16);

        OverlayChatPage& page = overlay.chatPage();
        QTreeWidget* list = page.memberList();
        QCOMPARE(list->columnCount(), 4);
        const QStringList titles{"id", "名字", "连接状态", "语聊状态"};
        const int widths[] = {40, 90, 60, 60};
        for (int c = 0; c < 4; ++c) {
            QCOMPARE(list->headerItem()->text(c), titles[c]);
            QCOMPARE(list->columnWidth(c), widths[c]);
        }
        QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(list->palette().color(QPalette::Base), QColor(240, 240, 240));
        QCOMPARE(page.talkButton()->text(), QStringLiteral("语 聊"));
        // The button sits right of the list's top, above it.
        QVERIFY(page.talkButton()->geometry().bottom() < list->geometry().top());
        QVERIFY(page.talkButton()->geometry().right() > list->geometry().center().x());

        QStringList menu;
        for (QAction* action : page.popupMenu()->actions())
            menu << (action->isSeparator() ? QStringLiteral("-") : action->text() + "=" + action->data().toString());
        QCOMPARE(menu, (QStringList{"要聊=32771", "不聊=32772", "-", "要听=32773", "不听=32774", "下次提示=32775", "-",
                                    "刷新=32776"}));

        // Escape and a window manager's close leave the window alone: only Home hides it.
        overlay.show();
        QTest::keyClick(&overlay, Qt::Key_Escape);
        QVERIFY(overlay.isVisible());
        overlay.close();
        QVERIFY(overlay.isVisible());
    }

    void badRecordsLeaveTheRowsAsTheyWere()
    {
        auto c = connectOverlay(overlayRoster({"ann", "bob"}));
        QVERIFY(c);
        OverlayChatPage& page = c->overlay->chatPage();
        QCOMPARE(page.rowCount(), 2);
        auto unchanged = [&] {
            return page.rowCount() == 2 && page.cellText(0, 1) == QStringLiteral("bob") && c->overlay->pipeConnected();
        };

        // Lengths no record can have, with nothing or garbage behind them.
        for (int length : {-1, 0, 3, 37, 4132, INT_MAX, INT_MIN}) c->main->post(to_overlay::RosterSent, length);
        c->main->write(Bytes(50, 0xAB));
        c->main->post(to_overlay::RosterSent, 5000);
        for (int length : {-4, 3, 36, INT_MAX}) c->main->post(to_overlay::SelectionSent, length);
        for (int length : {-4, 3, 6, 520, INT_MAX}) c->main->post(to_overlay::MemberStatesSent, length);
        QTest::qWait(100);
        QVERIFY(unchanged());

        // A record shorter than announced: the overlay waits a bounded time, then drops it.
        Bytes three = link::encodeRosterMessage(overlayRoster({"x", "y", "z"}));
        three.resize(36);
        c->main->write(three);
        QElapsedTimer waited;
        waited.start();
        c->main->post(to_overlay::RosterSent, 100);
        QTest::qWait(OverlayPipeClient::ReadWaitMs + 200);
        QVERIFY(unchanged());
        // A count that disagrees with the length.
        Bytes lying = link::encodeRosterMessage(overlayRoster({"x", "y", "z"}));
        lying[0] = 7;
        c->main->write(lying);
        c->main->post(to_overlay::RosterSent, int(lying.size()));
        QTest::qWait(50);
        QVERIFY(unchanged());
        // Ids the roster does not hold tick nothing.
        c->main->write(link::encodeSelectionMessage({2, -5, 127, INT_MIN}));
        c->main->post(to_overlay::SelectionSent, 16);
        QTRY_COMPARE(page.targetCount(), 4);
        QVERIFY(!page.isRowTicked(0) && !page.isRowTicked(1));
        // Unknown codes are ignored; a CallRequest for no record of the roster asks nothing.
        for (int code : {1, 2, 3, 5, 13, 99, -1}) c->main->post(code, 12345);
        for (int index : {-1, 2, 1000, INT_MIN}) c->main->post(to_overlay::CallRequest, index);

        // After all that, a good record is read from its start.
        const Bytes good = link::encodeRosterMessage(overlayRoster({"ann", "bob", "cyd"}));
        c->main->write(good);
        c->main->post(to_overlay::RosterSent, int(good.size()));
        QTRY_COMPARE(page.rowCount(), 3);
        QCOMPARE(page.cellText(0, 1), QStringLiteral("cyd"));
        QVERIFY(boxes->questions.isEmpty());

        // Garbage straight into the overlay's mailbox cuts off that sender only.
        QLocalSocket garbage;
        garbage.connectToServer(linkSocketPath(QStringLiteral("gamein")));
        QVERIFY(garbage.waitForConnected(1000));
        writeRaw(garbage, Bytes(4096, 0x5A));
        QTRY_COMPARE(garbage.state(), QLocalSocket::UnconnectedState);
        QVERIFY(c->overlay->mailboxOpen());
        c->main->post(to_overlay::SelectionSent, 0);
        QTest::qWait(50);
        QVERIFY(c->overlay->pipeConnected());
    }

    void pipeThatCannotBeOpenedIsReported()
    {
        BareMain main;
        auto* overlay = new OverlayDialog;
        QVERIFY(main.inbox.next(to_main::OverlayOpened));
        // A pipe number that names no pipe: both failures are reported, and nothing else.
        main.post(to_overlay::PipeReady, 300);
        QTRY_COMPARE(boxes->texts, (QStringList{"等待管道失败！", "打开管道失败！"}));
        QVERIFY(!overlay->pipeConnected());
        QVERIFY(!main.inbox.next(to_main::RefreshRoster, 50));
        // Records announced without a pipe change nothing.
        main.post(to_overlay::RosterSent, 4);
        main.post(to_overlay::SelectionSent, 4);
        QTest::qWait(50);
        QCOMPARE(overlay->chatPage().rowCount(), 0);
        delete overlay;
        QVERIFY(main.inbox.next(to_main::OverlayClosed));
    }

    void homeReleasesCreateThenToggleTheOverlay()
    {
        BareMain main;
        OverlayToggle toggle;
        QVERIFY(!toggle.created());
        toggle.homeReleased();
        QVERIFY(toggle.overlay());
        QVERIFY(toggle.overlay()->isVisible());
        QVERIFY(toggle.overlayShown());
        QVERIFY(main.inbox.next(to_main::OverlayOpened));
        toggle.homeReleased();
        QVERIFY(!toggle.overlay()->isVisible());
        QVERIFY(!toggle.overlayShown());
        toggle.homeReleased();
        QVERIFY(toggle.overlay()->isVisible());

        // The main program closes it: later releases flip the flag and show nothing.
        main.post(to_overlay::OverlayClose, 0);
        QTRY_VERIFY(!toggle.overlay());
        QVERIFY(main.inbox.next(to_main::OverlayClosed));
        toggle.homeReleased();
        QVERIFY(!toggle.overlay());
        QVERIFY(!toggle.overlayShown());

        // Removing the hook starts over; the next release makes a new overlay.
        toggle.reset();
        toggle.homeReleased();
        QVERIFY(toggle.overlay());
        QVERIFY(main.inbox.next(to_main::OverlayOpened));
        toggle.reset();
        QVERIFY(!Mailbox::exists(QStringLiteral("gamein")));
        QVERIFY(main.inbox.next(to_main::OverlayClosed));
    }

    void overlayClosedWhileAskingGoesOnceAnswered()
    {
        auto c = connectOverlay(overlayRoster({"ann", "bob"}));
        QVERIFY(c);
        // The player is still looking at the question when the main program closes the overlay.
        class SlowBoxes : public RecordingBoxes {
        public:
            bool ask(QWidget* parent, const QString& caption, const QString& text) override
            {
                main->post(to_overlay::OverlayClose, 0);
                QTest::qWait(100);
                stillThere = !overlay.isNull();
                return RecordingBoxes::ask(parent, caption, text);
            }
            BareMain* main = nullptr;
            QPointer<OverlayDialog> overlay;
            bool stillThere = false;
        };
        boxes.reset();
        SlowBoxes slow;
        slow.main = c->main.get();
        slow.overlay = c->overlay;
        c->main->post(to_overlay::CallRequest, 0);
        QTRY_COMPARE(slow.questions, QStringList{"ann想和你聊天，接受吗？"});
        QVERIFY(slow.stillThere);
        // The answer still goes out (index 0 is row 1), then the window goes.
        const auto answer = c->main->inbox.next(to_main::AcceptVoice);
        QVERIFY(answer);
        QCOMPARE(answer->value, 1);
        QTRY_VERIFY(!c->overlay);
        QVERIFY(c->main->inbox.next(to_main::OverlayClosed));
    }

    void mainWindowsModalityDoesNotBlockTheOverlay()
    {
        auto c = connectOverlay(overlayRoster({"ann"}));
        QVERIFY(c);
        OverlayChatPage& page = c->overlay->chatPage();
        c->main->write(link::encodeSelectionMessage({0}));
        c->main->post(to_overlay::SelectionSent, 4);
        QTRY_VERIFY(page.isRowTicked(0));

        // The main window runs modally, as lumo runs it; the overlay is shown on top.
        QDialog mainWindow;
        mainWindow.setWindowModality(Qt::ApplicationModal);
        mainWindow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&mainWindow));
        c->overlay->showOverlay();
        QVERIFY(QTest::qWaitForWindowExposed(c->overlay));
        c->main->inbox.posts.clear();
        // Through the window system, where Qt applies modality (a click sent straight to the
        // widget would not be checked).
        const auto clickTalkButton = [&] {
            const QPoint at = page.talkButton()->mapTo(c->overlay.data(), page.talkButton()->rect().center());
            QTest::mouseClick(c->overlay->windowHandle(), Qt::LeftButton, {}, at);
        };
        clickTalkButton();
        const auto toggle = c->main->inbox.next(to_main::VoiceToggle);
        QVERIFY2(toggle, "a click on the overlay was blocked by the main window");
        QCOMPARE(toggle->value, 1);

        // Shown first and blocked later works as well.
        QDialog later;
        later.setWindowModality(Qt::ApplicationModal);
        later.show();
        QVERIFY(QTest::qWaitForWindowExposed(&later));
        clickTalkButton();
        const auto again = c->main->inbox.next(to_main::VoiceToggle);
        QVERIFY2(again, "a click on the overlay was blocked by a later modal window");
        QCOMPARE(again->value, 0);
    }

    void pluginHasNoHookWithoutX11()
    {
        QLibrary library(QStringLiteral(HUDLET_MODULE));
        QVERIFY2(library.load(), qPrintable(library.errorString()));
        auto gethook = reinterpret_cast<lumo::GetHookFunction>(library.resolve(GetHookSymbol));
        auto unhook = reinterpret_cast<lumo::UnhookFunction>(library.resolve(UnhookSymbol));
        QVERIFY(gethook && unhook);
        // Offscreen there is no X connection to grab Home on: no hook, nothing else happens.
        QCOMPARE(gethook("hudlet.so"), nullptr);
        QCOMPARE(gethook(nullptr), nullptr);
        unhook(nullptr);
        int notAHook = 0;
        unhook(&notAHook);
        QVERIFY(!Mailbox::exists(QStringLiteral("gamein")));
        QVERIFY(library.unload());
        QCOMPARE(HomeKeyHook::install([] {}), nullptr);
    }
};

QTEST_MAIN(OverlayWindowTest)
#include "overlay_window_test.moc"
