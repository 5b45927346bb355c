// A group forms for real: a lumo host process, a lumo member process that connects from its
// command line, and two members in this process driven through their windows' controls.
#include "app/main_dialog.h"
#include "lumo_process.h"
#include "quiet_directory.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <set>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 HostAddress = loopback(3);
const Ipv4 XenoAddress = loopback(4);
const Ipv4 AnnAddress = loopback(5);
const Ipv4 BobAddress = loopback(6);

template <typename T>
T* control(MainDialog& dialog, const char* name)
{
    return dialog.findChild<T*>(QLatin1String(name));
}

void connectThroughControls(MainDialog& dialog, const QString& name)
{
    control<QLineEdit>(dialog, "memberName")->setText(name);
    control<QLineEdit>(dialog, "hostAddress")->setText(QString::fromStdString(dottedAddress(HostAddress)));
    control<QPushButton>(dialog, "connectButton")->click();
}

std::set<std::string> names(const Roster& roster)
{
    std::set<std::string> out;
    for (int i = 0; i < roster.count; ++i) out.insert(roster.records[i].nameBytes());
    return out;
}

// Ticks and clicks the row that shows `name`, making that member the partner to reach.
void pickMember(MainDialog& dialog, const std::string& name)
{
    auto* list = control<QTreeWidget>(dialog, "memberList");
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = list->topLevelItem(row);
        if (item->text(MainDialog::NameColumn).toStdString() != name) continue;
        item->setCheckState(MainDialog::IdColumn, Qt::Checked);
        list->setCurrentItem(item);
        emit list->itemClicked(list->currentItem(), 0);
        return;
    }
    QFAIL(("no row shows " + name).c_str());
}

QString pathState(MainDialog& dialog)
{
    const QTreeWidgetItem* row = dialog.memberRow(dialog.rowOfMember(dialog.endpoint().session().partner()));
    return row ? row->text(MainDialog::PathColumn) : QString();
}

}  // namespace

class GroupTest : public QObject {
    Q_OBJECT

private slots:
    void membersJoinOpenPathsChatAndLeave()
    {
        RecordingBoxes boxes;
        QuietDirectory directory;
        FakePeer probe(loopback(40), 40000);
        LumoProcess host(HostAddress);
        QVERIFY2(host.waitUntilAnswering(probe), "the host process did not start");
        LumoProcess xeno(XenoAddress, {QStringLiteral("--name"), QStringLiteral("xeno"), QStringLiteral("--connect"),
                                       QString::fromStdString(dottedAddress(HostAddress))});

        auto ann = std::make_unique<MainDialog>(MainDialogOptions{AnnAddress, &directory});
        auto bob = std::make_unique<MainDialog>(MainDialogOptions{BobAddress, &directory});
        ann->show();
        bob->show();
        QVERIFY(ann->socketsBound() && bob->socketsBound());
        QTest::qWait(300);  // xeno joins first
        connectThroughControls(*ann, QStringLiteral("ann"));
        connectThroughControls(*bob, QStringLiteral("bob"));

        // Both see the whole group and their own record, and their buttons read "更新".
        const std::set<std::string> everyone{"xeno", "ann", "bob"};
        QTRY_COMPARE_WITH_TIMEOUT(names(ann->endpoint().session().roster()), everyone, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(names(bob->endpoint().session().roster()), everyone, 5000);
        QCOMPARE(ann->endpoint().session().ownEntry().nameBytes(), std::string("ann"));
        QCOMPARE(bob->endpoint().session().ownEntry().nameBytes(), std::string("bob"));
        QCOMPARE(ann->endpoint().session().roster().records[ann->endpoint().session().ownEntry().id].nameBytes(), std::string("ann"));
        QCOMPARE(ann->endpoint().session().ownEntry().publicAddress, AnnAddress);
        QCOMPARE(ann->endpoint().session().ownEntry().publicPort, MemberPort);
        QTRY_COMPARE_WITH_TIMEOUT(control<QPushButton>(*ann, "connectButton")->text(), QStringLiteral("更新"), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(control<QPushButton>(*bob, "connectButton")->text(), QStringLiteral("更新"), 3000);
        QCOMPARE(control<QTreeWidget>(*ann, "memberList")->topLevelItemCount(), 3);

        // ann writes to bob: the host introduces them, the path opens and the text arrives.
        pickMember(*ann, "bob");
        control<QLineEdit>(*ann, "messageText")->setText(QStringLiteral("你好 bob"));
        control<QPushButton>(*ann, "sendButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(boxes.texts.contains(QStringLiteral("ann说：你好 bob")), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(pathState(*ann), QStringLiteral("OK"), 3000);

        // bob answers ann the same way, and his side of the path reads "OK" too.
        pickMember(*bob, "ann");
        control<QLineEdit>(*bob, "messageText")->setText(QStringLiteral("hi ann"));
        control<QPushButton>(*bob, "sendButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(boxes.texts.contains(QStringLiteral("bob说：hi ann")), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(pathState(*bob), QStringLiteral("OK"), 3000);

        // ann reaches the member in the other process the same way.
        pickMember(*ann, "xeno");
        control<QLineEdit>(*ann, "messageText")->setText(QStringLiteral("hello xeno"));
        control<QPushButton>(*ann, "sendButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(pathState(*ann), QStringLiteral("OK"), 3000);

        // bob closes his window: he leaves every list.
        bob->close();
        QTRY_COMPARE_WITH_TIMEOUT(names(ann->endpoint().session().roster()), (std::set<std::string>{"xeno", "ann"}), 3000);
        QCOMPARE(control<QTreeWidget>(*ann, "memberList")->topLevelItemCount(), 2);
        QVERIFY(host.running() && xeno.running());
        QVERIFY(xeno.stop());
        QTRY_COMPARE_WITH_TIMEOUT(names(ann->endpoint().session().roster()), (std::set<std::string>{"ann"}), 3000);
    }
};

QTEST_MAIN(GroupTest)
#include "group_test.moc"
