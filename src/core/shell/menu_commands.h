// The main window's menu bar and where each of its commands goes, as plain data: the Qt side
// builds the QMenuBar from menuBarLayout() and hands every command id to routeCommand().
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumo {

namespace menu_id {
inline constexpr int Exit = 57665;          // "&File" / "退出": closes the window like its close box
inline constexpr int About = 57664;         // "&About"
inline constexpr int SkinMenu = 32774;      // "&Skin": opens the skin pop-up
inline constexpr int WebSite = 32776;       // "&Help" / "&WebSite"
inline constexpr int OnlineUpdate = 32778;  // "&Help" / "&在线升级"
inline constexpr int Forum = 32780;         // "&game" / "&bbs"
inline constexpr int LanguageSystem = 32790;   // "&Language" / "跟随系统": the system's locale decides
inline constexpr int LanguageChinese = 32791;  // "&Language" / "中文"
inline constexpr int LanguageEnglish = 32792;  // "&Language" / "English"
inline constexpr int SkinChoiceFirst = 30000;   // skin entry k is 30000 + k
inline constexpr int SkinChoiceLast = 30090;
inline constexpr int PluginFirst = 30100;       // plug-in item n is 30100 + n
inline constexpr int PluginLast = 30190;
}  // namespace menu_id

// One item of the menu bar. An item with children is a pop-up; one with id 0 and no text is a
// separator; any other is a command.
struct MenuItemLayout {
    std::string text;  // UTF-8; the window shows it translated in the context "MenuBar"
    int id = 0;
    std::vector<MenuItemLayout> children;
};

// The menu bar, in order: "&File", "&Skin", "&game", "&About", "&Help", "&Language". The plug-in items are
// appended to "&game" when the window is created.
const std::vector<MenuItemLayout>& menuBarLayout();
// Position of "&game" in the menu bar, where the plug-in items go.
inline constexpr int GameMenuPosition = 2;

enum class ShellCommand { Exit, SkinMenu, SkinChoice, Forum, PluginToggle, About, WebSite, OnlineUpdate, LanguageChoice };

struct RoutedCommand {
    ShellCommand command;
    // SkinChoice: the skin entry; PluginToggle: the plug-in item; LanguageChoice: a LanguageSetting
    // (0 the system's, 1 Chinese, 2 English); otherwise 0
    int index = 0;
    bool operator==(const RoutedCommand&) const = default;
};

// The handler for a command id, or nothing for an id the main window does not route.
std::optional<RoutedCommand> routeCommand(int id);

}  // namespace lumo
