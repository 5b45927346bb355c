#include "directory/server_list.h"

#include <fstream>

namespace lumo {

namespace {

constexpr std::string_view WhiteSpace = " \t\n\v\f\r";
constexpr std::size_t MinEntryLength = 7;

std::string_view trimLeft(std::string_view text)
{
    const auto first = text.find_first_not_of(WhiteSpace);
    return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

std::string_view trim(std::string_view text)
{
    text = trimLeft(text);
    const auto last = text.find_last_not_of(WhiteSpace);
    return last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
}

// The first ServerListLines lines, each without its line feed and the CR before it.
std::vector<std::string_view> firstLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() < ServerListLines) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string_view sectionName(std::string_view header)
{
    if (header.empty() || header.front() != '[') return {};
    const auto close = header.find(']');
    if (close == std::string_view::npos) return {};
    return trim(header.substr(1, close - 1));
}

}  // namespace

std::vector<ServerEntry> parseServerList(std::string_view text)
{
    std::vector<ServerEntry> entries;
    const auto lines = firstLines(text);
    if (lines.empty() || sectionName(lines.front()) != "urllist") return entries;
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
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::string text(MaxServerListBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return parseServerList(text);
}

std::optional<std::string> findServerUrl(const std::vector<ServerEntry>& entries, std::string_view name)
{
    for (const auto& entry : entries) {
        if (entry.name == name) return entry.url;
    }
    return std::nullopt;
}

}  // namespace lumo
