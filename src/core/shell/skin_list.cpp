#include "core/shell/skin_list.h"

#include "core/text/text_lines.h"

#include <fstream>

namespace lumo {

namespace {

constexpr std::size_t MinEntryLength = 7;

}  // namespace

std::vector<SkinEntry> parseSkinList(std::string_view text)
{
    std::vector<SkinEntry> entries;
    const std::vector<std::string_view> lines = firstLines(text, SkinListLines);
    if (lines.empty() || bracketedSection(lines.front()) != "skin") return entries;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = trimLeft(lines[i]);
        if (line.size() < MinEntryLength) break;
        SkinEntry entry;
        entry.index = static_cast<std::uint8_t>(i);
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            entry.file = std::string(trim(line));
        } else {
            entry.name = std::string(trim(line.substr(0, equals)));
            entry.file = std::string(trim(line.substr(equals + 1)));
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<SkinEntry> readSkinList(const std::string& path)
{
    return parseSkinList(readFilePrefix(path, MaxSkinListBytes));
}

std::string skinFilePath(const SkinEntry& entry) { return SkinDirectory + entry.file; }

}  // namespace lumo
