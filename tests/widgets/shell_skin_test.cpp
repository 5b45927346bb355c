// Skins offscreen: the style-sheet engine's six entries, start-up's calls, the "&Skin" pop-up
// filled from skin/skin.ini, a choice applying its skin, missing files, and the shipped skins.
#include "core/text/gbk.h"
#include "ui/hyperlink_label.h"
#include "shell/main_window_shell.h"
#include "shell/skin_library.h"
#include "shell_test_support.h"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

QByteArray gbk(const QString& text) { return QByteArray::fromStdString(utf8ToGbk(text.toStdString())); }

// The colour in the middle of a widget as it is drawn now.
QColor drawnColour(QWidget& widget)
{
    const QImage image = widget.grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

// A skin library that records its calls; entry 13 remembers what the pop-up offered.
class FakeSkins final : public SkinLibrary {
public:
    bool start(QApplication*, const QString& name, int a, int b) override
    {
        calls << QStringLiteral("1 %1 %2 %3").arg(name).arg(a).arg(b);
        return startResult;
    }
    bool loadSkin(const QString& path) override
    {
        calls << QStringLiteral("3 ") + path;
        return loadResult;
    }
    int skinWindow(QWidget*, const QString& windowClass) override
    {
        calls << QStringLiteral("5 ") + windowClass;
        return 1;
    }
    int attachWindow(QWidget*) override
    {
        calls << QStringLiteral("7");
        return 1;
    }
    int setWindowClass(const QString& windowClass) override
    {
        calls << QStringLiteral("8 ") + windowClass;
        return 1;
    }
    int trackPopupMenu(QMenu* menu, int flags, QPoint, QWidget* owner) override
    {
        calls << QStringLiteral("13 flags=%1").arg(flags);
        offered.clear();
        for (QAction* action : menu->actions()) offered << QStringLiteral("%1 %2").arg(action->data().toInt()).arg(action->text());
        popupOwner = owner;
        return 1;
    }
    QStringList calls;
    QStringList offered;
    QWidget* popupOwner = nullptr;
    bool startResult = true;
    bool loadResult = true;
};

// Catches Qt's complaints about style sheets while alive.
class StyleSheetWarnings {
public:
    StyleSheetWarnings() { previous_ = qInstallMessageHandler(&StyleSheetWarnings::handle); }
    ~StyleSheetWarnings() { qInstallMessageHandler(previous_); }
    static inline QStringList seen;

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        if (message.contains(QStringLiteral("style sheet"), Qt::CaseInsensitive) ||
            message.contains(QStringLiteral("stylesheet"), Qt::CaseInsensitive))
            seen << message;
    }
    QtMessageHandler previous_;
};

const QString ShippedSkins = QStringLiteral(LUMO_RUN_DIR "/skin");

}  // namespace

class ShellSkinTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchCurrentDir> cwd;
    std::unique_ptr<ShellBoxes> boxes;
    RecordingShellOwner owner;

private slots:
    void init()
    {
        cwd = std::make_unique<ScratchCurrentDir>();
        boxes = std::make_unique<ShellBoxes>();
    }
    void cleanup()
    {
        qApp->setStyleSheet(QString());
        boxes.reset();
        cwd.reset();
    }

    void engineAppliesASkinToTheWholeApplication()
    {
        StyleSheetSkins engine;
        cwd->write(QStringLiteral("skin/probe.smf"), "QPushButton#probe { background: #123456; border: none; }");
        QVERIFY(!engine.loadSkin(QStringLiteral("skin/probe.smf")));  // not started
        QVERIFY(engine.start(qApp, QStringLiteral("lumo"), 0, 0));
        QVERIFY(!engine.start(nullptr, QStringLiteral("lumo"), 0, 0));

        QPushButton probe;
        probe.setObjectName(QStringLiteral("probe"));
        probe.resize(60, 24);
        probe.show();
        QVERIFY(drawnColour(probe) != QColor(0x12, 0x34, 0x56));
        QVERIFY(engine.loadSkin(QStringLiteral("skin/probe.smf")));
        QCOMPARE(drawnColour(probe), QColor(0x12, 0x34, 0x56));
        QCOMPARE(engine.currentSkin(), QStringLiteral("skin/probe.smf"));

        // Paths written with backslashes find the same file.
        cwd->write(QStringLiteral("skin/other.smf"), "QPushButton#probe { background: #00ff00; border: none; }");
        QVERIFY(engine.loadSkin(QStringLiteral("skin\\other.smf")));
        QCOMPARE(drawnColour(probe), QColor(0, 255, 0));
    }

    void unloadableSkinsLeaveTheCurrentOne()
    {
        StyleSheetSkins engine;
        engine.start(qApp, QStringLiteral("lumo"), 0, 0);
        cwd->write(QStringLiteral("skin/good.smf"), "QPushButton { color: red; }");
        QVERIFY(engine.loadSkin(QStringLiteral("skin/good.smf")));
        const QString applied = qApp->styleSheet();

        QVERIFY(!engine.loadSkin(QStringLiteral("skin/missing.smf")));
        QVERIFY(!engine.loadSkin(QStringLiteral("skin")));  // a directory
        QVERIFY(!engine.loadSkin(QString()));
        cwd->write(QStringLiteral("skin/huge.smf"), QByteArray(StyleSheetSkins::MaxSkinBytes + 1, ' '));
        QVERIFY(!engine.loadSkin(QStringLiteral("skin/huge.smf")));
        QCOMPARE(qApp->styleSheet(), applied);
        QCOMPARE(engine.currentSkin(), QStringLiteral("skin/good.smf"));
    }

    void skinWindowLetsASkinAddressTheMainWindow()
    {
        StyleSheetSkins engine;
        engine.start(qApp, QStringLiteral("lumo"), 0, 0);
        cwd->write(QStringLiteral("skin/main.smf"),
                   "QPushButton { background: #0000ff; border: none; }\n"
                   "QDialog[skinClass=\"Dialog\"] QPushButton { background: #00ff00; border: none; }\n");
        QDialog main, other;
        auto* mainButton = new QPushButton(&main);
        auto* otherButton = new QPushButton(&other);
        mainButton->resize(60, 24);
        otherButton->resize(60, 24);
        QCOMPARE(engine.attachWindow(&main), 1);
        QVERIFY(engine.loadSkin(QStringLiteral("skin/main.smf")));
        main.show();
        other.show();
        QCOMPARE(drawnColour(*mainButton), QColor(0, 0, 255));
        QCOMPARE(engine.skinWindow(&main, QStringLiteral("Dialog")), 1);
        QCOMPARE(drawnColour(*mainButton), QColor(0, 255, 0));
        QCOMPARE(drawnColour(*otherButton), QColor(0, 0, 255));
        QCOMPARE(engine.skinWindow(nullptr, QStringLiteral("Dialog")), 0);
        QCOMPARE(engine.setWindowClass(QStringLiteral("Dialog")), 1);
        QCOMPARE(engine.windowClass(), QStringLiteral("Dialog"));
    }

    void startUpCallsStartThenTheDefaultSkinThenTheWindowClass()
    {
        FakeSkins skins;
        QVERIFY(startSkins(qApp, skins));
        QCOMPARE(skins.calls, (QStringList{"1 lumo 0 0", "3 skin/Zarive.smf", "8 Dialog"}));

        skins.calls.clear();
        skins.loadResult = false;
        QVERIFY(!startSkins(qApp, skins));
        QCOMPARE(skins.calls.size(), 3);

        skins.calls.clear();
        skins.startResult = false;
        QVERIFY(!startSkins(qApp, skins));
        QCOMPARE(skins.calls, (QStringList{"1 lumo 0 0", "8 Dialog"}));  // no skin without a start
    }

    void withoutSkinFilesTheProgramRunsUnskinnedAndSaysNothing()
    {
        StyleSheetSkins engine;
        QVERIFY(!startSkins(qApp, engine));
        QVERIFY(qApp->styleSheet().isEmpty());
        QVERIFY(boxes->texts.isEmpty());

        // The "&Skin" item then does nothing.
        FakeSkins skins;
        QDialog window;
        cwd->write(QStringLiteral("skin/skin.ini"), "[skin]\nBlue=blue.smf\n");
        MainWindowShell shell(window, owner, false, &skins);
        shell.createWindowParts();
        shell.menuBar()->actions().at(1)->trigger();
        QCOMPARE(skins.calls, (QStringList{"7", "5 Dialog"}));
        QVERIFY(shell.skinPopup()->actions().isEmpty());
    }

    void skinMenuOffersTheListAndAChoiceLoadsIt()
    {
        cwd->write(QStringLiteral("skin/skin.ini"),
                   gbk(QStringLiteral("[skin]\nZarive 暖沙=Zarive.smf\nBlue=blue.smf\n")));
        FakeSkins skins;
        QDialog window;
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        skins.calls.clear();

        shell.menuBar()->actions().at(1)->trigger();  // "&Skin"
        QCOMPARE(skins.offered, (QStringList{"30000 Zarive 暖沙", "30001 Blue"}));
        QCOMPARE(skins.calls, QStringList{"13 flags=0"});
        QCOMPARE(skins.popupOwner, &window);
        QVERIFY(shell.command(30001));
        QCOMPARE(skins.calls.last(), QStringLiteral("3 skin/blue.smf"));

        // Rebuilt from the file on every opening.
        cwd->write(QStringLiteral("skin/skin.ini"), "[skin]\nOnly=only.smf\n");
        shell.command(32774);
        QCOMPARE(skins.offered, QStringList{"30000 Only"});
        QCOMPARE(shell.skinPopup()->actions().size(), 1);
        shell.command(30001);  // no longer in the table: nothing is loaded
        QCOMPARE(skins.calls.last(), QStringLiteral("13 flags=0"));

        // No list: the pop-up opens empty.
        QFile::remove(cwd->filePath(QStringLiteral("skin/skin.ini")));
        shell.command(32774);
        QVERIFY(skins.offered.isEmpty());
        QVERIFY(boxes->texts.isEmpty());
    }

    void aChosenSkinThatCannotLoadIsReported()
    {
        cwd->write(QStringLiteral("skin/skin.ini"), "[skin]\nGone=gone.smf\n");
        FakeSkins skins;
        skins.loadResult = false;
        QDialog window;
        MainWindowShell shell(window, owner, true, &skins);
        shell.createWindowParts();
        shell.command(32774);
        shell.command(30000);
        QCOMPARE(boxes->texts, QStringList{"无法加载皮肤文件 skin/gone.smf。"});
        QCOMPARE(boxes->captions, QStringList{"LUMO"});
    }

    void theRealPopUpDeliversTheChosenSkin()
    {
        cwd->write(QStringLiteral("skin/skin.ini"), "[skin]\nFirst=first.smf\nSecond=second.smf\n");
        cwd->write(QStringLiteral("skin/first.smf"), "QDialog { background: #111111; }");
        cwd->write(QStringLiteral("skin/second.smf"), "QDialog { background: #222222; }");
        StyleSheetSkins engine;
        engine.start(qApp, QStringLiteral("lumo"), 0, 0);
        QDialog window;
        MainWindowShell shell(window, owner, true, &engine);
        shell.createWindowParts();
        window.show();

        // Pick the second item with the keyboard once the pop-up is up.
        QTimer::singleShot(50, this, [] {
            QWidget* popup = QApplication::activePopupWidget();
            QVERIFY(popup);
            QTest::keyClick(popup, Qt::Key_Down);
            QTest::keyClick(popup, Qt::Key_Down);
            QTest::keyClick(popup, Qt::Key_Return);
        });
        QTimer::singleShot(5000, this, [] {
            if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
        });
        shell.command(32774);
        QTRY_COMPARE(engine.currentSkin(), QStringLiteral("skin/second.smf"));
        QCOMPARE(qApp->styleSheet(), QStringLiteral("QDialog { background: #222222; }"));
    }

    void shippedSkinsAreListedParseAndStyleTheWindows()
    {
        const auto entries = readSkinList((ShippedSkins + QStringLiteral("/skin.ini")).toStdString());
        QVERIFY(entries.size() >= 3);
        QCOMPARE(entries.front().file, std::string("Zarive.smf"));
        QVERIFY(QFile::exists(QStringLiteral(LUMO_RUN_DIR "/") + QString::fromUtf8(DefaultSkinPath)));

        StyleSheetSkins engine;
        engine.start(qApp, QStringLiteral("lumo"), 0, 0);
        QDialog window;
        window.setObjectName(QStringLiteral("main"));
        auto* button = new QPushButton(QStringLiteral("连接"), &window);
        button->setObjectName(QStringLiteral("connectButton"));
        button->setGeometry(10, 10, 60, 24);
        auto* edit = new QLineEdit(&window);
        edit->setGeometry(80, 10, 100, 22);
        auto* list = new QTreeWidget(&window);
        list->setObjectName(QStringLiteral("memberList"));
        list->setGeometry(10, 40, 300, 100);
        list->setStyleSheet(QStringLiteral("QTreeWidget { background-color: #F0F0F0; }"));
        auto* link = new HyperLinkLabel(QStringLiteral("访问站点"), &window);
        link->setObjectName(QStringLiteral("siteLink"));
        link->setGeometry(250, 150, 60, 16);
        auto* combo = new QComboBox(&window);
        combo->addItem(QStringLiteral("本机目录"));
        combo->setGeometry(10, 150, 100, 22);
        new QLabel(QStringLiteral("你的名字："), &window);
        window.resize(320, 180);
        engine.attachWindow(&window);
        window.show();
        const QColor plainButton = drawnColour(*button);

        StyleSheetWarnings warnings;
        QSet<QRgb> buttonColours;
        for (const SkinEntry& entry : entries) {
            const QString path = ShippedSkins + QLatin1Char('/') + QString::fromStdString(gbkToUtf8(entry.file));
            QVERIFY2(engine.loadSkin(path), qPrintable(path));
            engine.skinWindow(&window, QStringLiteral("Dialog"));
            QCoreApplication::processEvents();
            const QColor skinned = drawnColour(*button);
            QVERIFY2(skinned != plainButton, qPrintable(path));
            buttonColours.insert(skinned.rgb());
            // The site link keeps its own link colour under every skin.
            QCOMPARE(link->palette().color(QPalette::WindowText), HyperLinkLabel::LinkColour);
            // The member list keeps its light background.
            const QImage image = list->grab().toImage();
            QCOMPARE(image.pixelColor(image.width() / 2, image.height() / 2), QColor(0xF0, 0xF0, 0xF0));
        }
        QVERIFY2(warnings.seen.isEmpty(), qPrintable(warnings.seen.join(QLatin1Char('\n'))));
        QCOMPARE(buttonColours.size(), static_cast<int>(entries.size()));  // each skin looks its own
    }
};

QTEST_MAIN(ShellSkinTest)
#include "shell_skin_test.moc"
