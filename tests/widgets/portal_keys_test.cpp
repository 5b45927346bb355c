// Keys through the desktop's global shortcuts portal, against a stand-in portal on a private
// session bus: the push-to-talk key is bound the way the desktop binds it, its presses and
// releases reach the voice path, strangers on the bus cannot press it, and a portal that is
// missing, refuses or goes away is told to the player instead of a key that does nothing.
// Offscreen there is no X11 display, so the portal is the only way a key can be heard.
#include "app/main_dialog.h"
#include "app/sound_dialog.h"
#include "app/sound_controller.h"
#include "core/voice/voice_codec.h"
#include "dialog_harness.h"
#include "fake_audio.h"
#include "standin_portal.h"

#include <QLabel>
#include <QSettings>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

constexpr std::uint32_t F9 = 0xffc6;

const QString Unusable = QStringLiteral("按键说话无法使用，详见“声音设置”。");

std::vector<std::int16_t> quietBlock() { return std::vector<std::int16_t>(BlockSamples, 3); }

}  // namespace

class PortalKeysTest : public QObject {
    Q_OBJECT

    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<StandInPortal> portal;
    std::unique_ptr<FakeAudio> audio;
    std::unique_ptr<DialogHarness> h;

    bool pushToTalkWatched() const { return h->dialog().sound().pushToTalkWatched(); }
    QString statusLine() { return h->status(); }
    SoundDialog* sound() { return h->dialog().openSoundDialog(); }
    QString keyState() { return sound()->keyStateLabel()->text(); }
    bool talking() { return h->session().talking(); }
    // The sound dialog as the player sees it, kept for a look (beside the weston screenshots).
    void keepPicture(const QString& name)
    {
        sound()->show();
        const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/wayland_screens");
        QDir().mkpath(dir);
        QVERIFY(sound()->grab().save(dir + QLatin1Char('/') + name));
    }

    // The window in a group of three (host, peer, me) with the peer ticked, so that talking sends.
    void startInGroup()
    {
        DialogHarness::Options options;
        options.firstAddress = 1;
        options.members = 1;
        options.show = false;
        options.audio = audio.get();
        h = std::make_unique<DialogHarness>(options);
        QVERIFY(h->ready());
        QVERIFY(h->join(h->roster({"ann", "me"}, 1), 1));
        h->tick(0);
    }
    // Voice datagrams the peer got while the microphone gave `blocks` quiet blocks.
    int voiceSent(int blocks)
    {
        h->member(0).collect(0);
        for (int i = 0; i < blocks; ++i) audio->deliver(quietBlock());
        int voice = 0;
        for (const auto& received : h->member(0).collect(300))
            if (received.bytes[0] == cmd::VoiceGroup) ++voice;
        return voice;
    }

private slots:
    void initTestCase()
    {
        if (!PrivateBus::available()) QSKIP("dbus-daemon is not installed (scripts/setup installs it)");
        bus = std::make_unique<PrivateBus>();
        QVERIFY2(!bus->address().isEmpty(), "dbus-daemon printed no address");
        // The program's session bus is this private one, never the desktop's.
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus->address().toUtf8());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }
    void cleanupTestCase()
    {
        h.reset();
        portal.reset();
        bus.reset();
    }
    void init()
    {
        QSettings(QStringLiteral("lumo"), QStringLiteral("LUMO")).clear();
        portal = std::make_unique<StandInPortal>(bus->address());
        QVERIFY(portal->connected() && portal->registerName());
        audio = std::make_unique<FakeAudio>();
    }
    void cleanup()
    {
        h.reset();
        audio.reset();
        portal.reset();
    }

    void pressAndReleaseReachTheVoicePath()
    {
        portal->triggers[QStringLiteral("push-to-talk")] = QStringLiteral("Ctrl+F9");
        startInGroup();
        sound()->setPushToTalkKey(F9, QStringLiteral("F9"));
        QCOMPARE(keyState(), QStringLiteral("正在请桌面绑定按键……"));
        QTRY_VERIFY(pushToTalkWatched());
        // The desktop was asked for one shortcut, described, with the key the player picked; what
        // it bound is what the player is shown.
        QCOMPARE(portal->binds.size(), 1);
        QCOMPARE(portal->binds[0].session, portal->lastSession());
        QCOMPARE(portal->binds[0].shortcuts.size(), 1);
        QCOMPARE(portal->binds[0].shortcuts[0].first, QStringLiteral("push-to-talk"));
        QVERIFY(!portal->binds[0].shortcuts[0].second.value(QStringLiteral("description")).toString().isEmpty());
        QCOMPARE(portal->binds[0].shortcuts[0].second.value(QStringLiteral("preferred_trigger")).toString(), QStringLiteral("F9"));
        QCOMPARE(keyState(), QStringLiteral("由桌面绑定：Ctrl+F9"));
        QVERIFY(statusLine().isEmpty());
        QVERIFY(!talking());
        keepPicture(QStringLiteral("sound-dialog-bound-by-portal.png"));

        portal->activate(QStringLiteral("push-to-talk"));
        QTRY_VERIFY(talking());
        // While it is held every block goes out, quiet ones too.
        QVERIFY(voiceSent(3) >= 3);
        portal->deactivate(QStringLiteral("push-to-talk"));
        QTRY_VERIFY(!talking());
        QCOMPARE(voiceSent(3), 0);

        // A new key is a new binding: the old session is closed, the desktop asked again.
        sound()->setPushToTalkKey(0xff50, QStringLiteral("Home"));
        QTRY_COMPARE(portal->binds.size(), 2);
        QCOMPARE(portal->binds[1].shortcuts[0].second.value(QStringLiteral("preferred_trigger")).toString(), QStringLiteral("Home"));
        QTRY_COMPARE(portal->closed.size(), 1);
        QCOMPARE(portal->closed[0], portal->binds[0].session);
        // No key, no binding.
        sound()->setPushToTalkKey(0, {});
        QTRY_COMPARE(portal->closed.size(), 2);
        QVERIFY(!pushToTalkWatched());
        QVERIFY(keyState().isEmpty());
    }

    void onlyThePortalAndOnlyThisSessionCanPressTheKey()
    {
        startInGroup();
        sound()->setPushToTalkKey(F9, QStringLiteral("F9"));
        QTRY_VERIFY(pushToTalkWatched());
        const QString session = portal->lastSession();
        {
            // Another client on the bus sends the portal's signal for our session.
            StandInPortal stranger(bus->address(), QStringLiteral("lumo-stranger"));
            stranger.sessions << session;
            stranger.activate(QStringLiteral("push-to-talk"));
        }
        portal->activate(QStringLiteral("push-to-talk"), portal->Path + QStringLiteral("/session/1_1/other"));
        portal->activate(QStringLiteral("overlay"));
        QTest::qWait(300);
        QVERIFY(!talking());
        portal->activate(QStringLiteral("push-to-talk"));
        QTRY_VERIFY(talking());
    }

    void thePortalGoingAwayStopsTalkingAndSaysSoOnce()
    {
        startInGroup();
        sound()->setPushToTalkKey(F9, QStringLiteral("F9"));
        QTRY_VERIFY(pushToTalkWatched());
        portal->activate(QStringLiteral("push-to-talk"));
        QTRY_VERIFY(talking());

        QVERIFY(portal->unregisterName());
        QTRY_VERIFY(!talking());
        QVERIFY(!pushToTalkWatched());
        QCOMPARE(statusLine(), Unusable);
        QVERIFY2(keyState().startsWith(QStringLiteral("桌面的全局快捷键门户已退出。")), qPrintable(keyState()));
        QCOMPARE(voiceSent(2), 0);

        // It starts again: the key is bound again, and the status line is not repeated.
        h->control<QLabel>("statusText")->clear();
        QVERIFY(portal->registerName());
        QTRY_COMPARE(portal->binds.size(), 2);
        QTRY_VERIFY(pushToTalkWatched());
        portal->activate(QStringLiteral("push-to-talk"));
        QTRY_VERIFY(talking());
        // The desktop closes the session by itself: the same as going away.
        portal->closeSession();
        QTRY_VERIFY(!talking());
        QTRY_VERIFY(!pushToTalkWatched());
        QCOMPARE(statusLine(), Unusable);
    }

    void aPortalThatRefusesOrIsMissingIsToldNotSilent_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<QString>("state");
        QTest::newRow("no portal on the bus") << 0 << QStringLiteral("桌面没有提供全局快捷键门户");
        QTest::newRow("a portal without global shortcuts") << 1 << QStringLiteral("桌面没有提供全局快捷键门户");
        QTest::newRow("the player cancels the desktop's dialog") << 2 << QStringLiteral("桌面没有绑定这个按键。");
        QTest::newRow("the session is refused") << 3 << QStringLiteral("桌面没有绑定这个按键。");
        QTest::newRow("the desktop binds nothing") << 4 << QStringLiteral("桌面没有绑定这个按键。");
    }
    void aPortalThatRefusesOrIsMissingIsToldNotSilent()
    {
        QFETCH(int, how);
        QFETCH(QString, state);
        if (how == 0) QVERIFY(portal->unregisterName());
        if (how == 1) portal->version.reset();
        if (how == 2) portal->bindResponse = 1;
        if (how == 3) portal->createResponse = 2;
        if (how == 4) portal->bindAll = false;
        startInGroup();
        sound()->setPushToTalkKey(F9, QStringLiteral("F9"));
        QTRY_COMPARE(statusLine(), Unusable);
        QVERIFY2(keyState().startsWith(state), qPrintable(keyState()));
        QVERIFY(!pushToTalkWatched());
        if (how == 0) keepPicture(QStringLiteral("sound-dialog-no-portal.png"));
        // The voice button still works as before.
        h->control<QPushButton>("voiceButton")->click();
        QVERIFY(talking());
    }

    void bindingItLaterInTheDesktopsSettingsMakesItWork()
    {
        portal->bindResponse = 1;
        startInGroup();
        sound()->setPushToTalkKey(F9, QStringLiteral("F9"));
        QTRY_COMPARE(statusLine(), Unusable);
        portal->changeShortcuts({{QStringLiteral("push-to-talk"), {{QStringLiteral("trigger_description"), QStringLiteral("Alt+T")}}}});
        QTRY_VERIFY(pushToTalkWatched());
        QCOMPARE(keyState(), QStringLiteral("由桌面绑定：Alt+T"));
        portal->activate(QStringLiteral("push-to-talk"));
        QTRY_VERIFY(talking());
    }

    void theDialogWaitsForThePlayerAtTheDesktopsDialog()
    {
        portal->holdBind = true;
        startInGroup();
        sound()->setPushToTalkKey(F9, QStringLiteral("F9"));
        QTRY_COMPARE(portal->binds.size(), 1);
        QTest::qWait(200);
        QCOMPARE(keyState(), QStringLiteral("正在请桌面绑定按键……"));
        QVERIFY(statusLine().isEmpty());
        portal->answerBind();
        QTRY_COMPARE(keyState(), QStringLiteral("由桌面绑定：F9"));
    }
};

QTEST_MAIN(PortalKeysTest)
#include "portal_keys_test.moc"
