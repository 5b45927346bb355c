// Desktop notifications of the real window against a stand-in notification service: a private
// dbus-daemon that this test starts, with an object of the test's registered there as
// org.freedesktop.Notifications. Texts and voice questions while LUMO is not the active window
// notify; clicking the notification brings the window up; no service means no hang.
#include "app/desktop_notifier.h"
#include "app/main_dialog.h"
#include "core/text/gbk.h"
#include "fake_peer.h"
#include "quiet_directory.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 DialogAddress = loopback(70);
const Ipv4 HostAddress = loopback(71);
const Ipv4 AnnAddress = loopback(72);

const QString BusName = QStringLiteral("lumo-test-standin");
const QString NotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString NotificationsInterface = QStringLiteral("org.freedesktop.Notifications");

struct Notification {
    uint id = 0;
    uint replaces = 0;
    QString summary, body;
    QStringList actions;
};

// The desktop's notification service, as far as LUMO uses it.
class StandInNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<Notification> received;

public slots:
    uint Notify(const QString&, uint replacesId, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int)
    {
        const uint id = replacesId ? replacesId : ++lastId_;
        received.append({id, replacesId, summary, body, actions});
        return id;
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
    void CloseNotification(uint) {}

private:
    uint lastId_ = 40;
};

}  // namespace

class DesktopNotificationTest : public QObject {
    Q_OBJECT

    QProcess bus;
    QString busAddress;
    StandInNotifications standIn;
    QuietDirectory directory;
    std::unique_ptr<MainDialog> dialog;
    std::unique_ptr<FakePeer> host, ann;
    std::unique_ptr<RecordingBoxes> boxes;

    template <typename T>
    T* control(const char* name) { return dialog->findChild<T*>(QLatin1String(name)); }
    Endpoint dialogMember() const { return {DialogAddress, MemberPort}; }
    QDBusConnection standInBus() const { return QDBusConnection(BusName); }

    void joinGroup()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(71));
        control<QPushButton>("connectButton")->click();
        QVERIFY(host->next(1000, cmd::JoinRequest));
        host->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), dialogMember());
        Roster roster;
        roster.count = 2;
        roster.records[0] = memberAt(0, "ann", AnnAddress);
        roster.records[1] = memberAt(1, "me", DialogAddress);
        host->send(makeRosterUpdate(1, roster), dialogMember());
        QTRY_COMPARE(dialog->endpoint().session().roster().count, 2);
    }
    // The player clicks notification `id` on the desktop.
    void click(uint id, const QString& action = QStringLiteral("default"))
    {
        QDBusMessage signal = QDBusMessage::createSignal(NotificationsPath, NotificationsInterface, QStringLiteral("ActionInvoked"));
        signal << id << action;
        QVERIFY(standInBus().send(signal));
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            QSKIP("dbus-daemon is not installed (scripts/setup installs it)");
        bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
        QVERIFY(bus.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine() || bus.state() != QProcess::Running, 5000);
        busAddress = QString::fromUtf8(bus.readLine()).trimmed();
        QVERIFY2(!busAddress.isEmpty(), "dbus-daemon printed no address");
        // The program's session bus is this private one, never the desktop's.
        qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress.toUtf8());
        QDBusConnection standInConnection = QDBusConnection::connectToBus(busAddress, BusName);
        QVERIFY(standInConnection.isConnected());
        QVERIFY(standInConnection.registerObject(NotificationsPath, &standIn, QDBusConnection::ExportAllSlots));
    }
    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(BusName);
        if (bus.state() == QProcess::Running) {
            bus.terminate();
            if (!bus.waitForFinished(3000)) bus.kill();
        }
    }
    void init()
    {
        QVERIFY(standInBus().registerService(NotificationsInterface));
        standIn.received.clear();
        boxes = std::make_unique<RecordingBoxes>();
        dialog = std::make_unique<MainDialog>(MainDialogOptions{DialogAddress, &directory});
        host = std::make_unique<FakePeer>(HostAddress, HostPort);
        ann = std::make_unique<FakePeer>(AnnAddress, MemberPort);
        QVERIFY(dialog->socketsBound());
        QVERIFY(host->bound() && ann->bound());
        QVERIFY(dialog->notifier().busConnected());
    }
    void cleanup()
    {
        dialog.reset();
        host.reset();
        ann.reset();
        boxes.reset();
        standInBus().unregisterService(NotificationsInterface);
    }

    void textWhileInactiveNotifiesOnceAndTheClickBringsTheWindowUp()
    {
        joinGroup();  // the window was never shown: LUMO is not the active window
        QVERIFY(!QApplication::activeWindow());
        ann->send(makeChatText(1, 0, utf8ToGbk("开黑吗 <b>now</b>")), dialogMember());
        QTRY_COMPARE(standIn.received.size(), 1);
        const Notification note = standIn.received.first();
        QCOMPARE(note.summary, QStringLiteral("ann说："));
        // Services may read the body as markup: the member's text is shown as it was written.
        QCOMPARE(note.body, QStringLiteral("开黑吗 &lt;b&gt;now&lt;/b&gt;"));
        QVERIFY(note.actions.contains(QStringLiteral("default")));
        QTest::qWait(300);
        QCOMPARE(standIn.received.size(), 1);

        // Another program's notification, or another action, is not ours to answer.
        click(note.id + 1000);
        click(note.id, QStringLiteral("other"));
        QTest::qWait(300);
        QVERIFY(!dialog->isVisible());
        click(note.id);
        QTRY_VERIFY(dialog->isVisible());
        QTRY_VERIFY(dialog->isActiveWindow());

        // While LUMO is the active window, texts notify no more.
        ann->send(makeChatText(1, 0, "seen"), dialogMember());
        QTRY_COMPARE(int(dialog->chatHistory().size()), 2);
        QTest::qWait(300);
        QCOMPARE(standIn.received.size(), 1);
    }

    void floodIsOneChangingNotificationAndVoiceQuestionsNotifyToo()
    {
        joinGroup();
        for (int i = 0; i < 50; ++i) ann->send(makeChatText(1, 0, "text " + std::to_string(i)), dialogMember());
        QTRY_COMPARE(int(dialog->chatHistory().size()), 50);
        QTRY_COMPARE(standIn.received.size(), 1);
        // The rest are gathered into one that replaces the first on the desktop.
        QTRY_COMPARE_WITH_TIMEOUT(standIn.received.size(), 2, 3000);
        QCOMPARE(standIn.received[1].replaces, standIn.received[0].id);
        QVERIFY2(standIn.received[1].body.startsWith(QStringLiteral("text 49")), qPrintable(standIn.received[1].body));
        QVERIFY2(standIn.received[1].body.contains(QStringLiteral("48")), qPrintable(standIn.received[1].body));
        QTest::qWait(DesktopNotifier::MinIntervalMs + 200);
        QCOMPARE(standIn.received.size(), 2);

        // ann talks: the second voice block asks the player, and the desktop says so.
        boxes->answer = false;
        for (std::uint32_t sequence = 1; sequence <= 2; ++sequence) {
            VoiceRecord record;
            record.sequence = sequence;
            ann->send(makeVoiceDatagram(cmd::VoiceGroup, 1, 0, record), dialogMember());
            QTest::qWait(50);
        }
        QTRY_COMPARE(boxes->questions.size(), 1);
        QTRY_COMPARE(standIn.received.size(), 3);
        QCOMPARE(standIn.received[2].body, QStringLiteral("ann想和你聊天，接受吗？"));
    }

    // Without a tray (here: offscreen) closing to it cannot be chosen; a window hidden away
    // still ends the way SIGTERM ends it, with the leave told to the host.
    void hiddenWindowStillEndsForGoodAndLeaves()
    {
        joinGroup();
        QVERIFY(!dialog->closeToTrayAction()->isEnabled());
        QVERIFY(!dialog->closeToTrayAction()->isChecked());
        dialog->show();
        dialog->hide();
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        host->collect(0);
        dialog->closeForGood();
        QCOMPARE(finished.size(), 1);
        QVERIFY2(host->next(2000, cmd::LeaveNotice), "the host was told of the leave");
    }

    void withoutAServiceNothingHangsAndTheGroupGoesOn()
    {
        standInBus().unregisterService(NotificationsInterface);
        joinGroup();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 5; ++i) ann->send(makeChatText(1, 0, "nobody listens " + std::to_string(i)), dialogMember());
        QTRY_COMPARE(int(dialog->chatHistory().size()), 5);
        ann->send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), dialogMember());
        QVERIFY2(ann->next(3000, cmd::PathConfirm), "the window stopped answering the group");
        QVERIFY(standIn.received.isEmpty());
        qInfo("five texts without a notification service handled in %lld ms", static_cast<long long>(timer.elapsed()));
    }
};

QTEST_MAIN(DesktopNotificationTest)
#include "desktop_notification_test.moc"
