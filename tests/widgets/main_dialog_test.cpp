// The main window offscreen, driven through its controls, against fake hosts and members on
// loopback addresses of its own.
#include "app/main_dialog.h"
#include "core/text/gbk.h"
#include "directory/group_browser_dialog.h"
#include "directory/http_client.h"
#include "fake_peer.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <mutex>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 DialogAddress = loopback(20);
const Ipv4 HostAddress = loopback(21);
const Ipv4 AnnAddress = loopback(22);
const Ipv4 CydAddress = loopback(23);

Roster threeMembers()
{
    Roster roster;
    roster.count = 3;
    roster.records[0] = memberAt(0, "ann", AnnAddress);
    roster.records[1] = memberAt(1, "me", DialogAddress);
    roster.records[2] = memberAt(2, "cyd", CydAddress);
    return roster;
}

// A directory that lists no groups and sees the client where it is. Asked from the browser's
// request thread.
class EmptyDirectory : public HttpClient {
public:
    HttpReply get(const std::string& url, const HttpLimits&) override
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(url);
        return {true, "myserverlist\r\n" + dottedAddress(loopback(20)) + " \r\n"};
    }
    std::vector<std::string> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MainDialog> dialog;
    std::unique_ptr<FakePeer> host, ann, cyd;
    std::unique_ptr<RecordingBoxes> boxes;
    EmptyDirectory directory;

    template <typename T>
    T* control(const char* name) { return dialog->findChild<T*>(QLatin1String(name)); }
    Endpoint dialogMember() const { return {DialogAddress, MemberPort}; }

    // The dialog takes a roster only from the host it joined: it joins the fake host first.
    void joinHost()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        QVERIFY(host->next(1000, cmd::JoinRequest));
        host->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), dialogMember());
    }
    void deliverRoster(int ownIndex, const Roster& roster)
    {
        if (!dialog->endpoint().session().joinedHost()) joinHost();
        host->send(makeRosterUpdate(idByte(ownIndex), roster), dialogMember());
        QTRY_COMPARE(dialog->endpoint().session().roster().count, roster.count);
    }
    void clickRow(int row)
    {
        auto* list = control<QTreeWidget>("memberList");
        list->setCurrentItem(list->topLevelItem(row));
        emit list->itemClicked(list->currentItem(), 0);
    }

private slots:
    void init()
    {
        boxes = std::make_unique<RecordingBoxes>();
        dialog = std::make_unique<MainDialog>(MainDialogOptions{DialogAddress, &directory});
        dialog->show();
        host = std::make_unique<FakePeer>(HostAddress, HostPort);
        ann = std::make_unique<FakePeer>(AnnAddress, MemberPort);
        cyd = std::make_unique<FakePeer>(CydAddress, MemberPort);
        QVERIFY(dialog->socketsBound());
        QVERIFY(host->bound() && ann->bound() && cyd->bound());
    }
    void cleanup()
    {
        dialog.reset();
        host.reset();
        ann.reset();
        cyd.reset();
        boxes.reset();
    }

    void startsWithItsOwnAddressAndAnUnassignedId()
    {
        QCOMPARE(control<QLabel>("ownAddress")->text(), loopbackText(20));
        QCOMPARE(dialog->endpoint().session().ownEntry().id, UnassignedId);
        QCOMPARE(dialog->endpoint().session().ownEntry().localPort, MemberPort);
        QCOMPARE(dialog->endpoint().session().ownEntry().localAddress, DialogAddress);
        QVERIFY(control<QCheckBox>("groupMode")->isHidden());
        QVERIFY(!control<QCheckBox>("groupMode")->isEnabled());
        QCOMPARE(control<QTreeWidget>("memberList")->columnCount(), 6);
        // The group browser opens beside it and asks the directory for its groups.
        QVERIFY(dialog->groupBrowser().isVisible());
        QTRY_VERIFY(!directory.requests().empty());
        QVERIFY(directory.requests().front().find("lumo.asp") != std::string::npos);
        QVERIFY(boxes->texts.isEmpty());
    }

    void rosterFillsRowsInReverseAndClearsMarks()
    {
        deliverRoster(1, threeMembers());
        auto* list = control<QTreeWidget>("memberList");
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->topLevelItem(0)->text(MainDialog::NameColumn), QStringLiteral("cyd"));
        QCOMPARE(list->topLevelItem(2)->text(MainDialog::NameColumn), QStringLiteral("ann"));
        QCOMPARE(list->topLevelItem(2)->text(MainDialog::IdColumn), QStringLiteral("0"));
        QCOMPARE(list->topLevelItem(0)->text(MainDialog::AddressColumn), loopbackText(23));
        QCOMPARE(list->topLevelItem(0)->text(MainDialog::PortColumn), QStringLiteral("3550"));
        QCOMPARE(dialog->endpoint().session().ownEntry().nameBytes(), std::string("me"));
        QCOMPARE(dialog->endpoint().session().ownEntry().id, 1);

        // Path and voice columns go with the next roster; a tick stays with its member, who now
        // has another id and row.
        list->topLevelItem(0)->setCheckState(0, Qt::Checked);  // cyd
        ann->send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), dialogMember());
        QTRY_COMPARE(list->topLevelItem(2)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        Roster reordered = threeMembers();
        std::swap(reordered.records[0], reordered.records[2]);
        for (int id = 0; id < 3; ++id) reordered.records[std::size_t(id)].id = std::uint16_t(id);
        deliverRoster(1, reordered);
        QTRY_COMPARE(list->topLevelItem(2)->text(MainDialog::NameColumn), QStringLiteral("cyd"));
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(list->topLevelItem(row)->checkState(0), row == 2 ? Qt::Checked : Qt::Unchecked);
            QVERIFY(list->topLevelItem(row)->text(MainDialog::PathColumn).isEmpty());
            QVERIFY(list->topLevelItem(row)->text(MainDialog::VoiceColumn).isEmpty());
        }
        QCOMPARE(dialog->endpoint().session().voiceTargets().count, 1);
        QCOMPARE(dialog->endpoint().session().voiceTargets().ids[0], 0);
    }

    void chatTextOpensBoxWithSenderName()
    {
        Roster roster = threeMembers();
        roster.records[0].setName(utf8ToGbk("小明"));
        deliverRoster(1, roster);
        ann->send(makeChatText(1, 0, utf8ToGbk("你好")), dialogMember());
        QTRY_COMPARE(boxes->texts.size(), 1);
        QCOMPARE(boxes->texts.first(), QStringLiteral("小明说：你好"));
        QCOMPARE(boxes->captions.first(), QStringLiteral("LUMO"));
        ann->send(makeChatText(1, 0, ""), dialogMember());
        QTRY_COMPARE(boxes->texts.size(), 2);
        QCOMPARE(boxes->texts.last(), QStringLiteral("小明说："));
    }

    void probesAreRelayedAnsweredAndConfirmed()
    {
        deliverRoster(1, threeMembers());
        // The host's probe goes on to the other member, rewritten as a member probe, and only that.
        host->send(makeHeaderOnly(cmd::PathProbe, 1, 2, Kind::FromHost), dialogMember());
        auto relayed = cyd->next();
        QVERIFY(relayed);
        QCOMPARE(relayed->bytes, (Bytes{23, 2, 1, 2}));
        QCOMPARE(relayed->from, dialogMember());
        QVERIFY(cyd->collect(200).empty());

        // A member's probe is answered with a confirmation.
        ann->send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), dialogMember());
        auto confirm = ann->next();
        QVERIFY(confirm);
        QCOMPARE(confirm->bytes, (Bytes{21, 0, 1, 2}));

        // A confirmation marks the path of the member who sent it, whichever row is selected.
        clickRow(0);
        ann->send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), dialogMember());
        auto* list = control<QTreeWidget>("memberList");
        QTRY_COMPARE(list->topLevelItem(2)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        QVERIFY(list->topLevelItem(0)->text(MainDialog::PathColumn).isEmpty());
    }

    void badDatagramsChangeNothing()
    {
        deliverRoster(1, threeMembers());
        const Bytes junk[] = {{}, {1}, {22, 0, 0, 1, 9, 0, 0, 0}, {23, 1, 77, 1}, {15, 1, 9, 2, 'x'}, Bytes(1500, 0xAB)};
        for (const Bytes& datagram : junk) host->send(datagram, dialogMember());
        QTest::qWait(200);
        QCOMPARE(dialog->endpoint().session().roster().count, 3);
        QVERIFY(boxes->texts.isEmpty());
        QVERIFY(ann->collect(0).empty() && cyd->collect(0).empty());
    }

    void emptyNameIsRefusedAndNothingSent()
    {
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        QCOMPARE(boxes->texts, QStringList{QStringLiteral("你忘了写上你的名字了！")});
        QVERIFY(control<QPushButton>("connectButton")->isEnabled());
        QVERIFY(host->collect(300).empty());
    }

    void connectSucceedsAfterTheHostsAck()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        QVERIFY(!control<QPushButton>("connectButton")->isEnabled());
        auto join = host->next(1000, cmd::JoinRequest);
        QVERIFY(join);
        QCOMPARE(join->bytes.size(), size_t(36));
        QCOMPARE(join->bytes[1], 0xCC);
        QCOMPARE(decodeMemberEntry(join->bytes.data() + 4).nameBytes(), std::string("me"));
        host->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), join->from);
        host->send(makeRosterUpdate(1, threeMembers()), join->from);
        QTRY_COMPARE_WITH_TIMEOUT(control<QPushButton>("connectButton")->text(), QStringLiteral("更新"), 1500);
        QVERIFY(control<QPushButton>("connectButton")->isEnabled());
        QVERIFY(boxes->texts.isEmpty());
    }

    // An Ack alone (the host's table is full) is not a group: the player is told, and the button
    // offers "连接" again instead of "更新" over an empty list.
    void ackWithoutRosterSaysTheGroupIsFull()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        auto join = host->next(1000, cmd::JoinRequest);
        QVERIFY(join);
        host->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), join->from);
        QTRY_COMPARE_WITH_TIMEOUT(boxes->texts.size(), 1, 3000);
        QCOMPARE(boxes->texts.first(), QStringLiteral("群已满，或群主没有回应。"));
        QVERIFY(control<QPushButton>("connectButton")->isEnabled());
        QCOMPARE(control<QPushButton>("connectButton")->text(), QStringLiteral("连接"));
        QVERIFY(!dialog->endpoint().session().joined());
    }

    // A host that stops answering the member's roster requests is gone: the status line says so
    // and the button offers "连接" again.
    void silentHostIsShownAsGone()
    {
        deliverRoster(1, threeMembers());
        QTRY_COMPARE_WITH_TIMEOUT(control<QPushButton>("connectButton")->text(), QStringLiteral("更新"), 1500);
        host->collect(0);
        dialog->endpoint().skipTime(MemberSession::HostQuietTicks * MemberSession::TickMs);
        QVERIFY(host->next(1000, cmd::RosterRequest));
        host->send(makeRosterUpdate(1, threeMembers()), dialogMember());  // answered: still here
        QTRY_VERIFY(host->collect(100).empty());
        dialog->endpoint().skipTime((MemberSession::HostQuietTicks + 4 * MemberSession::HostRetryTicks) * MemberSession::TickMs);
        int requests = 0;
        for (const auto& datagram : host->collect(200)) requests += datagram.bytes[0] == cmd::RosterRequest;
        QCOMPARE(requests, MemberSession::HostAskLimit);
        QCOMPARE(control<QLabel>("statusText")->text(), QStringLiteral("主机已离开"));
        QCOMPARE(control<QPushButton>("connectButton")->text(), QStringLiteral("连接"));
        QVERIFY(boxes->texts.isEmpty());
    }

    void connectWithoutHostFailsThenALateRosterStillJoins()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(boxes->texts.size(), 1, 3000);
        QCOMPARE(boxes->texts.first(), QStringLiteral("连接失败，请检查设置是否正确！"));
        QVERIFY(control<QPushButton>("connectButton")->isEnabled());
        QCOMPARE(control<QPushButton>("connectButton")->text(), QStringLiteral("连接"));
        // A stray Ack alone joins nothing; the host's roster, however late, does.
        host->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), dialogMember());
        QTest::qWait(1200);
        QCOMPARE(control<QPushButton>("connectButton")->text(), QStringLiteral("连接"));
        host->send(makeRosterUpdate(1, threeMembers()), dialogMember());
        QTRY_COMPARE_WITH_TIMEOUT(control<QPushButton>("connectButton")->text(), QStringLiteral("更新"), 1500);
        QCOMPARE(boxes->texts.size(), 1);  // the failure is reported once
    }

    void chatGoesToTheClickedPartnerAfterPathRequests()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        QVERIFY(host->next(1000, cmd::JoinRequest));
        deliverRoster(1, threeMembers());
        auto* list = control<QTreeWidget>("memberList");
        // Tick and click ann (row 2): she becomes the partner and the member to reach.
        list->topLevelItem(2)->setCheckState(0, Qt::Checked);
        clickRow(2);
        QCOMPARE(dialog->endpoint().session().partner(), 0);
        QCOMPARE(control<QLabel>("partnerLabel")->text(), QStringLiteral("ann"));
        control<QLineEdit>("messageText")->setText(QStringLiteral("hello ann"));
        control<QPushButton>("sendButton")->click();

        auto opener = ann->next(1000, cmd::PathOpener);
        QVERIFY(opener);
        QCOMPARE((Bytes{opener->bytes.begin(), opener->bytes.begin() + 4}), (Bytes{14, 0, 1, 2}));
        auto request = host->next(1000, cmd::PathRequest);
        QVERIFY(request);
        QCOMPARE((Bytes{request->bytes.begin(), request->bytes.begin() + 4}), (Bytes{14, 1, 0, 3}));
        auto chat = ann->next(2000, cmd::ChatText);  // held until ann's probe, or 600 ms
        QVERIFY(chat);
        QCOMPARE(chat->bytes, makeChatText(0, 1, "hello ann"));
        QVERIFY(control<QLineEdit>("messageText")->text().isEmpty());

        // Once ann confirms the path, only the text is sent.
        ann->send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), dialogMember());
        QTRY_COMPARE(list->topLevelItem(2)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        ann->collect(50);
        control<QLineEdit>("messageText")->setText(QStringLiteral("again"));
        control<QPushButton>("sendButton")->click();
        auto only = ann->collect(300);
        QCOMPARE(only.size(), size_t(1));
        QCOMPARE(only[0].bytes, makeChatText(0, 1, "again"));
        QVERIFY(host->collect(0).empty());
    }

    void longChatIsSplitOnCharacterBoundariesWithNothingLost()
    {
        deliverRoster(1, threeMembers());
        clickRow(2);
        ann->send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), dialogMember());
        QTRY_COMPARE(control<QTreeWidget>("memberList")->topLevelItem(2)->text(MainDialog::PathColumn), QStringLiteral("OK"));
        QString text = QStringLiteral("x");
        for (int i = 0; i < 200; ++i) text += QStringLiteral("中");  // 1 + 400 bytes of GBK
        control<QLineEdit>("messageText")->setText(text);
        control<QPushButton>("sendButton")->click();
        const auto parts = ann->collect(300);
        QCOMPARE(parts.size(), size_t(2));
        std::string joined;
        for (const auto& part : parts) {
            QVERIFY(part.bytes.size() <= 4 + MaxChatTextBytes);
            const std::string piece(part.bytes.begin() + 4, part.bytes.end());
            QCOMPARE(gbkPrefixLength(piece, piece.size()), piece.size());  // ends on a boundary
            joined += piece;
        }
        QCOMPARE(QString::fromStdString(gbkToUtf8(joined)), text);
    }

    void sendingWithoutPartnerSendsNoText()
    {
        deliverRoster(1, threeMembers());
        control<QLineEdit>("messageText")->setText(QStringLiteral("nobody"));
        control<QPushButton>("sendButton")->click();
        for (auto* peer : {ann.get(), cyd.get()})
            for (const auto& r : peer->collect(200)) QVERIFY(r.bytes[0] != cmd::ChatText);
    }

    void hostingAGroupAndShowingWhoLeft()
    {
        const Endpoint dialogHost{DialogAddress, HostPort};
        MemberEntry annEntry = memberAt(0, "ann", AnnAddress);
        annEntry.id = UnassignedId;
        ann->send(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, annEntry), dialogHost);
        auto ack = ann->next(1000, cmd::Ack);
        QVERIFY(ack);
        QCOMPARE(ack->from, dialogHost);
        auto roster = ann->next(1000, cmd::RosterUpdate);
        QVERIFY(roster);
        QCOMPARE(readRosterUpdate(roster->bytes).count, 1);
        QCOMPARE(dialog->endpoint().hostRoster().count, 1);
        ann->send(makeEntryDatagram(cmd::LeaveNotice, 0, 0xFF, Kind::ToHost, annEntry), dialogHost);
        QTRY_COMPARE(control<QLabel>("statusText")->text(), QStringLiteral("ann离开了！"));
        QCOMPARE(dialog->endpoint().hostRoster().count, 0);
    }

    void closingSendsLeaveNoticeOnceWhicheverWayItCloses()
    {
        // Joined the host at loopback 21; the address field says something else by the time the
        // window closes: the leave still goes to the host joined.
        control<QLineEdit>("memberName")->setText(QStringLiteral("cyd"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        QVERIFY(host->next(1000, cmd::JoinRequest));
        deliverRoster(1, threeMembers());
        control<QLineEdit>("hostAddress")->setText(loopbackText(99));
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        auto leave = host->next(1000, cmd::LeaveNotice);
        QVERIFY(leave);
        QCOMPARE(leave->bytes.size(), size_t(36));
        QCOMPARE((Bytes{leave->bytes.begin(), leave->bytes.begin() + 4}), (Bytes{13, 1, 0xFF, 3}));
        QCOMPARE(decodeMemberEntry(leave->bytes.data() + 4), dialog->endpoint().session().ownEntry());
        QVERIFY(!dialog->isVisible());
        dialog->close();
        QVERIFY(host->collect(200).empty());
    }

    void partialAddressIsRefusedAndNeverClosedAsThisMachine()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("cyd"));
        for (const char* partial : {"", "127.0", "0.0.0.0"}) {
            boxes->texts.clear();
            control<QLineEdit>("hostAddress")->setText(QString::fromLatin1(partial));
            control<QPushButton>("connectButton")->click();
            QCOMPARE(boxes->texts.size(), 1);
            QVERIFY(boxes->texts.front().startsWith(QStringLiteral("远端IP不完整")));
            QVERIFY(control<QPushButton>("connectButton")->isEnabled());
        }
        // Never joined: closing tells no host anything.
        dialog->close();
        QVERIFY(host->collect(300).empty());
    }

    void enterInTheMessageFieldSendsTheTextAndDoesNotJoinAgain()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("cyd"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(21));
        control<QPushButton>("connectButton")->click();
        QVERIFY(host->next(1000, cmd::JoinRequest));
        deliverRoster(1, threeMembers());
        QTreeWidget* list = control<QTreeWidget>("memberList");
        QTreeWidgetItem* row = list->topLevelItem(dialog->rowOfMember(2));
        row->setCheckState(0, Qt::Checked);
        list->setCurrentItem(row);
        emit list->itemClicked(row, 1);
        auto* message = control<QLineEdit>("messageText");
        message->setText(QStringLiteral("hello"));
        QTest::keyClick(message, Qt::Key_Return);
        QVERIFY(message->text().isEmpty());  // sent (or held for the path), not left in the field
        QVERIFY(host->next(1000, cmd::PathRequest));
        for (const auto& datagram : host->collect(300)) QVERIFY(datagram.bytes[0] != cmd::JoinRequest);
        QCOMPARE(dialog->endpoint().session().partner(), 2);
    }
};

QTEST_MAIN(MainDialogTest)
#include "main_dialog_test.moc"
