// The windows in English: every window the program opens (the main window with its menus and
// member list, the group browser, the overlay, About, the call prompt, message boxes) is walked
// for visible texts, tooltips and menu items, and none may still hold Chinese, apart from the
// names the test itself gives members and groups. Every text of the translation file is checked
// both ways: translated in English, unchanged without a translation.
#include "app/call_prompt_dialog.h"
#include "app/texts.h"
#include "dialog_harness.h"
#include "directory/group_browser_dialog.h"
#include "overlay/overlay_chat_page.h"
#include "overlay/overlay_dialog.h"
#include "shell/about_dialog.h"
#include "core/shell/menu_commands.h"
#include "shell/program_language.h"

#include <QAbstractButton>
#include <QDir>
#include <QPushButton>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QXmlStreamReader>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

// Chinese as a window would show it: ideographs, CJK punctuation (。，“”) and full-width forms (：！（）).
bool holdsChinese(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u >= 0x2E80 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) ||
            (u >= 0xFF00 && u <= 0xFFEF))
            return true;
    }
    return false;
}

// One text a player sees, and where.
struct Shown {
    QString where;
    QString text;
};

void addMenu(const QString& where, const QList<QAction*>& actions, QList<Shown>& out)
{
    for (QAction* action : actions) {
        if (action->isSeparator()) continue;
        // The Chinese language under its own name, for a player who reads no English.
        if (action->data().toInt() == menu_id::LanguageChinese) continue;
        out.append({where + QStringLiteral(" menu item"), action->text()});
        out.append({where + QStringLiteral(" menu tooltip"), action->toolTip()});
        if (action->menu()) addMenu(where + QStringLiteral(" / ") + action->text(), action->menu()->actions(), out);
    }
}

void addTree(const QString& where, const QTreeWidget* tree, QList<Shown>& out)
{
    const QTreeWidgetItem* header = tree->headerItem();
    for (int c = 0; c < header->columnCount(); ++c) out.append({where + QStringLiteral(" heading"), header->text(c)});
    for (int r = 0; r < tree->topLevelItemCount(); ++r)
        for (int c = 0; c < tree->columnCount(); ++c) {
            out.append({where + QStringLiteral(" row"), tree->topLevelItem(r)->text(c)});
            out.append({where + QStringLiteral(" row tooltip"), tree->topLevelItem(r)->toolTip(c)});
        }
}

// Every text of a window that a player can see: titles, labels, buttons, fields' hints, tabs,
// lists, choice boxes, tooltips, and the menus it owns (the menu bar and pop-up menus).
QList<Shown> visibleTexts(QWidget* window)
{
    QList<Shown> out;
    const QString name = window->objectName().isEmpty() ? QString::fromLatin1(window->metaObject()->className())
                                                        : window->objectName();
    out.append({name + QStringLiteral(" title"), window->windowTitle()});
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* widget : widgets) {
        const QString where = name + QStringLiteral(" / ") + QString::fromLatin1(widget->metaObject()->className()) +
                              QStringLiteral(" ") + widget->objectName();
        // Pop-up menus are hidden until opened; every other widget counts when it is shown.
        auto* menu = qobject_cast<QMenu*>(widget);
        if (!menu && widget != window && !widget->isVisibleTo(window)) continue;
        out.append({where + QStringLiteral(" tooltip"), widget->toolTip()});
        if (menu) {
            if (!menu->parentWidget() || !qobject_cast<QMenu*>(menu->parentWidget())) addMenu(where, menu->actions(), out);
        } else if (auto* bar = qobject_cast<QMenuBar*>(widget)) {
            addMenu(where, bar->actions(), out);
        } else if (auto* label = qobject_cast<QLabel*>(widget)) {
            out.append({where, label->text()});
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            out.append({where, button->text()});
        } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            out.append({where, edit->text()});
            out.append({where + QStringLiteral(" hint"), edit->placeholderText()});
        } else if (auto* tabs = qobject_cast<QTabWidget*>(widget)) {
            for (int i = 0; i < tabs->count(); ++i) {
                out.append({where + QStringLiteral(" tab"), tabs->tabText(i)});
                out.append({where + QStringLiteral(" tab tooltip"), tabs->tabToolTip(i)});
            }
        } else if (auto* tree = qobject_cast<QTreeWidget*>(widget)) {
            addTree(where, tree, out);
        } else if (auto* choice = qobject_cast<QComboBox*>(widget)) {
            for (int i = 0; i < choice->count(); ++i) out.append({where + QStringLiteral(" item"), choice->itemText(i)});
        }
    }
    return out;
}

QStringList chineseIn(const QList<Shown>& texts)
{
    QStringList found;
    for (const Shown& shown : texts)
        if (holdsChinese(shown.text)) found << shown.where + QStringLiteral(": ") + shown.text;
    return found;
}

// The source texts of the translation file, with their contexts.
struct Entry {
    QByteArray context;
    QByteArray source;
};
QList<Entry> translationEntries()
{
    QList<Entry> entries;
    QFile file(QStringLiteral(LUMO_SOURCE_DIR "/translations/lumo_en.ts"));
    if (!file.open(QIODevice::ReadOnly)) return entries;
    QXmlStreamReader xml(&file);
    QByteArray context;
    while (!xml.atEnd()) {
        if (!xml.readNextStartElement()) continue;
        if (xml.name() == QLatin1String("name")) context = xml.readElementText().toUtf8();
        else if (xml.name() == QLatin1String("source")) entries.append({context, xml.readElementText().toUtf8()});
    }
    return entries;
}

Roster twoMembers()
{
    Roster roster;
    roster.count = 2;
    roster.records[0] = memberAt(0, "ann", loopback(22));
    roster.records[1] = memberAt(1, "me", loopback(20));
    return roster;
}

// A main window whose group browser finds no directory (and says so in English).
DialogHarness::Options withoutDirectory()
{
    DialogHarness::Options options;
    options.directoryReachable = false;
    options.members = 0;
    return options;
}

}  // namespace

class LanguageEnglishTest : public QObject {
    Q_OBJECT

    QTemporaryDir settingsHome;
    QTemporaryDir runFolder;  // the current directory, with its sys/sys.ini

    // Runs `open`, which opens a real modal box, and returns what the box showed: its caption,
    // text and buttons. The box is closed by its first button.
    QList<Shown> realBox(const std::function<void()>& open)
    {
        QList<Shown> shown;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            shown = visibleTexts(box);
            box->buttons().first()->click();
        });
        QTimer::singleShot(5000, this, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        });
        open();
        return shown;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(settingsHome.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
        QCoreApplication::setOrganizationName(QStringLiteral("lumo"));
        QCoreApplication::setApplicationName(QStringLiteral("LUMO"));
        // sys/sys.ini is the player's configuration: its server name here is plain ASCII, so
        // that the browser shows no text of the test's choosing in Chinese.
        QVERIFY(runFolder.isValid() && QDir(runFolder.path()).mkpath(QStringLiteral("sys")));
        QFile ini(runFolder.filePath(QStringLiteral("sys/sys.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write("[urllist]\r\nlocal=http://127.0.0.1:9\r\n") > 0);
        ini.close();
        QVERIFY(QDir::setCurrent(runFolder.path()));
        QVERIFY(installLanguage(*qApp, Language::English));
    }

    void everyTextOfTheTranslationIsEnglish()
    {
        const QList<Entry> entries = translationEntries();
        QVERIFY2(entries.size() > 50, "the translation file is read");
        QStringList untranslated;
        for (const Entry& entry : entries) {
            const QString english = QCoreApplication::translate(entry.context.constData(), entry.source.constData());
            if (holdsChinese(english) || english.isEmpty())
                untranslated << QString::fromUtf8(entry.context + " / " + entry.source) + QStringLiteral(" -> ") + english;
        }
        QVERIFY2(untranslated.isEmpty(), qPrintable(untranslated.join(QLatin1Char('\n'))));
    }

    void mainWindowMenusAndMemberList()
    {
        DialogHarness h(withoutDirectory());
        QVERIFY(h.ready());
        MainDialog& dialog = h.dialog();
        // Joined, with a member whose voice column shows: the list's states are texts too.
        QVERIFY(h.join(twoMembers(), 1));
        QTRY_COMPARE(h.memberList()->topLevelItemCount(), 2);
        QTRY_COMPARE(h.connectButtonText(), QStringLiteral("Renew"));

        const QList<Shown> texts = visibleTexts(&dialog);
        const QStringList chinese = chineseIn(texts);
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));
        // The walk saw the window's parts, English as the translation has them.
        QStringList all;
        for (const Shown& shown : texts) all << shown.text;
        for (const char* expected : {"Renew", "Send", "Talk", "Name:", "Host IP:", "&Language", "E&xit", "&Online Update",
                                     "English", "&System Language", "Voice", "Path"})
            QVERIFY2(all.contains(QString::fromUtf8(expected)), expected);

        // The group browser the main window opened beside itself.
        GroupBrowserDialog& browser = dialog.groupBrowser();
        const QStringList browserChinese = chineseIn(visibleTexts(&browser));
        QVERIFY2(browserChinese.isEmpty(), qPrintable(browserChinese.join(QLatin1Char('\n'))));
        // The browser beside it found no directory and said so.
        QTRY_VERIFY(!h.boxes.texts.isEmpty());
        for (const QString& text : h.boxes.texts + h.boxes.captions) QVERIFY2(!holdsChinese(text), qPrintable(text));
    }

    void groupBrowserWithAListAndItsMessages()
    {
        DialogHarness h(withoutDirectory());
        RecordingBoxes& boxes = h.boxes;
        GroupBrowserDialog& browser = h.dialog().groupBrowser();
        QTRY_VERIFY(!boxes.texts.isEmpty());  // its first refresh found no directory
        boxes.texts.clear();
        // A list longer than the browser shows, so that the caption and its tooltip say how many
        // groups are left out.
        std::string body = "myserverlist\r\n127.0.0.1 \r\n";
        // The state our directory sends (在线, in GBK) is shown translated.
        for (int i = 0; i < 4100; ++i)
            body += std::to_string(i) + " nightowls 192.0.2." + std::to_string(i % 250) + " 3555 \xD4\xDA\xCF\xDF \r\n";
        h.directory.answer(body);
        browser.refreshGroups();
        QTRY_VERIFY(!browser.requestRunning());
        QTRY_VERIFY(browser.findChild<QTreeWidget*>(QStringLiteral("groupList"))->topLevelItemCount() > 0);
        const QStringList chinese = chineseIn(visibleTexts(&browser));
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));
        auto* caption = browser.findChild<QLabel*>(QStringLiteral("listCaption"));
        QCOMPARE(caption->text(), QStringLiteral("First 4096 groups"));
        QCOMPARE(caption->toolTip(), QStringLiteral("4 more groups not shown"));
        QCOMPARE(browser.findChild<QTreeWidget*>(QStringLiteral("groupList"))->topLevelItem(0)->text(StateColumn), QStringLiteral("online"));

        // Its boxes: no nickname, a directory that cannot be reached.
        browser.joinSelectedGroup();
        browser.refreshGroups();
        QTRY_VERIFY(!browser.requestRunning());
        QTRY_VERIFY(boxes.texts.size() >= 2);
        for (const QString& text : boxes.texts + boxes.captions) QVERIFY2(!holdsChinese(text), qPrintable(text));
    }

    void overlayWindowWithItsMenu()
    {
        OverlayDialog overlay;
        overlay.show();
        auto* page = overlay.findChild<OverlayChatPage*>();
        QVERIFY(page);
        page->showRoster(twoMembers());
        page->setAnswerText(0, OverlayChatPage::ListenText);
        const QList<Shown> texts = visibleTexts(&overlay);
        const QStringList chinese = chineseIn(texts);
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));
        QStringList all;
        for (const Shown& shown : texts) all << shown.text;
        for (const char* expected : {"Chat", "Other", "Talk", "Listen", "Don't talk to", "Refresh", "Ask later"})
            QVERIFY2(all.contains(QString::fromUtf8(expected)), expected);
    }

    void aboutAndCallPrompt()
    {
        AboutDialog about;
        about.show();
        QStringList chinese = chineseIn(visibleTexts(&about));
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));
        QCOMPARE(about.windowTitle(), QStringLiteral("About LUMO "));

        CallPromptDialog prompt;
        prompt.promptFor(3, 0, QPoint(100, 100));
        prompt.show();
        chinese = chineseIn(visibleTexts(&prompt));
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));
        // Every English button text fits its button, with room for the frame.
        for (const QPushButton* button : prompt.findChildren<QPushButton*>())
            QVERIFY2(button->fontMetrics().horizontalAdvance(button->text()) + 8 <= button->width(), qPrintable(button->text()));
        const auto* licence = about.findChild<QLabel*>(QStringLiteral("licenceText"));
        QVERIFY(licence && licence->text().contains(QStringLiteral("GNU General Public License")));
    }

    // Real boxes, Qt's own buttons included, for the main window's questions and messages.
    void messageBoxesAndTheirButtons()
    {
        QWidget parent;
        parent.show();
        const QString question = QStringLiteral("ann") + QString(text::VoiceQuestion);
        const QList<Shown> asked = realBox([&] { MessageBoxes::current().ask(&parent, text::AppName, question); });
        QVERIFY2(!asked.isEmpty(), "the question box opened");
        QStringList chinese = chineseIn(asked);
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));
        QStringList buttons;
        for (const Shown& shown : asked)
            if (shown.where.contains(QStringLiteral("QPushButton")) && !shown.text.isEmpty()) buttons << shown.text;
        QVERIFY2(buttons.contains(QStringLiteral("&Yes")) && buttons.contains(QStringLiteral("&No")), qPrintable(buttons.join(QLatin1Char(','))));

        const QList<Shown> told = realBox([&] { MessageBoxes::current().inform(&parent, text::AppName, text::NoName); });
        chinese = chineseIn(told);
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(QLatin1Char('\n'))));

        // The main window's own boxes, raised through its controls.
        DialogHarness h(withoutDirectory());
        h.pressConnect(QString());  // no name
        h.control<QLineEdit>("hostAddress")->setText(QStringLiteral("127.0"));
        h.control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        h.control<QPushButton>("connectButton")->click();  // half an address
        QTRY_VERIFY(h.boxes.texts.size() >= 2);
        for (const QString& text : h.boxes.texts + h.boxes.captions) QVERIFY2(!holdsChinese(text), qPrintable(text));
        QCOMPARE(h.boxes.texts.first(), QStringLiteral("You forgot to write your name!"));
    }

    // Without a translation every text is the program's own Chinese, and Qt's buttons too.
    void chineseIsTheProgramsOwnText()
    {
        QVERIFY(installLanguage(*qApp, Language::Chinese));
        for (const Entry& entry : translationEntries())
            QCOMPARE(QCoreApplication::translate(entry.context.constData(), entry.source.constData()),
                     QString::fromUtf8(entry.source));
        QCOMPARE(QString(text::Connect), QStringLiteral("连接"));
        QWidget parent;
        parent.show();
        const QList<Shown> asked = realBox([&] { MessageBoxes::current().ask(&parent, text::AppName, text::Alone); });
        QStringList buttons;
        for (const Shown& shown : asked)
            if (shown.where.contains(QStringLiteral("QPushButton")) && !shown.text.isEmpty()) buttons << shown.text;
        if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_zh_CN.qm")))
            QSKIP("Qt's Chinese translations (qt6-translations-l10n) are not installed");
        QVERIFY2(buttons.size() == 2 && holdsChinese(buttons.join(QString())), qPrintable(buttons.join(QLatin1Char(','))));
        QVERIFY(installLanguage(*qApp, Language::English));
    }
};

QTEST_MAIN(LanguageEnglishTest)
#include "language_english_test.moc"
