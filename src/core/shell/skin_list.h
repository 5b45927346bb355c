// The skins a player can pick from the "&Skin" menu: skin/skin.ini in the current directory,
// a section line "[skin]" followed by one "name = file" line per skin. The reader is pure: it
// takes the file's bytes and returns the table, so its rules can be checked without a window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

struct SkinEntry {
    std::uint8_t index = 0;  // the entry's line number, counting the section line as 0
    std::string name;        // shown in the menu; GBK as in the file
    std::string file;        // relative to the skin directory; GBK as in the file
    bool operator==(const SkinEntry&) const = default;
};

inline constexpr const char* SkinListPath = "skin/skin.ini";
inline constexpr const char* SkinDirectory = "skin/";
// Loaded at start-up, before the player has picked anything.
inline constexpr const char* DefaultSkinPath = "skin/Zarive.smf";
inline constexpr int MaxSkins = 31;                // lines 2 to 32 of the file
inline constexpr std::size_t SkinListLines = 32;
// Reading stops after this many bytes, so a huge file cannot stall the menu that reads it.
inline constexpr std::size_t MaxSkinListBytes = 64 * 1024;

// The table of skin/skin.ini:
// - line 1 must be the section line: it begins with "[", and the text between the first "[" and
//   the first "]", trimmed, is exactly "skin"; anything else gives no entries;
// - each following line, with leading white space removed, is an entry unless it is now shorter
//   than 7 bytes, which ends the list (that line and all after it are ignored);
// - an entry is split at its first "=" into name and file, both trimmed (no "=": empty name,
//   the whole line as file);
// - only the first 32 lines count, so there are at most 31 entries.
// A CR before a line feed is dropped, so CR LF and LF files read alike. Names and files are kept
// whole, however long.
std::vector<SkinEntry> parseSkinList(std::string_view text);

// Reads the file at path (at most MaxSkinListBytes) and parses it; a missing or unreadable file
// gives no entries.
std::vector<SkinEntry> readSkinList(const std::string& path = SkinListPath);

// The path the skin library loads for an entry: the skin directory followed by its file.
std::string skinFilePath(const SkinEntry& entry);

}  // namespace lumo
