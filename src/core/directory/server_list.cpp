#include "core/directory/server_list.h"

#include "core/text/text_lines.h"

namespace lumo {

namespace {

constexpr std::size_t MinEntryLength = 7;

}  // namespace

std::vector<ServerEntry> parseServerList(std::string_view text)
{
    std::vector<ServerEntry> entries;
    const auto lines = firstLines(text, ServerListLines);
    if (lines.empty() || bracketedSection(lines.front()) != "urllist") return entries;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = trimLeft(lines[i]);
        if (line.size() < MinEntryLength) break;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            entries.push_back({std::string(), std::string(trim(line))});
        } else {
            entries.push_back({std::string(trim(line.substr(0, equals))), std::string(trim(line.substr(equals + 1)))});
        }
    }
    return entries;
}

std::vector<ServerEntry> readServerList(const std::string& path)
{
    return parseServerList(readFilePrefix(path, MaxServerListBytes));
}

std::optional<std::string> findServerUrl(const std::vector<ServerEntry>& entries, std::string_view name)
{
    for (const auto& entry : entries) {
        if (entry.name == name) return entry.url;
    }
    return std::nullopt;
}

}  // namespace lumo
