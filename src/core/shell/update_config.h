// The updater's server: section [server], key http of sys/sys.ini, read the way the platform's
// profile functions read an INI file (case-insensitive section and key names, trimmed values).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumo {

inline constexpr const char* SystemIniPath = "sys/sys.ini";
// Used when sys/sys.ini has no [server] http value.
inline constexpr const char* DefaultUpdateUrl = "http://lumo.example.net/lumo";
inline constexpr std::size_t MaxSystemIniBytes = 256 * 1024;

// The value of `key` in the first section named `section`:
// - a section line is "[name]" after leading white space; the name is trimmed and compared
//   without regard to ASCII case;
// - a key line is "key=value", split at its first "="; the key is trimmed and compared without
//   regard to case; the value is trimmed, and a value wholly enclosed in matching double or
//   single quotes loses them;
// - lines starting with ";" are comments; the first matching key wins.
std::optional<std::string> findIniValue(std::string_view text, std::string_view section, std::string_view key);

// The [server] http value of the file at path (read bounded), or DefaultUpdateUrl when the file,
// the section or the key is missing or the value is empty. GBK as in the file.
std::string readUpdateServerUrl(const std::string& path = SystemIniPath);

}  // namespace lumo
