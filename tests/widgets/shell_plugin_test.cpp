// The plug-in loader and the "&game" menu against small test plug-ins: the scan's order, the
// toggle, gethook's argument, unhook with the same handle, the bounded wait for the overlay's
// window, unloading at closing, broken libraries and more plug-ins than slots.
#include "shell/main_window_shell.h"
#include "shell/plugin_loader.h"
#include "shell_test_support.h"

#include <QAction>
#include <QDialog>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace lumo;
using namespace lumo::test;

namespace {

const QString PluginDir = QStringLiteral(LUMO_TEST_PLUGIN_DIR);

QString testLibrary(const char* variant) { return PluginDir + QLatin1Char('/') + QLatin1String(variant) + QStringLiteral(".so"); }

// Whether the library file at path is mapped into this process now.
bool mapped(const QString& path)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly)) return false;
    return maps.readAll().contains(QFileInfo(path).absoluteFilePath().toUtf8());
}

QStringList texts(const QList<QAction*>& actions)
{
    QStringList out;
    for (QAction* action : actions) out << (action->isSeparator() ? QStringLiteral("--") : action->text());
    return out;
}

}  // namespace

class ShellPluginTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchCurrentDir> cwd;
    std::unique_ptr<ShellBoxes> boxes;
    std::unique_ptr<RecordingShellOwner> owner;
    std::unique_ptr<QDialog> window;
    std::unique_ptr<MainWindowShell> shell;
    QString logPath;

    QString install(const char* variant, const QString& name)
    {
        const QString target = cwd->filePath(QStringLiteral("plugin/") + name);
        QDir().mkpath(QFileInfo(target).path());
        QFile::remove(target);
        [&] { QVERIFY2(QFile::copy(testLibrary(variant), target), qPrintable(target)); }();
        return target;
    }
    void createShell()
    {
        window = std::make_unique<QDialog>();
        window->setFixedSize(300, 200);
        shell = std::make_unique<MainWindowShell>(*window, *owner, false);
        shell->createWindowParts();
        shell->plugins().setWaitLimits({2000, 5});
    }
    QList<QAction*> pluginActions() const { return shell->gameMenu()->actions().mid(2); }
    QStringList log() const { return readLines(logPath); }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(testLibrary("recording")));
        logPath = QDir::temp().filePath(QStringLiteral("shell_plugin_test_%1.log").arg(QCoreApplication::applicationPid()));
        qputenv("LUMO_TEST_PLUGIN_LOG", logPath.toUtf8());
    }
    void cleanupTestCase() { QFile::remove(logPath); }
    void init()
    {
        QFile::remove(logPath);
        cwd = std::make_unique<ScratchCurrentDir>();
        boxes = std::make_unique<ShellBoxes>();
        owner = std::make_unique<RecordingShellOwner>();
    }
    void cleanup()
    {
        if (shell) shell->closing();
        shell.reset();
        window.reset();
        owner.reset();
        boxes.reset();
        cwd.reset();
    }

    void scanListsLibrariesInNameOrderAfterTheSeparator()
    {
        install("recording", QStringLiteral("hudlet.so"));
        install("recording", QStringLiteral("b.so"));
        install("recording", QStringLiteral("a.so"));
        install("recording", QStringLiteral("Z.SO"));
        cwd->write(QStringLiteral("plugin/readme.txt"), "not a plug-in");
        createShell();
        QCOMPARE(texts(shell->gameMenu()->actions()),
                 (QStringList{"&bbs", "--", "Z", "a", "b", "hudlet"}));
        QList<int> ids;
        for (QAction* action : pluginActions()) {
            ids << action->data().toInt();
            QVERIFY(action->isCheckable());
            QVERIFY(!action->isChecked());
            QVERIFY(action->isEnabled());
        }
        QCOMPARE(ids, (QList<int>{30100, 30101, 30102, 30103}));
        QVERIFY(log().isEmpty());  // nothing is loaded by the scan
        // The item with the upper-case suffix loads its own file.
        QVERIFY(shell->command(30100));
        QCOMPARE(log(), QStringList{"gethook Z.SO"});
    }

    void tickingLoadsAndUntickingClosesTheOverlayAndUnloads()
    {
        const QString path = install("recording", QStringLiteral("hudlet.so"));
        createShell();
        QAction* item = pluginActions().at(0);

        item->trigger();  // as the player's click does
        QVERIFY(item->isChecked());
        QVERIFY(shell->plugins().isOn(0));
        QVERIFY(shell->plugins().hookOf(0) != nullptr);
        QVERIFY(mapped(path));
        QCOMPARE(log(), QStringList{"gethook hudlet.so"});
        QVERIFY(owner->calls.isEmpty());  // no pipe was open

        item->trigger();
        QVERIFY(!item->isChecked());
        QVERIFY(!shell->plugins().isOn(0));
        QCOMPARE(owner->calls, QStringList{"closeOverlay"});
        QCOMPARE(log(), (QStringList{"gethook hudlet.so", "unhook hudlet.so same"}));
        QVERIFY(!mapped(path));

        // And on again: loaded afresh.
        shell->command(30100);
        QVERIFY(item->isChecked());
        QVERIFY(mapped(path));
        QCOMPARE(log().size(), 3);
        QVERIFY(boxes->texts.isEmpty());
    }

    void anOpenPipeIsClosedBeforeLoading()
    {
        install("recording", QStringLiteral("a.so"));
        install("recording", QStringLiteral("b.so"));
        createShell();
        shell->command(30100);
        owner->pipeOpen = true;  // a's overlay connected meanwhile
        shell->command(30101);
        QCOMPARE(owner->calls, QStringList{"closeOverlayPipe"});
        QVERIFY(shell->plugins().isOn(0));
        QVERIFY(shell->plugins().isOn(1));
    }

    void unloadingWaitsForTheOverlayWindowToGo()
    {
        install("recording", QStringLiteral("hudlet.so"));
        createShell();
        shell->command(30100);

        // An overlay in this process: asked to close, its window goes a little later, which
        // needs this process's events to keep running during the wait.
        QWidget overlay;
        overlay.setWindowTitle(QStringLiteral("gamein"));
        overlay.show();
        owner->exists = [&overlay](const QString& title) { return title == overlay.windowTitle() && overlay.isVisible(); };
        owner->onCloseOverlay = [&overlay] { QTimer::singleShot(150, &overlay, &QWidget::close); };
        QElapsedTimer clock;
        clock.start();
        shell->command(30100);
        const qint64 waited = clock.elapsed();

        QVERIFY(!overlay.isVisible());
        QVERIFY2(waited >= 100, qPrintable(QString::number(waited)));
        QVERIFY2(waited < 1500, qPrintable(QString::number(waited)));
        QCOMPARE(owner->calls, QStringList{"closeOverlay"});
        QCOMPARE(log().last(), QStringLiteral("unhook hudlet.so same"));
        // Looked up every few milliseconds, not hundreds of thousands of times.
        QVERIFY2(owner->lookups < 200, qPrintable(QString::number(owner->lookups)));
    }

    void theWaitIsBoundedAndTheHookIsRemovedAnyway()
    {
        const QString path = install("recording", QStringLiteral("hudlet.so"));
        createShell();
        shell->plugins().setWaitLimits({300, 5});
        shell->command(30100);
        owner->exists = [](const QString& title) { return title == QStringLiteral("gamein"); };  // never goes
        QElapsedTimer clock;
        clock.start();
        shell->command(30100);
        const qint64 waited = clock.elapsed();
        QVERIFY2(waited >= 300 && waited < 1500, qPrintable(QString::number(waited)));
        QVERIFY2(owner->lookups >= 10 && owner->lookups <= 80, qPrintable(QString::number(owner->lookups)));
        QCOMPARE(log().last(), QStringLiteral("unhook hudlet.so same"));
        QVERIFY(!shell->plugins().isOn(0));
        // The window still runs the library's code, so the code stays; ticking again hooks anew.
        QVERIFY(mapped(path));
        owner->exists = nullptr;
        shell->command(30100);
        QVERIFY(shell->plugins().isOn(0));
        QCOMPARE(log().last(), QStringLiteral("gethook hudlet.so"));
    }

    void closingUnloadsEveryPluginThatIsOn()
    {
        const QString a = install("recording", QStringLiteral("a.so"));
        const QString b = install("recording", QStringLiteral("b.so"));
        const QString c = install("recording", QStringLiteral("c.so"));
        createShell();
        shell->command(30100);
        shell->command(30102);
        QCOMPARE(log(), (QStringList{"gethook a.so", "gethook c.so"}));
        shell->closing();
        QCOMPARE(log(), (QStringList{"gethook a.so", "gethook c.so", "unhook a.so same", "unhook c.so same"}));
        QVERIFY(!mapped(a) && !mapped(b) && !mapped(c));
        for (QAction* action : pluginActions()) QVERIFY(!action->isChecked());
        shell->closing();  // a second closing finds nothing to do
        QCOMPARE(log().size(), 4);
    }

    void brokenLibrariesStayOffAndThePlayerIsTold()
    {
        cwd->write(QStringLiteral("plugin/a-text.so"), "this is not a shared library\n");
        install("nogethook", QStringLiteral("b-nogethook.so"));
        const QString noUnhook = install("nounhook", QStringLiteral("c-nounhook.so"));
        const QString nullHook = install("nullhook", QStringLiteral("d-nullhook.so"));
        createShell();
        const QList<QAction*> items = pluginActions();
        QCOMPARE(items.size(), 4);
        for (QAction* item : items) {
            item->trigger();
            QVERIFY2(!item->isChecked(), qPrintable(item->text()));
        }
        for (int n = 0; n < 4; ++n) QVERIFY(!shell->plugins().isOn(n));
        QCOMPARE(boxes->texts.size(), 4);
        QVERIFY(boxes->texts[0].startsWith(QStringLiteral("插件 a-text 无法加载：\n")));
        QCOMPARE(boxes->texts[1], QStringLiteral("插件 b-nogethook 不是 LUMO 插件：缺少 gethook 或 unhook。"));
        QCOMPARE(boxes->texts[2], QStringLiteral("插件 c-nounhook 不是 LUMO 插件：缺少 gethook 或 unhook。"));
        QCOMPARE(boxes->texts[3], QStringLiteral("插件 d-nullhook 未能启动：gethook 失败。"));
        QCOMPARE(boxes->captions, QStringList(4, QStringLiteral("LUMO")));
        // A library without unhook is never hooked; a failed gethook leaves nothing loaded.
        QCOMPARE(log(), QStringList{"gethook d-nullhook.so"});
        QVERIFY(!mapped(noUnhook));
        QVERIFY(!mapped(nullHook));
        // Unticking what never went on does not touch the overlay.
        QVERIFY(owner->calls.isEmpty());
    }

    // The overlay on a native Wayland window refuses and says why: the box carries its reason,
    // bounded and without control characters, or the plain text when it gives none.
    void aPluginThatRefusesSaysWhy()
    {
        install("refusing", QStringLiteral("e-refusing.so"));
        createShell();
        QAction* item = pluginActions().value(0);
        QVERIFY(item);
        const struct {
            QByteArray problem;
            QString box;
        } cases[] = {
            {"需要\a X11\r\n 会话。", QStringLiteral("插件 e-refusing 未能启动：需要 X11\n 会话。")},
            {"", QStringLiteral("插件 e-refusing 未能启动：gethook 失败。")},
            {QByteArray(5000, 'x'), QStringLiteral("插件 e-refusing 未能启动：") + QString(MaxHookProblemBytes, QLatin1Char('x'))},
        };
        for (const auto& c : cases) {
            qputenv("LUMO_TEST_PLUGIN_PROBLEM", c.problem);
            if (c.problem.isEmpty()) qunsetenv("LUMO_TEST_PLUGIN_PROBLEM");
            boxes->texts.clear();
            item->trigger();
            QVERIFY(!item->isChecked());
            QCOMPARE(boxes->texts, QStringList{c.box});
        }
        qunsetenv("LUMO_TEST_PLUGIN_PROBLEM");
    }

    void pluginsBeyondTheSlotsAreListedButCannotBeSwitchedOn()
    {
        for (int i = 0; i < 40; ++i) install("recording", QStringLiteral("p%1.so").arg(i, 2, 10, QLatin1Char('0')));
        createShell();
        const QList<QAction*> items = pluginActions();
        QCOMPARE(items.size(), 40);
        QCOMPARE(items.at(39)->data().toInt(), 30139);
        for (int n = 0; n < 40; ++n) QCOMPARE(items.at(n)->isEnabled(), n < PluginSlots);

        shell->command(30135);  // no slot: nothing happens
        QVERIFY(!items.at(35)->isChecked());
        QVERIFY(log().isEmpty());
        shell->command(30131);  // the last slot works
        QVERIFY(items.at(31)->isChecked());
        QCOMPARE(log(), QStringList{"gethook p31.so"});
        shell->command(30150);  // beyond the listed items
        QCOMPARE(log().size(), 1);
    }
};

QTEST_MAIN(ShellPluginTest)
#include "shell_plugin_test.moc"
