#include "shell/menu_commands.h"

namespace lumo {

const std::vector<MenuItemLayout>& menuBarLayout()
{
    static const std::vector<MenuItemLayout> layout = {
        {"&File", 0, {{"退出", menu_id::Exit, {}}}},
        {"&Skin", menu_id::SkinMenu, {}},
        {"&game", 0, {{"&bbs", menu_id::Forum, {}}, {"", 0, {}}}},
        {"&About", menu_id::About, {}},
        {"&Help", 0, {{"&WebSite", menu_id::WebSite, {}}, {"&在线升级", menu_id::OnlineUpdate, {}}}},
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
    default: break;
    }
    if (id >= SkinChoiceFirst && id <= SkinChoiceLast) return RoutedCommand{ShellCommand::SkinChoice, id - SkinChoiceFirst};
    if (id >= PluginFirst && id <= PluginLast) return RoutedCommand{ShellCommand::PluginToggle, id - PluginFirst};
    return std::nullopt;
}

}  // namespace lumo
