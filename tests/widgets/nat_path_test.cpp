// The main window's side of opening a path through address translators, against fake members
// on loopback: text written before the path is open waits until the partner is heard from (or
// a short while at most), keeps its order, and still goes when the window closes; the first
// probe heard from a member we asked a path to is answered with one more probe of ours.
#include "app/main_dialog.h"
#include "app/texts.h"
#include "fake_peer.h"
#include "quiet_directory.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 DialogAddress = loopback(60);
const Ipv4 HostAddress = loopback(61);
const Ipv4 AnnAddress = loopback(62);
const Ipv4 CydAddress = loopback(63);

std::vector<Bytes> bytesOf(const std::vector<FakePeer::Received>& received)
{
    std::vector<Bytes> out;
    for (const auto& r : received) out.push_back(r.bytes);
    return out;
}

std::vector<Bytes> only(const std::vector<FakePeer::Received>& received, int command)
{
    std::vector<Bytes> out;
    for (const auto& r : received)
        if (!r.bytes.empty() && r.bytes[0] == command) out.push_back(r.bytes);
    return out;
}

}  // namespace

class NatPathTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MainDialog> dialog;
    std::unique_ptr<FakePeer> host, ann, cyd;
    std::unique_ptr<RecordingBoxes> boxes;
    QuietDirectory directory;

    template <typename T>
    T* control(const char* name) { return dialog->findChild<T*>(QLatin1String(name)); }
    Endpoint dialogMember() const { return {DialogAddress, MemberPort}; }

    // Joined as member 1 of ann (0), me (1) and cyd (2), with ann ticked and clicked.
    void joinAndPickAnn()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(QString::fromStdString(dottedAddress(HostAddress)));
        control<QPushButton>("connectButton")->click();
        QVERIFY(host->next(1000, cmd::JoinRequest));
        Roster roster;
        roster.count = 3;
        roster.records[0] = memberAt(0, "ann", AnnAddress);
        roster.records[1] = memberAt(1, "me", DialogAddress);
        roster.records[2] = memberAt(2, "cyd", CydAddress);
        host->send(makeRosterUpdate(1, roster), dialogMember());
        QTRY_COMPARE(dialog->endpoint().session().roster().count, 3);
        auto* list = control<QTreeWidget>("memberList");
        list->topLevelItem(2)->setCheckState(0, Qt::Checked);
        list->setCurrentItem(list->topLevelItem(2));
        emit list->itemClicked(list->currentItem(), 0);
        QCOMPARE(dialog->endpoint().session().partner(), 0);
    }
    void write(const QString& text)
    {
        control<QLineEdit>("messageText")->setText(text);
        control<QPushButton>("sendButton")->click();
    }
    QString annPathState() { return control<QTreeWidget>("memberList")->topLevelItem(2)->text(MainDialog::PathColumn); }

private slots:
    void init()
    {
        boxes = std::make_unique<RecordingBoxes>();
        dialog = std::make_unique<MainDialog>(MainDialogOptions{DialogAddress, &directory});
        dialog->show();
        host = std::make_unique<FakePeer>(HostAddress, HostPort);
        ann = std::make_unique<FakePeer>(AnnAddress, MemberPort);
        cyd = std::make_unique<FakePeer>(CydAddress, MemberPort);
        QVERIFY(dialog->socketsBound() && host->bound() && ann->bound() && cyd->bound());
    }
    void cleanup()
    {
        dialog.reset();
        host.reset();
        ann.reset();
        cyd.reset();
        boxes.reset();
    }

    void textWaitsUntilThePartnerIsHeard()
    {
        joinAndPickAnn();
        QElapsedTimer sinceWriting;
        sinceWriting.start();
        write(QStringLiteral("hello ann"));
        QVERIFY(host->next(1000, cmd::PathRequest));
        const auto beforeProbe = ann->collect(150);
        QCOMPARE(only(beforeProbe, cmd::PathOpener).size(), std::size_t(1));
        QVERIFY2(only(beforeProbe, cmd::ChatText).empty(), "the text went before ann was heard from");

        // ann's probe: answered with a confirmation, then the held text, then one probe of ours.
        ann->send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), dialogMember());
        const auto answers = bytesOf(ann->collect(150));
        QVERIFY2(sinceWriting.elapsed() < 600, "too slow to tell release from the time limit");
        const std::vector<Bytes> expected{makeHeaderOnly(cmd::PathConfirm, 0, 1, Kind::PeerToPeer),
                                          makeChatText(0, 1, "hello ann"),
                                          makeHeaderOnly(cmd::PathProbe, 0, 1, Kind::PeerToPeer)};
        QCOMPARE(answers, expected);

        // Only the first probe gets one back; members we did not ask get only the confirmation.
        ann->send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), dialogMember());
        QCOMPARE(bytesOf(ann->collect(150)), std::vector<Bytes>{makeHeaderOnly(cmd::PathConfirm, 0, 1, Kind::PeerToPeer)});
        cyd->send(makeHeaderOnly(cmd::PathProbe, 1, 2, Kind::PeerToPeer), dialogMember());
        QCOMPARE(bytesOf(cyd->collect(150)), std::vector<Bytes>{makeHeaderOnly(cmd::PathConfirm, 2, 1, Kind::PeerToPeer)});

        // ann confirms: the path is open and text goes at once, without a path request.
        ann->send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), dialogMember());
        QTRY_COMPARE(annPathState(), text::PathOk);
        write(QStringLiteral("again"));
        QCOMPARE(bytesOf(ann->collect(100)), std::vector<Bytes>{makeChatText(0, 1, "again")});
        QVERIFY(host->collect(0).empty());
    }

    void unansweredTextGoesAfterAWhileInOrder()
    {
        joinAndPickAnn();
        write(QStringLiteral("one"));
        // cyd's confirmation opens cyd's path, not ann's, and does not release ann's text; the
        // next text waits behind the first.
        cyd->send(makeHeaderOnly(cmd::PathConfirm, 1, 2, Kind::PeerToPeer), dialogMember());
        QTRY_COMPARE(control<QTreeWidget>("memberList")->topLevelItem(0)->text(MainDialog::PathColumn), text::PathOk);
        QVERIFY(annPathState().isEmpty());
        write(QStringLiteral("two"));
        QVERIFY(only(ann->collect(350), cmd::ChatText).empty());
        const std::vector<Bytes> expected{makeChatText(0, 1, "one"), makeChatText(0, 1, "two")};
        QCOMPARE(only(ann->collect(600), cmd::ChatText), expected);
    }

    void closingSendsHeldText()
    {
        joinAndPickAnn();
        write(QStringLiteral("bye"));
        dialog->close();
        const auto received = ann->collect(150);
        QCOMPARE(only(received, cmd::ChatText), std::vector<Bytes>{makeChatText(0, 1, "bye")});
        QVERIFY(host->next(500, cmd::LeaveNotice));
    }
};

QTEST_MAIN(NatPathTest)
#include "nat_path_test.moc"
