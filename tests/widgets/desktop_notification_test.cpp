// Desktop notifications against a stand-in notification service: a private dbus-daemon that
// this test starts, with an object of the test's registered there as
// org.freedesktop.Notifications. Texts and voice questions while LUMO is not the active window
// notify, a flood as one changing bubble; clicking the notification brings the window up; no
// service means no hang.
#include "app/desktop_notifier.h"
#include "app/tray_notifications.h"
#include "core/text/gbk.h"
#include "dialog_harness.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

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
    bool lumoActive = false;
    std::unique_ptr<TrayNotifications> tray;

    QDBusConnection standInBus() const { return QDBusConnection(BusName); }

    // The player clicks notification `id` on the desktop.
    void click(uint id, const QString& action = QStringLiteral("default"))
    {
        QDBusMessage signal = QDBusMessage::createSignal(NotificationsPath, NotificationsInterface, QStringLiteral("ActionInvoked"));
        signal << id << action;
        QVERIFY(standInBus().send(signal));
    }
    // Whatever the program sent the service, and the service sent back, before now has arrived:
    // one more call to it, and its answer, go the same way.
    bool roundTrip()
    {
        QDBusMessage call = QDBusMessage::createMethodCall(NotificationsInterface, NotificationsPath, NotificationsInterface,
                                                           QStringLiteral("GetCapabilities"));
        QDBusPendingCallWatcher watcher(QDBusConnection::sessionBus().asyncCall(call));
        return QTest::qWaitFor([&] { return watcher.isFinished(); }, 10000);
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
        lumoActive = false;
        TrayNotifications::Hooks hooks;
        hooks.lumoActive = [this] { return lumoActive; };
        tray = std::make_unique<TrayNotifications>(nullptr, hooks);
        QVERIFY(tray->notifier().busConnected());
    }
    void cleanup()
    {
        tray.reset();
        standInBus().unregisterService(NotificationsInterface);
    }

    void textWhileInactiveNotifiesOnceAndTheClickBringsLumoUp()
    {
        QSignalSpy bringUp(tray.get(), &TrayNotifications::bringUpRequested);
        tray->notifyUnlessActive(QStringLiteral("ann说："), QStringLiteral("开黑吗 <b>now</b>"));
        QTRY_COMPARE(standIn.received.size(), 1);
        const Notification note = standIn.received.first();
        QCOMPARE(note.summary, QStringLiteral("ann说："));
        // Services may read the body as markup: the member's text is shown as it was written.
        QCOMPARE(note.body, QStringLiteral("开黑吗 &lt;b&gt;now&lt;/b&gt;"));
        QVERIFY(note.actions.contains(QStringLiteral("default")));

        // Another program's notification, or another action, is not ours to answer.
        click(note.id + 1000);
        click(note.id, QStringLiteral("other"));
        click(note.id);
        QTRY_COMPARE(bringUp.size(), 1);
        QVERIFY(roundTrip());
        QCOMPARE(bringUp.size(), 1);

        // While LUMO is the active window, texts notify no more.
        lumoActive = true;
        tray->notifyUnlessActive(QStringLiteral("ann说："), QStringLiteral("seen"));
        QVERIFY(roundTrip());
        QCOMPARE(standIn.received.size(), 1);
    }

    void floodIsOneChangingNotification()
    {
        for (int i = 0; i < 50; ++i) tray->notifyUnlessActive(QStringLiteral("ann说："), QStringLiteral("text %1").arg(i));
        QTRY_COMPARE(standIn.received.size(), 1);
        // The rest are gathered into one that replaces the first on the desktop.
        QTRY_COMPARE(standIn.received.size(), 2);
        QCOMPARE(standIn.received[1].replaces, standIn.received[0].id);
        QVERIFY2(standIn.received[1].body.startsWith(QStringLiteral("text 49")), qPrintable(standIn.received[1].body));
        QVERIFY2(standIn.received[1].body.contains(QStringLiteral("48")), qPrintable(standIn.received[1].body));
        // The next notification, a pace later, is the next text's: nothing else came between.
        tray->notifyUnlessActive(QStringLiteral("ann说："), QStringLiteral("next"));
        QTRY_COMPARE(standIn.received.size(), 3);
        QCOMPARE(standIn.received[2].body, QStringLiteral("next"));
    }

    void withoutAServiceNothingHangs()
    {
        standInBus().unregisterService(NotificationsInterface);
        for (int i = 0; i < 5; ++i) tray->notifyUnlessActive(QStringLiteral("ann说："), QStringLiteral("nobody listens %1").arg(i));
        QVERIFY(roundTrip());  // the calls' errors are back
        QVERIFY(standIn.received.isEmpty());
        QVERIFY(tray->notifier().busConnected());
    }

    // The main window's texts and voice questions reach the desktop while it is not active,
    // and the notification's click brings the window up.
    void theWindowsTextsAndQuestionsNotifyAndTheClickBringsItUp()
    {
        tray.reset();
        DialogHarness::Options options;
        options.firstAddress = 70;
        options.members = 1;
        options.show = false;  // LUMO is not the active window
        DialogHarness h(options);
        QVERIFY(h.ready());
        QVERIFY(h.join(h.roster({"ann", "me"}, 1), 1));
        QVERIFY(!QApplication::activeWindow());
        h.member(0).send(makeChatText(1, 0, utf8ToGbk("开黑吗")), h.toWindow());
        QTRY_COMPARE(standIn.received.size(), 1);
        QCOMPARE(standIn.received[0].summary, QStringLiteral("ann说："));
        QCOMPARE(standIn.received[0].body, QStringLiteral("开黑吗"));

        // ann talks: the second voice block asks the player, and the desktop says so.
        h.boxes.answer = false;
        for (std::uint32_t sequence = 1; sequence <= 2; ++sequence) {
            VoiceRecord record;
            record.sequence = sequence;
            h.member(0).send(makeVoiceDatagram(cmd::VoiceGroup, 1, 0, record), h.toWindow());
        }
        QTRY_COMPARE(h.boxes.questions.size(), 1);
        QTRY_COMPARE(standIn.received.size(), 2);
        QCOMPARE(standIn.received[1].body, QStringLiteral("ann想和你聊天，接受吗？"));

        QVERIFY(!h.dialog().isVisible());
        click(standIn.received[1].id);
        QTRY_VERIFY(h.dialog().isVisible());
        QTRY_VERIFY(h.dialog().isActiveWindow());
    }
};

QTEST_MAIN(DesktopNotificationTest)
#include "desktop_notification_test.moc"
