// The shell around the main window: its menu bar and where each menu command goes, the "&game"
// plug-in items, the "&Skin" pop-up, the About box, the web links and the online update.
//
// The main window keeps one MainWindowShell for its whole life:
//   MainWindowShell shell(window, owner, skinActive);
//   shell.createWindowParts();   // once its controls exist: skin entry 7, the menu bar,
//                                // the plug-in items, the skin pop-up, skin entry 5
//   ...
//   shell.closing();             // at closing, after OverlayClose was posted: unloads plug-ins
#pragma once

#include "ui/ui_text.h"

#include "shell/plugin_loader.h"
#include "core/shell/skin_list.h"

#include <QMenu>
#include <QMenuBar>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QWidget;

namespace lumo {

class SkinLibrary;

// What the shell needs from the main window it serves.
class ShellOwner : public PluginOverlayLink {
public:
    // The group browser's baseUrl: the web site of the directory server in use.
    virtual QString siteBaseUrl() const = 0;
    // Whether a top-level window (mailbox) with this title exists now; the plug-in loader waits
    // on "gamein" with it.
    virtual bool windowExists(const QString& title) const = 0;
    // This install's key fingerprint, for the About box (empty: none to show).
    virtual QString ownFingerprint() const { return {}; }
};

// One handler per command of the menu bar.
class ShellCommands {
public:
    virtual ~ShellCommands() = default;
    virtual void exitProgram() = 0;          // 57665
    virtual void showSkinMenu() = 0;         // 32774
    virtual void chooseSkin(int entry) = 0;  // 30000 + entry
    virtual void openForum() = 0;            // 32780
    virtual void togglePlugin(int item) = 0; // 30100 + item
    virtual void showAbout() = 0;            // 57664
    virtual void openWebSite() = 0;          // 32776
    virtual void runUpdate() = 0;            // 32778
    virtual void chooseLanguage(int setting) = 0;  // 32790 + setting (a LanguageSetting)
};

// Hands a command id to its handler; false for an id the main window does not route.
bool dispatchCommand(ShellCommands& commands, int id);

// Builds the menu bar of the main window (see menuBarLayout) as a child of parent; every command
// item carries its id as data and reports it to onCommand when chosen.
QMenuBar* buildMenuBar(QWidget* parent, std::function<void(int id)> onCommand);

// Attaches bar above the window's contents: through the window's layout when it has one,
// otherwise by moving every control down by the bar's height and growing the window to match.
void attachMenuBar(QWidget* window, QMenuBar* bar);

class MainWindowShell : public QObject, public ShellCommands {
    Q_OBJECT

public:
    // skinActive: whether the skin library started and loaded the default skin (startSkins).
    MainWindowShell(QWidget& window, ShellOwner& owner, bool skinActive,
                    SkinLibrary* skins = nullptr);  // null: SkinLibrary::current()
    ~MainWindowShell() override;

    // Window creation, in order: skin entry 7 with the window; the menu bar, attached; the
    // plug-in items appended to "&game"; the empty skin pop-up; skin entry 5 with the window and
    // "Dialog". Call once, after the window's controls exist.
    void createWindowParts();
    // The main window's closing: unloads every plug-in that is on.
    void closing();

    // Routes a command id as the menu does.
    bool command(int id) { return dispatchCommand(*this, id); }

    void setSkinActive(bool active) { skinActive_ = active; }
    bool skinActive() const { return skinActive_; }

    QMenuBar* menuBar() const { return menuBar_; }
    QMenu* gameMenu() const { return gameMenu_; }
    QMenu* skinPopup() const { return skinPopup_; }
    const std::vector<SkinEntry>& skinTable() const { return skinTable_; }
    PluginLoader& plugins() { return plugins_; }

    // ShellCommands
    void exitProgram() override;
    void showSkinMenu() override;
    void chooseSkin(int entry) override;
    void openForum() override;
    void togglePlugin(int item) override;
    void showAbout() override;
    void openWebSite() override;
    void runUpdate() override;
    // Remembers the choice for the next start (the windows do not change their language while
    // they are open) and says so; the menu's tick shows the remembered choice.
    void chooseLanguage(int setting) override;

    static constexpr UiText LanguageSavedText = LUMO_UI_TEXT("lumo::MainWindowShell", "语言设置已保存，LUMO 下次启动时生效。");
    static constexpr UiText LanguageNotSavedText =
        LUMO_UI_TEXT("lumo::MainWindowShell", "无法保存语言设置：%1 无法写入。");  // %1: the settings file
    static constexpr UiText SkinNotLoadedText = LUMO_UI_TEXT("lumo::MainWindowShell", "无法加载皮肤文件 %1。");

    // The file names (in plugin/) of the plug-ins that are on.
    QStringList pluginFilesOn() const;
    // Switches on the plug-in of that file, as its menu item does; false when there is none or
    // it failed (the player is told why, as from the menu).
    bool switchPluginOn(const QString& file);
    // Loads the skin of skin/skin.ini whose file is `file`, as choosing it from "&Skin" does,
    // but quietly: false when there is no such skin or it cannot be loaded.
    bool loadListedSkin(const QString& file);

signals:
    // The player picked a skin that loaded (its file in skin/), or switched a plug-in.
    void skinChosen(const QString& file);
    void pluginsSwitched();

public:

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addPluginItems();
    void showPluginStates();
    void showLanguageSetting();
    void tell(const QString& text);

    QWidget& window_;
    ShellOwner& owner_;
    SkinLibrary& skins_;
    bool skinActive_;
    PluginLoader plugins_;
    QPointer<QMenuBar> menuBar_;
    QPointer<QMenu> gameMenu_;
    std::vector<QAction*> pluginActions_;
    std::vector<QAction*> languageActions_;
    QPointer<QMenu> skinPopup_;
    std::vector<SkinEntry> skinTable_;
};

}  // namespace lumo
