// LUMO in a Wayland session: a headless weston (Debian's, with XWayland) that the test starts
// itself, a private session bus with or without a stand-in global shortcuts portal, and the
// real lumo started natively (QT_QPA_PLATFORM=wayland) and as it starts by default there
// (through XWayland). The test looks only where another program could: weston's scene graph
// (which windows of which client are shown), what lumo prints on stderr, what it asked the
// portal for, its settings file, and weston's screenshots (left in wayland_screens/ beside the
// test program). Skipped, saying why, without weston, Xwayland, dbus-daemon or Qt's Wayland
// platform plug-in.
#include "directory_server.h"
#include "fake_peer.h"
#include "standin_portal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace lumo;
using namespace lumo::test;

namespace {

bool waitFor(const std::function<bool()>& condition, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() >= ms) return false;
        QTest::qWait(50);
    }
    return true;
}

// Runs a program to its end (the test's event loop keeps running, for the stand-in portal).
QByteArray run(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
               const QString& directory = {}, bool* ok = nullptr)
{
    QProcess process;
    process.setProcessEnvironment(env);
    if (!directory.isEmpty()) process.setWorkingDirectory(directory);
    process.start(program, arguments);
    const bool finished = process.waitForStarted(5000) && waitFor([&] { return process.state() == QProcess::NotRunning; }, 15000);
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
    }
    if (ok) *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return process.readAllStandardOutput();
}

struct ShownWindow {
    QString role;   // "xdg_toplevel" for a native Wayland window; XWayland's have none
    qint64 pid;     // the client's process (weston's own for XWayland windows)
    QString title;
    QString appId;  // a native window's; empty for XWayland's
};

// A headless weston with XWayland, its socket in the test's private runtime folder.
class Weston {
public:
    static QString missing()
    {
        for (const char* tool : {"weston", "weston-debug", "weston-screenshooter", "Xwayland", "dbus-daemon"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) return QString::fromLatin1(tool);
        return {};
    }

    Weston()
    {
        socket_ = QStringLiteral("lumo-weston-%1").arg(QCoreApplication::applicationPid());
        log_ = QDir(runtime()).filePath(socket_ + QStringLiteral(".log"));
        QFile::remove(log_);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("weston"),
                       {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--use-pixman"), QStringLiteral("--xwayland"),
                        QStringLiteral("--socket=") + socket_, QStringLiteral("--width=1024"), QStringLiteral("--height=768"),
                        // The debug protocol serves the scene graph and the screenshots.
                        QStringLiteral("--debug"), QStringLiteral("--no-config"), QStringLiteral("--log=") + log_});
        if (!process_.waitForStarted(5000)) return;
        const QRegularExpression display(QStringLiteral("xserver listening on display (:\\d+)"));
        waitFor([&] {
            QFile file(log_);
            if (file.open(QIODevice::ReadOnly)) {
                const auto match = display.match(QString::fromUtf8(file.readAll()));
                if (match.hasMatch()) xDisplay_ = match.captured(1);
            }
            return (!xDisplay_.isEmpty() && QFile::exists(QDir(runtime()).filePath(socket_))) ||
                   process_.state() == QProcess::NotRunning;
        });
    }
    ~Weston()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
    }
    bool running() const { return process_.state() == QProcess::Running && !xDisplay_.isEmpty(); }
    const QString& socket() const { return socket_; }
    const QString& xDisplay() const { return xDisplay_; }
    static QString runtime() { return qEnvironmentVariable("XDG_RUNTIME_DIR"); }

    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), socket_);
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        return env;
    }

    // The top-level windows weston shows, from its scene graph.
    std::vector<ShownWindow> windows() const
    {
        const QString graph = QString::fromUtf8(run(QStringLiteral("weston-debug"), {QStringLiteral("scene-graph")}, clientEnvironment()));
        static const QRegularExpression view(
            QStringLiteral("View \\d+ \\(role ([^,]*), PID (\\d+), surface ID \\d+, top-level window '(.*?)'(?: of ([^,]*))?, 0x"));
        std::vector<ShownWindow> found;
        for (auto it = view.globalMatch(graph); it.hasNext();) {
            const auto match = it.next();
            found.push_back({match.captured(1), match.captured(2).toLongLong(), match.captured(3), match.captured(4)});
        }
        return found;
    }
    // A screenshot of the whole output, kept as `name`.
    bool screenshot(const QString& name) const
    {
        QTemporaryDir shots;
        bool ok = false;
        run(QStringLiteral("weston-screenshooter"), {}, clientEnvironment(), shots.path(), &ok);
        const QStringList taken = QDir(shots.path()).entryList({QStringLiteral("*.png")});
        if (!ok || taken.isEmpty()) return false;
        const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/wayland_screens");
        QDir().mkpath(dir);
        QFile::remove(dir + QLatin1Char('/') + name);
        return QFile::copy(QDir(shots.path()).filePath(taken.first()), dir + QLatin1Char('/') + name);
    }

private:
    QProcess process_;
    QString socket_, log_, xDisplay_;
};

// The real lumo in a run directory of its own whose sys/sys.ini names the test's directory, with
// a push-to-talk key (F9) and the overlay plug-in switched on from a previous run.
class Player {
public:
    Player(const Weston& weston, bool native, const QString& busAddress, const std::string& directoryUrl, int address)
    {
        const QDir built(QStringLiteral(LUMO_RUN_DIR));
        QDir().mkpath(path(QStringLiteral("run/sys")));
        QFile::link(built.filePath(QStringLiteral("plugin")), path(QStringLiteral("run/plugin")));
        QFile::link(built.filePath(QStringLiteral("skin")), path(QStringLiteral("run/skin")));
        QFile ini(built.filePath(QStringLiteral("sys/sys.ini")));
        QFile copy(path(QStringLiteral("run/sys/sys.ini")));
        if (ini.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly))
            copy.write(ini.readAll().replace("http://127.0.0.1:8080", QByteArray::fromStdString(directoryUrl)));
        copy.close();
        QDir().mkpath(path(QStringLiteral("config/lumo")));
        QFile conf(settingsFile());
        if (conf.open(QIODevice::WriteOnly))
            conf.write("[plugins]\non=hudlet.so\n\n[sound]\npushToTalkKey=65478\npushToTalkKeyName=F9\n");
        conf.close();

        QProcessEnvironment env = weston.clientEnvironment();
        if (native)
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        else
            env.insert(QStringLiteral("DISPLAY"), weston.xDisplay());  // lumo picks XWayland itself
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        env.remove(QStringLiteral("LC_ALL"));
        // Under AddressSanitizer (scripts/test's asan part): the EGL driver a native window loads
        // leaks from code that is unloaded by the end; only a full unwind reaches libEGL, which
        // scripts/lsan.supp names.
        if (native && env.contains(QStringLiteral("ASAN_OPTIONS")))
            env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":fast_unwind_on_malloc=0"));
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(path(QStringLiteral("run")));
        process_.setStandardErrorFile(path(QStringLiteral("stderr.txt")));
        process_.start(QStringLiteral(LUMO_BINARY), {QStringLiteral("--bind"), loopbackText(address), QStringLiteral("--audio"),
                                                     QStringLiteral("null"), QStringLiteral("--verbose")});
        process_.waitForStarted(5000);
    }
    ~Player()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
    }
    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() == QProcess::Running; }
    QString path(const QString& relative) const { return home_.filePath(relative); }
    QString settingsFile() const { return path(QStringLiteral("config/lumo/LUMO.conf")); }
    QString errors() const
    {
        QFile file(path(QStringLiteral("stderr.txt")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QString settings() const
    {
        QFile file(settingsFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QTemporaryDir home_;
    QProcess process_;
};

bool hasWaylandPlugin()
{
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    return !platforms.entryList({QStringLiteral("libqwayland-*.so")}).isEmpty();
}

}  // namespace

class WaylandSessionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Weston> weston;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<QTemporaryDir> store;
    std::unique_ptr<DirectoryServer> directory;
    std::unique_ptr<StandInPortal> portal;

    // The main window and the group browser of this process are shown.
    static bool windowsOf(const std::vector<ShownWindow>& shown, const Player& player, bool native, int atLeast = 2)
    {
        int count = 0;
        for (const ShownWindow& window : shown) {
            const bool ours = native ? window.role == QLatin1String("xdg_toplevel") && window.pid == player.pid() &&
                                           window.appId == QLatin1String("lumo")
                                     : window.role == QLatin1String("(null)") && window.appId.isEmpty();
            if (ours && window.title == QLatin1String("LUMO")) ++count;
        }
        return count >= atLeast;
    }
    static bool shows(const std::vector<ShownWindow>& shown, const QString& title)
    {
        return std::any_of(shown.begin(), shown.end(), [&](const ShownWindow& w) { return w.title == title; });
    }
    void startPortal()
    {
        portal = std::make_unique<StandInPortal>(bus->address());
        QVERIFY(portal->connected() && portal->registerName());
    }
    // Answers on its host port: the program is up and its event loop runs.
    static bool answering(int address)
    {
        FakePeer probe(loopback(address + 100), MemberPort);
        MemberEntry nobody;
        nobody.id = 200;
        return waitFor([&] {
            probe.send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody), {loopback(address), HostPort});
            return probe.next(200, cmd::Ack).has_value();
        });
    }

private slots:
    void initTestCase()
    {
        if (const QString tool = Weston::missing(); !tool.isEmpty())
            QSKIP(qPrintable(tool + QStringLiteral(" is not installed (scripts/setup installs weston, xwayland, dbus-daemon)")));
        if (!hasWaylandPlugin()) QSKIP("Qt's Wayland platform plug-in is not installed (Debian package qt6-wayland)");
        if (QStringLiteral(LUMO_DIRECTORY_BINARY).isEmpty()) QSKIP("lumo-directory was not built");
        weston = std::make_unique<Weston>();
        QVERIFY2(weston->running(), "weston did not start with XWayland");
        bus = std::make_unique<PrivateBus>();
        QVERIFY(!bus->address().isEmpty());
        store = std::make_unique<QTemporaryDir>();
        directory = std::make_unique<DirectoryServer>(store->filePath(QStringLiteral("groups.db")));
        QVERIFY(directory->running());
    }
    void cleanupTestCase()
    {
        portal.reset();
        directory.reset();
        bus.reset();
        weston.reset();
    }
    void cleanup() { portal.reset(); }

    // Natively, on a desktop without the portal: the windows are there and usable, and LUMO
    // says once that push-to-talk cannot work and that the overlay needs X11, with what to do.
    void nativeWithoutPortalShowsItsWindowsAndSaysWhatItCannotDo()
    {
        Player player(*weston, true, bus->address(), directory->url(), 1);
        QVERIFY2(waitFor([&] { return windowsOf(weston->windows(), player, true); }), "no native LUMO windows in weston");
        QVERIFY(answering(1));
        QVERIFY(waitFor([&] { return player.errors().contains(QStringLiteral("hudlet:")); }));
        const QString errors = player.errors();
        QVERIFY2(errors.contains(QStringLiteral("lumo: 按键说话：桌面没有提供全局快捷键门户")), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("QT_QPA_PLATFORM=xcb")), qPrintable(errors));
        QCOMPARE(errors.count(QStringLiteral("lumo: 按键说话：")), 1);
        QVERIFY2(errors.contains(QStringLiteral("hudlet: 游戏内浮窗需要 X11 会话")), qPrintable(errors));
        // The plug-in loader's box says it too, over the main window (a third window "LUMO").
        QVERIFY(waitFor([&] { return windowsOf(weston->windows(), player, true, 3); }));
        QVERIFY(!shows(weston->windows(), QStringLiteral("gamein")));
        QVERIFY(weston->screenshot(QStringLiteral("native-no-portal.png")));
        QVERIFY(player.running());
    }

    // Natively, with the portal: push-to-talk is bound through it and nothing is complained of
    // about keys; the overlay still cannot stay above a game, and says so.
    void nativeWithPortalBindsPushToTalk()
    {
        startPortal();
        Player player(*weston, true, bus->address(), directory->url(), 2);
        QVERIFY(waitFor([&] { return windowsOf(weston->windows(), player, true); }));
        QVERIFY(waitFor([&] { return portal->binds.size() == 1; }));
        QCOMPARE(portal->binds[0].shortcuts.value(0).first, QStringLiteral("push-to-talk"));
        QCOMPARE(portal->binds[0].shortcuts.value(0).second.value(QStringLiteral("preferred_trigger")).toString(), QStringLiteral("F9"));
        QVERIFY(waitFor([&] { return player.errors().contains(QStringLiteral("push-to-talk heard through the desktop's portal")); }));
        portal->activate(QStringLiteral("push-to-talk"));
        portal->deactivate(QStringLiteral("push-to-talk"));
        QVERIFY2(waitFor([&] { return player.errors().contains(QStringLiteral("push-to-talk up")); }), qPrintable(player.errors()));
        const QString errors = player.errors();
        QVERIFY2(errors.contains(QStringLiteral("push-to-talk down")), qPrintable(errors));
        QVERIFY2(!errors.contains(QStringLiteral("lumo: 按键说话：")), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("hudlet: 游戏内浮窗需要 X11 会话")), qPrintable(errors));
        QVERIFY(weston->screenshot(QStringLiteral("native-with-portal.png")));
    }

    // By default LUMO goes through XWayland. Without the portal the keys fall back to X11 raw key
    // events, heard while an X11 program has the focus, and it says so; the overlay works there:
    // Home typed into XWayland shows it.
    void throughXWaylandWithoutPortal()
    {
        Player player(*weston, false, bus->address(), directory->url(), 3);
        QVERIFY2(waitFor([&] { return windowsOf(weston->windows(), player, false); }), "no XWayland LUMO windows in weston");
        QVERIFY(answering(3));
        QVERIFY(waitFor([&] { return player.errors().contains(QStringLiteral("lumo: 按键说话：")); }));
        const QString errors = player.errors();
        QVERIFY2(errors.contains(QStringLiteral("按键只在 X11 程序（经 XWayland 运行的游戏）有焦点时有效")), qPrintable(errors));
        QVERIFY2(!errors.contains(QStringLiteral("hudlet:")), qPrintable(errors));
        QVERIFY(player.settings().contains(QStringLiteral("hudlet.so")));
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) QSKIP("xdotool is not installed: nothing can type Home");
        QProcessEnvironment x11 = weston->clientEnvironment();
        x11.insert(QStringLiteral("DISPLAY"), weston->xDisplay());
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Home")}, x11);
        QVERIFY2(waitFor([&] { return shows(weston->windows(), QStringLiteral("gamein")); }), "Home typed into XWayland showed no overlay");
        QVERIFY(weston->screenshot(QStringLiteral("xwayland-no-portal-overlay.png")));

        // The portal starts later (the desktop's portal service restarted): both keys move to it,
        // and the X11 watch stops, so Home typed into XWayland no longer hides the overlay.
        startPortal();
        QVERIFY(waitFor([&] { return portal->binds.size() == 2; }));
        QVERIFY(waitFor([&] { return player.errors().count(QStringLiteral("heard through the desktop's portal")) == 2; }));
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Home")}, x11);
        for (const auto& bind : portal->binds) {
            if (bind.shortcuts.value(0).first != QLatin1String("overlay")) continue;
            portal->activate(QStringLiteral("overlay"), bind.session);
            portal->deactivate(QStringLiteral("overlay"), bind.session);
        }
        QVERIFY2(waitFor([&] { return player.errors().count(QStringLiteral("overlay up")) == 2; }), qPrintable(player.errors()));
        // Two releases in all (the first Home and the portal's), so the overlay is hidden again.
        QVERIFY(waitFor([&] { return !shows(weston->windows(), QStringLiteral("gamein")); }));
    }

    // Through XWayland with the portal: both keys are bound by the desktop, and the overlay's
    // key pressed and released through it shows the overlay.
    void throughXWaylandWithPortalBothKeysComeFromTheDesktop()
    {
        startPortal();
        Player player(*weston, false, bus->address(), directory->url(), 4);
        QVERIFY(waitFor([&] { return windowsOf(weston->windows(), player, false); }));
        QVERIFY(waitFor([&] { return portal->binds.size() == 2; }));
        QStringList ids;
        for (const auto& bind : portal->binds) ids << bind.shortcuts.value(0).first;
        ids.sort();
        QCOMPARE(ids, (QStringList{QStringLiteral("overlay"), QStringLiteral("push-to-talk")}));
        QVERIFY(waitFor([&] { return player.errors().count(QStringLiteral("heard through the desktop's portal")) == 2; }));
        const int overlay = portal->binds[0].shortcuts.value(0).first == QLatin1String("overlay") ? 0 : 1;
        portal->activate(QStringLiteral("overlay"), portal->binds[overlay].session);
        portal->deactivate(QStringLiteral("overlay"), portal->binds[overlay].session);
        QVERIFY2(waitFor([&] { return shows(weston->windows(), QStringLiteral("gamein")); }), "the portal's key showed no overlay");
        QVERIFY2(!player.errors().contains(QStringLiteral("lumo: 按键说话：")), qPrintable(player.errors()));
        QVERIFY(weston->screenshot(QStringLiteral("xwayland-with-portal-overlay.png")));
    }
};

QTEST_MAIN(WaylandSessionTest)
#include "wayland_session_test.moc"
