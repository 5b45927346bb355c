#include "core/text/text_lines.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace lumo {

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

std::vector<std::string_view> firstLines(std::string_view text, std::size_t maxLines)
{
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() < maxLines) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string_view bracketedSection(std::string_view line)
{
    if (line.empty() || line.front() != '[') return {};
    const auto close = line.find(']');
    if (close == std::string_view::npos) return {};
    return trim(line.substr(1, close - 1));
}

std::string readFilePrefix(const std::string& path, std::size_t maxBytes)
{
    // Only regular files: a FIFO or device put in place of a configuration file would block.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return {};
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::string text(maxBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return text;
}

}  // namespace lumo
