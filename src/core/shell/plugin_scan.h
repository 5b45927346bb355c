// Which files of the plugin directory become items of the "&game" menu. Pure: it takes the
// directory's file names and returns the item texts in menu order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumo {

inline constexpr const char* PluginDirectory = "plugin";
inline constexpr std::string_view PluginSuffix = ".so";
// Loaded plug-ins have a slot each; items beyond the 32nd are listed but cannot be switched on.
inline constexpr int PluginSlots = 32;
// The menu's plug-in command range (30100 to 30190) has room for this many items.
inline constexpr int MaxPluginItems = 91;

// The files the directory search for "*.so" returns are those ending in ".so" in any letter
// case, taken in byte order of their names. Each whose suffix is exactly ".so" or ".SO" becomes
// an item whose text is the name without its suffix; the first one with a mixed-case suffix
// (".So", ".sO") ends the list, so neither it nor any later file is listed. A name that is only
// the suffix is skipped. At most MaxPluginItems items.
struct PluginItem {
    std::string text;      // the menu text: the file name without its suffix
    std::string fileName;  // the file in the plugin directory; the plug-in's gethook receives it
    bool operator==(const PluginItem&) const = default;
};
std::vector<PluginItem> pluginItems(std::vector<std::string> fileNames);

}  // namespace lumo
