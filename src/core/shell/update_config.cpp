#include "core/shell/update_config.h"

#include "core/text/text_lines.h"

#include <limits>

namespace lumo {

namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

std::optional<std::string> findIniValue(std::string_view text, std::string_view section, std::string_view key)
{
    bool inSection = false;
    for (std::string_view line : firstLines(text, std::numeric_limits<std::size_t>::max())) {
        line = trimLeft(line);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            // A later section of the same name is not searched: the first one is the section.
            if (inSection) return std::nullopt;
            inSection = sameIgnoringCase(bracketedSection(line), section);
            continue;
        }
        if (!inSection) continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (sameIgnoringCase(trim(line.substr(0, equals)), key))
            return std::string(unquote(trim(line.substr(equals + 1))));
    }
    return std::nullopt;
}

std::string readUpdateServerUrl(const std::string& path)
{
    const auto value = findIniValue(readFilePrefix(path, MaxSystemIniBytes), "server", "http");
    return value && !value->empty() ? *value : std::string(DefaultUpdateUrl);
}

}  // namespace lumo
