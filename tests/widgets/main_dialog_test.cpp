// The main window offscreen, driven through its controls, against a fake host and fake members
// on loopback addresses of its own.
#include "app/chat_history_window.h"
#include "app/chat_inbox.h"
#include "app/chat_log_writer.h"
#include "app/tray_notifications.h"
#include "core/text/gbk.h"
#include "dialog_harness.h"
#include "directory/group_browser_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QStandardPaths>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

constexpr int Ann = 0, Cyd = 1;  // the fake members: ann is member 0, cyd member 2, the window 1

bool isCommand(const FakePeer::Received& datagram, int command)
{
    return !datagram.bytes.empty() && datagram.bytes[0] == command;
}

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DialogHarness> h;

    Roster threeMembers() const { return h->roster({"ann", "me", "cyd"}, 1); }
    // Whether the window sent fake member `index` (member `id` of the roster) nothing since it
    // was last asked: the member probes the window, and the confirmation is the next thing it gets.
    bool nothingMoreFor(int index, int id)
    {
        h->member(index).send(makeHeaderOnly(cmd::PathProbe, 1, idByte(id), Kind::PeerToPeer), h->toWindow());
        const auto next = h->member(index).next(3000);
        return next && next->bytes == makeHeaderOnly(cmd::PathConfirm, idByte(id), 1, Kind::PeerToPeer);
    }
    // Whether the window still answers fake member `index` (member `id`): everything sent to the
    // window before is read by then.
    bool probeAnswered(int index, int id)
    {
        h->member(index).send(makeHeaderOnly(cmd::PathProbe, 1, idByte(id), Kind::PeerToPeer), h->toWindow());
        return h->member(index).next(3000, cmd::PathConfirm).has_value();
    }
    // Runs what the window's group clock would run in the next `ms` and returns what the host got.
    std::vector<FakePeer::Received> hostGetsWithin(Millis ms)
    {
        h->skipTime(ms);
        return h->host().collect(0);
    }

private slots:
    void init()
    {
        h = std::make_unique<DialogHarness>();
        QVERIFY(h->ready());
    }
    void cleanup() { h.reset(); }

    void startsWithItsOwnAddressAndAnUnassignedId()
    {
        QCOMPARE(h->control<QLabel>("ownAddress")->text(), loopbackText(20));
        QCOMPARE(h->session().ownEntry().id, UnassignedId);
        QCOMPARE(h->session().ownEntry().localPort, MemberPort);
        QCOMPARE(h->session().ownEntry().localAddress, h->address());
        QVERIFY(h->control<QCheckBox>("groupMode")->isHidden());
        QVERIFY(!h->control<QCheckBox>("groupMode")->isEnabled());
        QCOMPARE(h->memberList()->columnCount(), 6);
        // The group browser opens beside it and asks the directory for its groups.
        QVERIFY(h->dialog().groupBrowser().isVisible());
        QTRY_VERIFY(h->directory.requestCount() > 0);
        QVERIFY(h->directory.urls().front().find("lumo.asp") != std::string::npos);
        QVERIFY(h->boxes.texts.isEmpty());
    }

    void rosterFillsRowsInReverseAndClearsMarks()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        QTreeWidget* list = h->memberList();
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->topLevelItem(0)->text(MainDialog::NameColumn), QStringLiteral("cyd"));
        QCOMPARE(list->topLevelItem(2)->text(MainDialog::NameColumn), QStringLiteral("ann"));
        QCOMPARE(list->topLevelItem(2)->text(MainDialog::IdColumn), QStringLiteral("0"));
        QCOMPARE(list->topLevelItem(0)->text(MainDialog::AddressColumn), loopbackText(23));
        QCOMPARE(list->topLevelItem(0)->text(MainDialog::PortColumn), QStringLiteral("3550"));
        QCOMPARE(h->session().ownEntry().nameBytes(), std::string("me"));
        QCOMPARE(h->session().ownEntry().id, 1);

        // Path and voice columns go with the next roster; a tick stays with its member, who now
        // has another id and row.
        h->tick(2);  // cyd
        h->member(Ann).send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), h->toWindow());
        QTRY_COMPARE(list->topLevelItem(2)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        Roster reordered = threeMembers();
        std::swap(reordered.records[0], reordered.records[2]);
        for (int id = 0; id < 3; ++id) reordered.records[std::size_t(id)].id = std::uint16_t(id);
        QVERIFY(h->deliverRoster(reordered, 1));
        QTRY_COMPARE(list->topLevelItem(2)->text(MainDialog::NameColumn), QStringLiteral("cyd"));
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(list->topLevelItem(row)->checkState(0), row == 2 ? Qt::Checked : Qt::Unchecked);
            QVERIFY(list->topLevelItem(row)->text(MainDialog::PathColumn).isEmpty());
            QVERIFY(list->topLevelItem(row)->text(MainDialog::VoiceColumn).isEmpty());
        }
        QCOMPARE(h->session().voiceTargets().count, 1);
        QCOMPARE(h->session().voiceTargets().ids[0], 0);
    }

    void chatTextOpensBoxWithSenderName()
    {
        Roster roster = threeMembers();
        roster.records[0].setName(utf8ToGbk("小明"));
        QVERIFY(h->deliverRoster(roster, 1));
        h->member(Ann).send(makeChatText(1, 0, utf8ToGbk("你好")), h->toWindow());
        QTRY_COMPARE(h->boxes.texts.size(), 1);
        QCOMPARE(h->boxes.texts.first(), QStringLiteral("小明说：你好"));
        QCOMPARE(h->boxes.captions.first(), QStringLiteral("LUMO"));
        h->member(Ann).send(makeChatText(1, 0, ""), h->toWindow());
        QTRY_COMPARE(h->boxes.texts.size(), 2);
        QCOMPARE(h->boxes.texts.last(), QStringLiteral("小明说："));
    }

    // Eight boxes stay open while texts keep coming: the ninth goes to the status line and
    // counts as unread; opening the history reads it; closed boxes make room again.
    void textsPastTheOpenBoxesGoToTheStatusLineUntilTheHistoryIsRead()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        h->boxes.closeWhen = [&] { return h->status() == QStringLiteral("ann说：text 8"); };
        for (int i = 0; i < 9; ++i) h->member(Ann).send(makeChatText(1, 0, "text " + std::to_string(i)), h->toWindow());
        QTRY_COMPARE(h->boxes.texts.size(), 8);
        QCOMPARE(h->boxes.texts.last(), QStringLiteral("ann说：text 7"));
        auto* historyButton = h->control<QPushButton>("historyButton");
        QCOMPARE(historyButton->text(), QStringLiteral("聊天记录（1 条未读）"));
        QCOMPARE(h->dialog().tray().toolTip(), QStringLiteral("LUMO：1 条未读消息"));

        h->control<QAction>("historyAction")->trigger();
        QVERIFY(h->dialog().historyWindow().isVisible());
        QCOMPARE(h->dialog().historyWindow().model().rowCount(), 9);
        QCOMPARE(historyButton->text(), QStringLiteral("聊天记录"));
        h->member(Ann).send(makeChatText(1, 0, "again"), h->toWindow());
        QTRY_COMPARE(h->boxes.texts.size(), 9);
        QCOMPARE(h->boxes.texts.last(), QStringLiteral("ann说：again"));
    }

    // The log file is the joined group's; what could not settle yet is written as the window
    // closes; a file that cannot be written says so on the status line.
    void logFileFollowsTheMenuAndTheJoinedGroup()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        ChatLogWriter& log = h->dialog().chatLog();
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                               QStringLiteral("/lumo/history");
        const QString path = folder + QLatin1Char('/') + loopbackText(21) + QStringLiteral(".log");
        QCOMPARE(log.filePath(), path);
        QFile::remove(path);
        QVERIFY(!log.logging());
        QAction* logAction = h->control<QAction>("logAction");
        logAction->trigger();
        QVERIFY(log.logging());

        QTemporaryFile notAFolder;
        QVERIFY(notAFolder.open());
        log.setFolder(notAFolder.fileName());
        h->member(Ann).send(makeChatText(1, 0, "kept"), h->toWindow());
        QTRY_VERIFY2(h->status().startsWith(QStringLiteral("无法写入聊天记录文件 ") + notAFolder.fileName()),
                     qPrintable(h->status()));
        QVERIFY(!log.logging());
        // The player turns logging off and on again: the text that failed is written now.
        log.setFolder(folder);
        logAction->trigger();
        logAction->trigger();
        // A full-length part: the rest of the text may still come when the window closes.
        h->member(Ann).send(makeChatText(1, 0, std::string(MaxChatTextBytes, 'L')), h->toWindow());
        QTRY_COMPARE(int(h->dialog().chatInbox().history().size()), 2);
        h->dialog().close();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(" ann说：kept"));
        QVERIFY(lines[1].endsWith(" ann说：" + QByteArray(MaxChatTextBytes, 'L')));
    }

    // Without a tray (here: offscreen) closing to it cannot be chosen; a window hidden away
    // still ends the way SIGTERM ends it, with the leave told to the host.
    void hiddenWindowStillEndsForGoodAndLeaves()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        QAction* closeToTray = h->control<QAction>("closeToTrayAction");
        QVERIFY(!closeToTray->isEnabled());
        QVERIFY(!closeToTray->isChecked());
        h->dialog().hide();
        QSignalSpy finished(&h->dialog(), &QDialog::finished);
        h->host().collect(0);
        h->dialog().closeForGood();
        QCOMPARE(finished.size(), 1);
        QVERIFY2(h->host().next(2000, cmd::LeaveNotice), "the host was told of the leave");
    }

    void probesAreRelayedAnsweredAndConfirmed()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        // The host's probe goes on to the other member, rewritten as a member probe, and only that.
        h->host().send(makeHeaderOnly(cmd::PathProbe, 1, 2, Kind::FromHost), h->toWindow());
        auto relayed = h->member(Cyd).next();
        QVERIFY(relayed);
        QCOMPARE(relayed->bytes, (Bytes{23, 2, 1, 2}));
        QCOMPARE(relayed->from, h->toWindow());
        QVERIFY(nothingMoreFor(Cyd, 2));

        // A member's probe is answered with a confirmation.
        h->member(Ann).send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), h->toWindow());
        auto confirm = h->member(Ann).next();
        QVERIFY(confirm);
        QCOMPARE(confirm->bytes, (Bytes{21, 0, 1, 2}));

        // A confirmation marks the path of the member who sent it, whichever row is selected.
        h->click(2);
        h->member(Ann).send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), h->toWindow());
        QTRY_COMPARE(h->rowOf(0)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        QVERIFY(h->rowOf(2)->text(MainDialog::PathColumn).isEmpty());
    }

    void badDatagramsChangeNothing()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        const Bytes junk[] = {{}, {1}, {22, 0, 0, 1, 9, 0, 0, 0}, {23, 1, 77, 1}, {15, 1, 9, 2, 'x'}, Bytes(1500, 0xAB)};
        for (const Bytes& datagram : junk) h->host().send(datagram, h->toWindow());
        // The members' probes come after the junk: once they are answered, the junk was read.
        QVERIFY(nothingMoreFor(Ann, 0));
        QVERIFY(nothingMoreFor(Cyd, 2));
        QCOMPARE(h->session().roster().count, 3);
        QVERIFY(h->boxes.texts.isEmpty());
    }

    void emptyNameIsRefusedAndNothingSent()
    {
        h->pressConnect(QString());
        QCOMPARE(h->boxes.texts, QStringList{QStringLiteral("你忘了写上你的名字了！")});
        QVERIFY(h->control<QPushButton>("connectButton")->isEnabled());
        QVERIFY(hostGetsWithin(5000).empty());
    }

    void connectSucceedsAfterTheHostsAck()
    {
        h->pressConnect();
        QVERIFY(!h->control<QPushButton>("connectButton")->isEnabled());
        auto join = h->host().next(2000, cmd::JoinRequest);
        QVERIFY(join);
        QCOMPARE(join->bytes.size(), size_t(36));
        QCOMPARE(join->bytes[1], 0xCC);
        QCOMPARE(decodeMemberEntry(join->bytes.data() + 4).nameBytes(), std::string("me"));
        h->host().send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), join->from);
        h->host().send(makeRosterUpdate(1, threeMembers()), join->from);
        QTRY_COMPARE(h->connectButtonText(), QStringLiteral("更新"));
        QVERIFY(h->control<QPushButton>("connectButton")->isEnabled());
        QVERIFY(h->boxes.texts.isEmpty());
    }

    // An Ack alone (the host's table is full) is not a group: the player is told, and the button
    // offers "连接" again instead of "更新" over an empty list.
    void ackWithoutRosterSaysTheGroupIsFull()
    {
        h->pressConnect();
        auto join = h->host().next(2000, cmd::JoinRequest);
        QVERIFY(join);
        h->host().send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), join->from);
        QTRY_COMPARE(h->boxes.texts.size(), 1);
        QCOMPARE(h->boxes.texts.first(), QStringLiteral("群已满，或群主没有回应。"));
        QVERIFY(h->control<QPushButton>("connectButton")->isEnabled());
        QCOMPARE(h->connectButtonText(), QStringLiteral("连接"));
        QVERIFY(!h->session().joined());
    }

    // A host that stops answering the member's roster requests is gone: the status line says so
    // and the button offers "连接" again.
    void silentHostIsShownAsGone()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        QTRY_COMPARE(h->connectButtonText(), QStringLiteral("更新"));
        h->host().collect(0);
        const auto asked = hostGetsWithin(MemberSession::HostQuietTicks * MemberSession::TickMs);
        QVERIFY(std::any_of(asked.begin(), asked.end(), [](const auto& d) { return isCommand(d, cmd::RosterRequest); }));
        h->host().send(makeRosterUpdate(1, threeMembers()), h->toWindow());  // answered: still here
        QVERIFY(probeAnswered(Ann, 0));  // the roster was read
        const auto requests = hostGetsWithin((MemberSession::HostQuietTicks + 4 * MemberSession::HostRetryTicks) *
                                             MemberSession::TickMs);
        // The unanswered asks, and one more before them: the member also asks after 30 s of its
        // own quiet towards the host, counted from its first request, which came before the
        // roster that answered it.
        QCOMPARE(std::count_if(requests.begin(), requests.end(), [](const auto& d) { return isCommand(d, cmd::RosterRequest); }),
                 std::ptrdiff_t(MemberSession::HostAskLimit + 1));
        // Said with when the group is joined again by itself.
        QCOMPARE(h->status(), QStringLiteral("主机已离开，1 秒后重新连接……"));
        QCOMPARE(h->connectButtonText(), QStringLiteral("连接"));
        QVERIFY(h->boxes.texts.isEmpty());
    }

    void connectWithoutHostFailsThenALateRosterStillJoins()
    {
        h->pressConnect();
        QTRY_COMPARE(h->boxes.texts.size(), 1);
        QCOMPARE(h->boxes.texts.first(), QStringLiteral("连接失败，请检查设置是否正确！"));
        QVERIFY(h->control<QPushButton>("connectButton")->isEnabled());
        QCOMPARE(h->connectButtonText(), QStringLiteral("连接"));
        // A stray Ack alone joins nothing, however long the window waits for a roster after it
        // (the junk behind it tells when it was read); the host's roster, however late, does.
        const std::uint64_t dropped = h->session().dropCounts().total();
        h->host().send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), h->toWindow());
        h->host().send(makeHeaderOnly(cmd::PathProbe, 1, 99, Kind::FromHost), h->toWindow());  // names nobody
        QTRY_VERIFY(h->session().dropCounts().total() > dropped);
        h->skipTime(2 * MemberSession::RosterWaitTicks * MemberSession::TickMs);
        QCOMPARE(h->connectButtonText(), QStringLiteral("连接"));
        h->host().send(makeRosterUpdate(1, threeMembers()), h->toWindow());
        QTRY_COMPARE(h->connectButtonText(), QStringLiteral("更新"));
        QCOMPARE(h->boxes.texts.size(), 1);  // the failure is reported once
    }

    void chatGoesToTheClickedPartnerAfterPathRequests()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        // Tick and click ann: she becomes the partner and the member to reach.
        h->tick(0);
        h->click(0);
        QCOMPARE(h->session().partner(), 0);
        QCOMPARE(h->control<QLabel>("partnerLabel")->text(), QStringLiteral("ann"));
        h->write(QStringLiteral("hello ann"));

        auto opener = h->member(Ann).next(2000, cmd::PathOpener);
        QVERIFY(opener);
        QCOMPARE((Bytes{opener->bytes.begin(), opener->bytes.begin() + 4}), (Bytes{14, 0, 1, 2}));
        auto request = h->host().next(2000, cmd::PathRequest);
        QVERIFY(request);
        QCOMPARE((Bytes{request->bytes.begin(), request->bytes.begin() + 4}), (Bytes{14, 1, 0, 3}));
        h->skipTime(MemberSession::PathWaitMs);  // ann's probe did not come: the text goes anyway
        auto chat = h->member(Ann).next(2000, cmd::ChatText);
        QVERIFY(chat);
        QCOMPARE(chat->bytes, makeChatText(0, 1, "hello ann"));
        QVERIFY(h->control<QLineEdit>("messageText")->text().isEmpty());

        // Once ann confirms the path, only the text is sent.
        h->member(Ann).send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), h->toWindow());
        QTRY_COMPARE(h->rowOf(0)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        h->member(Ann).collect(0);
        h->host().collect(0);
        h->write(QStringLiteral("again"));
        auto only = h->member(Ann).next(2000);
        QVERIFY(only);
        QCOMPARE(only->bytes, makeChatText(0, 1, "again"));
        QVERIFY(h->member(Ann).collect(0).empty());
        QVERIFY(h->host().collect(0).empty());
    }

    void longChatIsSplitOnCharacterBoundariesWithNothingLost()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        h->click(0);
        h->member(Ann).send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), h->toWindow());
        QTRY_COMPARE(h->rowOf(0)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        QString text = QStringLiteral("x");
        for (int i = 0; i < 200; ++i) text += QStringLiteral("中");  // 1 + 400 bytes of GBK
        h->write(text);
        std::string joined;
        for (int part = 0; part < 2; ++part) {
            const auto datagram = h->member(Ann).next(2000);
            QVERIFY(datagram && isCommand(*datagram, cmd::ChatText));
            QVERIFY(datagram->bytes.size() <= 4 + MaxChatTextBytes);
            const std::string piece(datagram->bytes.begin() + 4, datagram->bytes.end());
            QCOMPARE(gbkPrefixLength(piece, piece.size()), piece.size());  // ends on a boundary
            joined += piece;
        }
        QVERIFY(h->member(Ann).collect(0).empty());
        QCOMPARE(QString::fromStdString(gbkToUtf8(joined)), text);
    }

    void sendingWithoutPartnerSendsNoText()
    {
        QVERIFY(h->deliverRoster(threeMembers(), 1));
        h->write(QStringLiteral("nobody"));
        h->skipTime(2 * MemberSession::PathWaitMs);  // nothing held either
        for (int member : {Ann, Cyd})
            for (const auto& datagram : h->member(member).collect(0)) QVERIFY(!isCommand(datagram, cmd::ChatText));
    }

    void hostingAGroupAndShowingWhoLeft()
    {
        MemberEntry annEntry = memberAt(0, "ann", h->memberAddress(Ann));
        annEntry.id = UnassignedId;
        h->member(Ann).send(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, annEntry), h->toWindowsHost());
        auto ack = h->member(Ann).next(2000, cmd::Ack);
        QVERIFY(ack);
        QCOMPARE(ack->from, h->toWindowsHost());
        auto roster = h->member(Ann).next(2000, cmd::RosterUpdate);
        QVERIFY(roster);
        QCOMPARE(readRosterUpdate(roster->bytes).count, 1);
        QCOMPARE(h->hostRoster().count, 1);
        h->member(Ann).send(makeEntryDatagram(cmd::LeaveNotice, 0, 0xFF, Kind::ToHost, annEntry), h->toWindowsHost());
        QTRY_COMPARE(h->status(), QStringLiteral("ann离开了！"));
        QCOMPARE(h->hostRoster().count, 0);
    }

    // In a group, Escape and the close box ask first, naming the group's size; No keeps the
    // player in the group and tells the host nothing; Yes leaves. Outside a group: no question.
    void leavingAGroupAsksFirst()
    {
        QVERIFY(h->join(threeMembers(), 1, QStringLiteral("cyd")));
        QTRY_VERIFY(h->session().joined());
        h->boxes.answer = false;
        QTest::keyClick(&h->dialog(), Qt::Key_Escape);
        h->dialog().close();
        QCOMPARE(h->boxes.questions, QStringList(2, QStringLiteral("你在一个有 3 名成员的群里。确定退出吗？")));
        QVERIFY(h->dialog().isVisible());
        QVERIFY(!h->host().next(300, cmd::LeaveNotice));
        h->boxes.answer = true;
        QTest::keyClick(&h->dialog(), Qt::Key_Escape);
        QVERIFY(h->host().next(2000, cmd::LeaveNotice));
        QVERIFY(!h->dialog().isVisible());
        QCOMPARE(h->boxes.questions.size(), 3);
    }

    void closingSendsLeaveNoticeOnceWhicheverWayItCloses()
    {
        // Joined the host at loopback 21; the address field says something else by the time the
        // window closes: the leave still goes to the host joined.
        QVERIFY(h->join(threeMembers(), 1, QStringLiteral("cyd")));
        h->control<QLineEdit>("hostAddress")->setText(loopbackText(99));
        QTest::keyClick(&h->dialog(), Qt::Key_Escape);
        auto leave = h->host().next(2000, cmd::LeaveNotice);
        QVERIFY(leave);
        QCOMPARE(leave->bytes.size(), size_t(36));
        QCOMPARE((Bytes{leave->bytes.begin(), leave->bytes.begin() + 4}), (Bytes{13, 1, 0xFF, 3}));
        QCOMPARE(decodeMemberEntry(leave->bytes.data() + 4), h->session().ownEntry());
        QVERIFY(!h->dialog().isVisible());
        h->dialog().close();
        QVERIFY(h->host().collect(0).empty());
    }

    // Which addresses are partial: group_status_presenter_test.
    void partialAddressIsRefusedAndNeverClosedAsThisMachine()
    {
        h->control<QLineEdit>("memberName")->setText(QStringLiteral("cyd"));
        h->control<QLineEdit>("hostAddress")->setText(QStringLiteral("127.0"));
        h->control<QPushButton>("connectButton")->click();
        QCOMPARE(h->boxes.texts.size(), 1);
        QVERIFY(h->boxes.texts.front().startsWith(QStringLiteral("远端IP不完整")));
        QVERIFY(h->control<QPushButton>("connectButton")->isEnabled());
        QCOMPARE(h->dialog().focusWidget(), h->control<QLineEdit>("hostAddress"));  // back to the field at fault
        // Never joined: closing tells no host anything.
        h->dialog().close();
        QVERIFY(h->host().collect(0).empty());
    }

    void enterInTheMessageFieldSendsTheTextAndDoesNotJoinAgain()
    {
        QVERIFY(h->join(threeMembers(), 1, QStringLiteral("cyd")));
        h->tick(2);
        h->click(2);
        auto* message = h->control<QLineEdit>("messageText");
        message->setText(QStringLiteral("hello"));
        QTest::keyClick(message, Qt::Key_Return);
        QVERIFY(message->text().isEmpty());  // sent (or held for the path), not left in the field
        QVERIFY(h->host().next(2000, cmd::PathRequest));
        for (const auto& datagram : h->host().collect(0)) QVERIFY(!isCommand(datagram, cmd::JoinRequest));
        QCOMPARE(h->session().partner(), 2);
    }
};

QTEST_MAIN(MainDialogTest)
#include "main_dialog_test.moc"
