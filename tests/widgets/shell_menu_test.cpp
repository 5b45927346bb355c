// The main window's menu bar offscreen: its items and command ids, where each command goes, the
// order of window creation against the skin library, the exit command and the About box.
#include "shell/about_dialog.h"
#include "shell/main_window_shell.h"
#include "shell/program_language.h"
#include "shell/skin_library.h"
#include "shell_test_support.h"

#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

class RecordingCommands final : public ShellCommands {
public:
    void exitProgram() override { calls << QStringLiteral("exit"); }
    void showSkinMenu() override { calls << QStringLiteral("skinMenu"); }
    void chooseSkin(int entry) override { calls << QStringLiteral("skin %1").arg(entry); }
    void openForum() override { calls << QStringLiteral("forum"); }
    void togglePlugin(int item) override { calls << QStringLiteral("plugin %1").arg(item); }
    void showAbout() override { calls << QStringLiteral("about"); }
    void openWebSite() override { calls << QStringLiteral("website"); }
    void runUpdate() override { calls << QStringLiteral("update"); }
    void chooseLanguage(int setting) override { calls << QStringLiteral("language %1").arg(setting); }
    QStringList calls;
};

// A skin library that records its calls and what the window looked like at each.
class RecordingSkins final : public SkinLibrary {
public:
    bool start(QApplication*, const QString& name, int a, int b) override
    {
        calls << QStringLiteral("1 %1 %2 %3").arg(name).arg(a).arg(b);
        return true;
    }
    bool loadSkin(const QString& path) override
    {
        calls << QStringLiteral("3 ") + path;
        return true;
    }
    int skinWindow(QWidget* window, const QString& windowClass) override
    {
        calls << QStringLiteral("5 %1 menuBar=%2 skinPopup=%3")
                     .arg(windowClass)
                     .arg(window->findChild<QMenuBar*>() != nullptr)
                     .arg(window->findChild<QMenu*>(QStringLiteral("skinPopup")) != nullptr);
        return 1;
    }
    int attachWindow(QWidget* window) override
    {
        calls << QStringLiteral("7 menuBar=%1").arg(window->findChild<QMenuBar*>() != nullptr);
        return 1;
    }
    int setWindowClass(const QString& windowClass) override
    {
        calls << QStringLiteral("8 ") + windowClass;
        return 1;
    }
    int trackPopupMenu(QMenu*, int, QPoint, QWidget*) override
    {
        calls << QStringLiteral("13");
        return 1;
    }
    QStringList calls;
};

class CountingWindow final : public QDialog {
public:
    int closes = 0;

protected:
    void closeEvent(QCloseEvent* event) override
    {
        ++closes;
        QDialog::closeEvent(event);
    }
};

QStringList texts(const QList<QAction*>& actions)
{
    QStringList out;
    for (QAction* action : actions) out << (action->isSeparator() ? QStringLiteral("--") : action->text());
    return out;
}

QList<int> ids(const QList<QAction*>& actions)
{
    QList<int> out;
    for (QAction* action : actions) out << action->data().toInt();
    return out;
}

}  // namespace

class ShellMenuTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchCurrentDir> cwd;
    std::unique_ptr<ShellBoxes> boxes;
    RecordingShellOwner owner;
    RecordingSkins skins;
    QTemporaryDir settingsHome;  // the settings of this test, never the player's own

    QAction* languageItem(MainWindowShell& shell, int n) { return shell.menuBar()->actions().at(5)->menu()->actions().at(n); }

private slots:
    void initTestCase()
    {
        QVERIFY(settingsHome.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
        QCoreApplication::setOrganizationName(QStringLiteral("lumo"));
        QCoreApplication::setApplicationName(QStringLiteral("LUMO"));
    }
    void init()
    {
        cwd = std::make_unique<ScratchCurrentDir>();
        boxes = std::make_unique<ShellBoxes>();
        skins.calls.clear();
    }
    void cleanup()
    {
        boxes.reset();
        cwd.reset();
    }

    void menuBarItemsAndIds()
    {
        QDialog window;
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        QMenuBar* bar = shell.menuBar();
        QVERIFY(bar);
        const QList<QAction*> top = bar->actions();
        QCOMPARE(texts(top), (QStringList{"&File", "&Skin", "&game", "&About", "&Help", "&Language"}));
        // "&Skin" and "&About" are commands of the bar itself, the others pop-ups.
        QVERIFY(top[0]->menu() && !top[1]->menu() && top[2]->menu() && !top[3]->menu() && top[4]->menu());
        QCOMPARE(top[1]->data().toInt(), 32774);
        QCOMPARE(top[3]->data().toInt(), 57664);
        QCOMPARE(texts(top[0]->menu()->actions()), QStringList{"退出"});
        QCOMPARE(ids(top[0]->menu()->actions()), QList<int>{57665});
        QCOMPARE(shell.gameMenu(), top[2]->menu());
        QCOMPARE(texts(top[2]->menu()->actions()), (QStringList{"&bbs", "--"}));  // no plugin directory
        QCOMPARE(top[2]->menu()->actions().at(0)->data().toInt(), 32780);
        QCOMPARE(texts(top[4]->menu()->actions()), (QStringList{"&WebSite", "&在线升级"}));
        QCOMPARE(ids(top[4]->menu()->actions()), (QList<int>{32776, 32778}));
        // Each language under its own name; the tick shows the remembered choice (none yet).
        QCOMPARE(texts(top[5]->menu()->actions()), (QStringList{"跟随系统", "中文", "English"}));
        QCOMPARE(ids(top[5]->menu()->actions()), (QList<int>{32790, 32791, 32792}));
        QVERIFY(top[5]->menu()->actions().at(0)->isChecked());
        QVERIFY(shell.skinPopup());
        QVERIFY(shell.skinPopup()->actions().isEmpty());
    }

    void everyItemRoutesToItsHandler()
    {
        QWidget parent;
        RecordingCommands commands;
        QMenuBar* bar = buildMenuBar(&parent, [&commands](int id) { QVERIFY(dispatchCommand(commands, id)); });
        for (QAction* action : bar->actions()) {
            if (action->menu()) {
                for (QAction* item : action->menu()->actions())
                    if (!item->isSeparator()) item->trigger();
            } else {
                action->trigger();
            }
        }
        QCOMPARE(commands.calls,
                 (QStringList{"exit", "skinMenu", "forum", "about", "website", "update", "language 0", "language 1", "language 2"}));

        commands.calls.clear();
        QVERIFY(dispatchCommand(commands, 30000));
        QVERIFY(dispatchCommand(commands, 30090));
        QVERIFY(dispatchCommand(commands, 30100));
        QVERIFY(dispatchCommand(commands, 30190));
        QVERIFY(!dispatchCommand(commands, 30095));
        QVERIFY(!dispatchCommand(commands, 1));
        QCOMPARE(commands.calls, (QStringList{"skin 0", "skin 90", "plugin 0", "plugin 90"}));
    }

    void windowCreationCallsTheSkinLibraryAroundTheMenus()
    {
        QDialog window;
        MainWindowShell shell(window, owner, true, &skins);
        QVERIFY(skins.calls.isEmpty());  // nothing happens before window creation
        shell.createWindowParts();
        QCOMPARE(skins.calls, (QStringList{"7 menuBar=0", "5 Dialog menuBar=1 skinPopup=1"}));
        shell.createWindowParts();  // once only
        QCOMPARE(skins.calls.size(), 2);
    }

    void theMenuBarSitsAboveTheControls()
    {
        QDialog window;
        auto* label = new QLabel(QStringLiteral("你的名字："), &window);
        label->setGeometry(7, 0, 80, 16);
        window.setFixedSize(320, 200);
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        window.show();
        const int barHeight = shell.menuBar()->height();
        QVERIFY(barHeight > 0);
        QCOMPARE(shell.menuBar()->geometry(), QRect(0, 0, 320, barHeight));
        QCOMPARE(label->pos(), QPoint(7, barHeight));
        QCOMPARE(window.size(), QSize(320, 200 + barHeight));
        QCOMPARE(window.minimumSize(), window.maximumSize());  // still fixed
    }

    // A language picked in the menu is remembered for the next start and said so; the tick
    // follows the remembered choice, in a new window too.
    void languageChoiceIsRememberedAndTicked()
    {
        QDialog window;
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        languageItem(shell, 2)->trigger();
        QCOMPARE(QSettings().value(QStringLiteral("language")).toString(), QStringLiteral("en"));
        QCOMPARE(savedLanguageSetting(), LanguageSetting::English);
        QCOMPARE(boxes->texts, QStringList{QStringLiteral("语言设置已保存，LUMO 下次启动时生效。")});
        QVERIFY(!languageItem(shell, 0)->isChecked() && !languageItem(shell, 1)->isChecked() && languageItem(shell, 2)->isChecked());

        QDialog next;
        MainWindowShell again(next, owner, true, &skins);
        again.createWindowParts();
        QVERIFY(languageItem(again, 2)->isChecked());
        languageItem(again, 1)->trigger();
        QCOMPARE(savedLanguageSetting(), LanguageSetting::Chinese);
        QVERIFY(languageItem(again, 1)->isChecked() && !languageItem(again, 2)->isChecked());
        languageItem(again, 0)->trigger();
        QCOMPARE(QSettings().value(QStringLiteral("language")).toString(), QStringLiteral("system"));
        QCOMPARE(savedLanguageSetting(), LanguageSetting::System);
    }

    // A settings file that cannot be written is told, and the tick stays on what is remembered.
    void unwritableLanguageSettingIsTold()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("lumo-unwritable"));
        const QString file = QSettings().fileName();
        QVERIFY(QDir().mkpath(file));  // a folder where the file would go: not even root writes it
        QDialog window;
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        languageItem(shell, 2)->trigger();
        QCoreApplication::setOrganizationName(QStringLiteral("lumo"));
        QCOMPARE(boxes->texts, QStringList{QStringLiteral("无法保存语言设置：%1 无法写入。").arg(file)});
        QVERIFY(languageItem(shell, 0)->isChecked() && !languageItem(shell, 2)->isChecked());
    }

    // A settings file edited or damaged by hand never picks a language: the locale decides.
    void damagedLanguageSettingMeansNoChoice()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("lumo-damaged"));
        const QString file = QSettings().fileName();
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        const QList<QByteArray> contents = {
            "[General]\nlanguage=EN\n",
            "[General]\nlanguage=en,zh\n",                              // a list, not a text
            "[General]\nlanguage=@ByteArray(en)\n",                     // not a text either
            "[General]\nlanguage=" + QByteArray(100000, 'e') + "\n",
            QByteArray("\x00\xff\xfe[General]\nlanguage\x00=en\n", 22),
        };
        for (const QByteArray& content : contents) {
            QFile settingsFile(file);
            QVERIFY(settingsFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
            settingsFile.write(content);
            settingsFile.close();
            QVERIFY2(savedLanguageSetting() == LanguageSetting::System, content.left(40).toHex().constData());
        }
        QFile settingsFile(file);
        QVERIFY(settingsFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // (of another size than the file before: QSettings takes a file of the same size and time as unchanged)
        settingsFile.write("[General]\nlanguage=en\n\n");
        settingsFile.close();
        QCOMPARE(savedLanguageSetting(), LanguageSetting::English);  // the file is read at all
        QCoreApplication::setOrganizationName(QStringLiteral("lumo"));
    }

    void exitClosesTheWindowAsItsCloseBoxDoes()
    {
        CountingWindow window;
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        window.show();
        QAction* exit = shell.menuBar()->actions().at(0)->menu()->actions().at(0);
        exit->trigger();
        QCOMPARE(window.closes, 1);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Rejected));
    }

    void aboutBoxShowsCaptionVersionAndNotice()
    {
        QDialog window;
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        window.show();
        QString caption, product, notice, licence;
        bool okIsDefault = false;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
            QVERIFY(box);
            caption = box->windowTitle();
            product = box->findChild<QLabel*>(QStringLiteral("productText"))->text();
            notice = box->findChild<QLabel*>(QStringLiteral("noticeText"))->text();
            licence = box->findChild<QLabel*>(QStringLiteral("licenceText"))->text();
            auto* ok = box->findChild<QPushButton*>(QStringLiteral("okButton"));
            okIsDefault = ok->isDefault();
            QTest::mouseClick(ok, Qt::LeftButton);
        });
        // Should the box not be found, it is closed all the same so the test cannot hang.
        QTimer::singleShot(5000, this, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        });
        shell.menuBar()->actions().at(3)->trigger();  // returns once OK closed the box
        QCOMPARE(caption, QStringLiteral("关于LUMO "));
        QCOMPARE(product, QStringLiteral("LUMO 1.3beta 版"));  // the Chinese texts, with no translation installed
        QVERIFY(notice.contains(QStringLiteral("2004")));
        QVERIFY(licence.contains(QStringLiteral("GNU 通用公共许可证第 3 版")) && licence.contains(QStringLiteral("LICENSE")));
        QVERIFY(okIsDefault);
        QVERIFY(!QApplication::activeModalWidget());
    }
};

QTEST_MAIN(ShellMenuTest)
#include "shell_menu_test.moc"
