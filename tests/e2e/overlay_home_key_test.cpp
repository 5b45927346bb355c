// The Home key under a real X server: the test starts itself again under xvfb-run, where it
// loads the built hudlet plug-in as the plug-in loader does, runs the main program's end of the
// link, and presses Home with xdotool. Skipped, saying why, when xvfb-run or xdotool is missing.
// A screenshot of the shown overlay is left in overlay_screens/ beside the test program.
#include "core/shell/plugin_abi.h"
#include "overlay_test_support.h"

#include <QApplication>
#include <QDialog>
#include <QLibrary>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTreeWidget>

#include <cstdio>
#include <cstring>
#include <functional>

using namespace lumo;
using namespace lumo::test;

namespace {

const char* const UnderX11 = "--under-x11";

// --- the part that runs under Xvfb ---------------------------------------------------------

int failures = 0;

void check(bool ok, const char* what)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    std::fflush(stdout);
    if (!ok) ++failures;
}

bool waitFor(const std::function<bool()>& condition, int ms = 3000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() >= ms) return false;
        QTest::qWait(10);
    }
    return true;
}

bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    // The program's own event loop keeps running meanwhile, as the overlay needs it.
    if (!waitFor([&] { return process.state() == QProcess::NotRunning; }, 10000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (output) *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QWidget* overlayWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->windowTitle() == QStringLiteral("gamein")) return widget;
    return nullptr;
}

bool overlayShown()
{
    QWidget* overlay = overlayWindow();
    return overlay && overlay->isVisible();
}

// Whether the X server itself shows a window titled exactly "gamein".
bool mappedOnX()
{
    QByteArray ids;
    run(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--name", "^gamein$"}, &ids);
    return !ids.trimmed().isEmpty();
}

bool pressHome() { return run(QStringLiteral("xdotool"), {"key", "Home"}); }

int underX11(const QString& screenshotDir)
{
    QLibrary plugin(QStringLiteral(HUDLET_MODULE));
    check(plugin.load(), "the plug-in loads");
    auto gethook = reinterpret_cast<lumo::GetHookFunction>(plugin.resolve(GetHookSymbol));
    auto unhook = reinterpret_cast<lumo::UnhookFunction>(plugin.resolve(UnhookSymbol));
    if (!gethook || !unhook) {
        check(false, "the plug-in exports gethook and unhook");
        return 1;
    }

    // The main program: its window runs modally, as lumo runs it, and its link end serves the
    // overlay.
    FakeMainWindow main;
    main.setRoster(overlayRoster({"ann", "小明", "cyd"}));
    PipeServer server(main);
    main.server = &server;
    QDialog mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("LUMO"));
    mainWindow.resize(300, 200);
    mainWindow.move(20, 20);
    mainWindow.setWindowModality(Qt::ApplicationModal);
    mainWindow.show();
    check(QTest::qWaitForWindowExposed(&mainWindow), "the main window is shown");

    void* hook = gethook("hudlet.so");
    check(hook != nullptr, "gethook installs the Home key hook on X11");
    if (!hook) return 1;
    check(!overlayWindow(), "no overlay before the first Home");

    check(pressHome(), "xdotool key Home (1)");
    check(waitFor(overlayShown), "the first Home release creates and shows the overlay");
    check(waitFor(mappedOnX), "the X server shows a window titled gamein");
    check(waitFor([&] { return server.overlayConnected(); }), "the overlay connects to the pipe");
    QWidget* overlay = overlayWindow();
    auto* list = overlay ? overlay->findChild<QTreeWidget*>(QStringLiteral("memberList")) : nullptr;
    check(list && waitFor([&] { return list->topLevelItemCount() == 3; }), "the overlay lists the group's three members");
    check(overlay && (overlay->windowFlags() & Qt::WindowStaysOnTopHint), "the overlay stays on top");
    // Qt lets the overlay past the main window's modality, but the window manager must not see it
    // as the main window's transient: it would minimise the overlay with the main window.
    if (!QStandardPaths::findExecutable(QStringLiteral("xprop")).isEmpty() && overlay) {
        QByteArray property;
        run(QStringLiteral("xprop"), {"-id", QString::number(overlay->winId()), "WM_TRANSIENT_FOR"}, &property);
        check(property.contains("not found"), "no WM_TRANSIENT_FOR on the overlay");
    }

    // A click on the overlay's second tab works although the main window is modal.
    auto* tabs = overlay ? overlay->findChild<QTabWidget*>() : nullptr;
    if (tabs) {
        const QRect tab = tabs->tabBar()->tabRect(1);
        const QPoint at = tabs->tabBar()->mapToGlobal(tab.center());
        run(QStringLiteral("xdotool"), {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
        check(waitFor([&] { return tabs->currentIndex() == 1; }), "a real click switches the overlay to the tab 其它");
        tabs->setCurrentIndex(0);
    }
    QTest::qWait(200);
    if (!QStandardPaths::findExecutable(QStringLiteral("import")).isEmpty()) {
        QDir().mkpath(screenshotDir);
        check(run(QStringLiteral("import"), {"-window", "root", screenshotDir + QStringLiteral("/overlay_shown.png")}),
              "screenshot taken");
    }

    check(pressHome(), "xdotool key Home (2)");
    check(waitFor([] { return !overlayShown(); }), "the second Home release hides the overlay");
    check(waitFor([] { return !mappedOnX(); }), "the X server no longer shows it");
    if (!QStandardPaths::findExecutable(QStringLiteral("import")).isEmpty())
        run(QStringLiteral("import"), {"-window", "root", screenshotDir + QStringLiteral("/overlay_hidden.png")});

    check(pressHome(), "xdotool key Home (3)");
    check(waitFor(overlayShown), "the third Home release shows it again");
    check(overlayWindow() == overlay, "the same overlay, not a new one");

    // Held down, Home changes nothing until it is released, and then toggles once.
    run(QStringLiteral("xdotool"), {"keydown", "Home"});
    QTest::qWait(1200);
    check(overlayShown(), "Home held down changes nothing");
    run(QStringLiteral("xdotool"), {"keyup", "Home"});
    check(waitFor([] { return !overlayShown(); }), "releasing the held Home hides it");
    QTest::qWait(300);
    check(!overlayShown(), "and only once");

    // Other keys pass by.
    run(QStringLiteral("xdotool"), {"key", "End"});
    QTest::qWait(200);
    check(!overlayShown(), "End does nothing");

    // Unhooking closes the overlay, tells the main program and releases the key.
    unhook(hook);
    check(waitFor([] { return overlayWindow() == nullptr; }), "unhook closes the overlay");
    check(!Mailbox::exists(QStringLiteral("gamein")), "its mailbox is gone");
    check(waitFor([&] { return !server.pipeOpen(); }), "the main program dropped the pipe on OverlayClosed");
    pressHome();
    QTest::qWait(300);
    check(overlayWindow() == nullptr, "after unhook Home shows nothing");
    check(plugin.unload(), "the plug-in unloads");
    // Loaded again, it hooks again.
    check(plugin.load(), "the plug-in loads again");
    gethook = reinterpret_cast<lumo::GetHookFunction>(plugin.resolve(GetHookSymbol));
    unhook = reinterpret_cast<lumo::UnhookFunction>(plugin.resolve(UnhookSymbol));
    hook = gethook ? gethook("hudlet.so") : nullptr;
    check(hook != nullptr, "a second gethook after unhook works");
    check(pressHome() && waitFor(overlayShown), "and Home shows a new overlay");
    if (unhook) unhook(hook);
    check(waitFor([] { return overlayWindow() == nullptr; }), "closed again");
    return failures == 0 ? 0 : 1;
}

}  // namespace

// --- the test CTest runs --------------------------------------------------------------------

class OverlayHomeKeyTest : public QObject {
    Q_OBJECT

private slots:
    void homeKeyTogglesTheOverlayUnderXvfb()
    {
        const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
        if (xvfbRun.isEmpty()) QSKIP("xvfb-run is not installed (Debian package xvfb): no X server to press Home on");
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is not installed: nothing can press Home");

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // A plain X11 session: run from a Wayland desktop, the hook would ask its portal instead.
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString screenshots = QCoreApplication::applicationDirPath() + QStringLiteral("/overlay_screens");
        child.start(xvfbRun, {"-a", "-s", "-screen 0 1024x768x24", QCoreApplication::applicationFilePath(),
                              QString::fromLatin1(UnderX11), screenshots});
        QVERIFY(child.waitForStarted());
        const bool finished = child.waitForFinished(90000);
        const QByteArray output = child.readAll();
        std::printf("%s", output.constData());
        if (!finished) child.kill();
        QVERIFY2(finished, "the run under Xvfb did not finish");
        QVERIFY2(!output.contains("FAIL"), "a check failed under Xvfb (see above)");
        QCOMPARE(child.exitCode(), 0);
        QVERIFY(output.contains("ok   the second Home release hides the overlay"));
    }
};

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], UnderX11) == 0) {
        QApplication app(argc, argv);
        return underX11(QString::fromLocal8Bit(argv[2]));
    }
    QApplication app(argc, argv);
    OverlayHomeKeyTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "overlay_home_key_test.moc"
