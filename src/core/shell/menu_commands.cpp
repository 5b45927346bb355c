#include "core/shell/menu_commands.h"

#include "core/text/translatable.h"

namespace lumo {

const std::vector<MenuItemLayout>& menuBarLayout()
{
    static const std::vector<MenuItemLayout> layout = {
        {"&File", 0, {{LUMO_TRANSLATE_NOOP("MenuBar", "退出"), menu_id::Exit, {}}}},
        {"&Skin", menu_id::SkinMenu, {}},
        {"&game", 0, {{"&bbs", menu_id::Forum, {}}, {"", 0, {}}}},
        {"&About", menu_id::About, {}},
        {"&Help", 0, {{"&WebSite", menu_id::WebSite, {}}, {LUMO_TRANSLATE_NOOP("MenuBar", "&在线升级"), menu_id::OnlineUpdate, {}}}},
        // Each language by its own name, so that a player finds theirs whatever the menus speak.
        {"&Language", 0,
         {{LUMO_TRANSLATE_NOOP("MenuBar", "跟随系统"), menu_id::LanguageSystem, {}},
          {"中文", menu_id::LanguageChinese, {}},
          {"English", menu_id::LanguageEnglish, {}}}},
    };
    return layout;
}

std::optional<RoutedCommand> routeCommand(int id)
{
    using namespace menu_id;
    switch (id) {
    case Exit: return RoutedCommand{ShellCommand::Exit};
    case SkinMenu: return RoutedCommand{ShellCommand::SkinMenu};
    case Forum: return RoutedCommand{ShellCommand::Forum};
    case About: return RoutedCommand{ShellCommand::About};
    case WebSite: return RoutedCommand{ShellCommand::WebSite};
    case OnlineUpdate: return RoutedCommand{ShellCommand::OnlineUpdate};
    case LanguageSystem: return RoutedCommand{ShellCommand::LanguageChoice, 0};
    case LanguageChinese: return RoutedCommand{ShellCommand::LanguageChoice, 1};
    case LanguageEnglish: return RoutedCommand{ShellCommand::LanguageChoice, 2};
    default: break;
    }
    if (id >= SkinChoiceFirst && id <= SkinChoiceLast) return RoutedCommand{ShellCommand::SkinChoice, id - SkinChoiceFirst};
    if (id >= PluginFirst && id <= PluginLast) return RoutedCommand{ShellCommand::PluginToggle, id - PluginFirst};
    return std::nullopt;
}

}  // namespace lumo
