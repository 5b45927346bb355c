#include "core/shell/plugin_scan.h"

#include <algorithm>

namespace lumo {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool endsWithSuffixAnyCase(std::string_view name)
{
    if (name.size() < PluginSuffix.size()) return false;
    const std::string_view tail = name.substr(name.size() - PluginSuffix.size());
    return std::equal(tail.begin(), tail.end(), PluginSuffix.begin(), [](char a, char b) { return lower(a) == b; });
}

bool suffixLowerOrUpper(std::string_view name)
{
    const std::string_view letters = name.substr(name.size() - PluginSuffix.size() + 1);  // after the dot
    return letters == "so" || letters == "SO";
}

}  // namespace

std::vector<PluginItem> pluginItems(std::vector<std::string> fileNames)
{
    std::erase_if(fileNames, [](const std::string& name) { return !endsWithSuffixAnyCase(name); });
    std::sort(fileNames.begin(), fileNames.end());
    std::vector<PluginItem> items;
    for (const std::string& name : fileNames) {
        if (!suffixLowerOrUpper(name)) break;
        if (name.size() == PluginSuffix.size()) continue;
        if (items.size() >= static_cast<std::size_t>(MaxPluginItems)) break;
        items.push_back({name.substr(0, name.size() - PluginSuffix.size()), name});
    }
    return items;
}

}  // namespace lumo
