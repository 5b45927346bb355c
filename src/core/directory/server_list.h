// The directory servers a player can choose from: the `urllist` section at the top of
// sys/sys.ini, one "name = url" entry a line. The reader is deliberately simple and strict
// about where the list begins and ends (see parseServerList).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

struct ServerEntry {
    std::string name;  // display name, GBK as in the file
    std::string url;   // base URL of the directory, bytes as in the file
    bool operator==(const ServerEntry&) const = default;
};

inline constexpr const char* ServerListPath = "sys/sys.ini";
inline constexpr int MaxServerEntries = 31;       // lines 2 to 32 of the file
inline constexpr std::size_t ServerListLines = 32;
// Only the first 32 lines count; reading stops there or at this many bytes, whichever is first,
// so a huge or endless file cannot stall the window that reads it.
inline constexpr std::size_t MaxServerListBytes = 256 * 1024;

// The entries of the urllist section, in file order:
// - line 1 must be a section header that reduces to exactly "urllist": it begins with "[",
//   the name is the text between the first "[" and the first "]", trimmed;
// - each following line, up to line 32, with leading white space removed, is an entry unless it
//   is shorter than 7 bytes, which ends the list;
// - an entry is split at its first "=" (no "=": empty name, whole line as URL), both trimmed.
// A CR before each line feed is dropped, so CR LF and LF files read alike.
std::vector<ServerEntry> parseServerList(std::string_view text);

// Reads the file at path (bounded, see above) and parses it. A missing or unreadable file
// gives no entries.
std::vector<ServerEntry> readServerList(const std::string& path = ServerListPath);

// The URL of the first entry whose name equals name byte for byte.
std::optional<std::string> findServerUrl(const std::vector<ServerEntry>& entries, std::string_view name);

}  // namespace lumo
