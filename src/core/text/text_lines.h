// Small helpers for the line-based configuration files the program reads (sys/sys.ini and
// skin/skin.ini): trimming, splitting into lines, reading a bounded prefix.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

// White space as the C library's isspace sees it in the "C" locale.
inline constexpr std::string_view WhiteSpace = " \t\n\v\f\r";

std::string_view trimLeft(std::string_view text);
std::string_view trim(std::string_view text);

// The first maxLines lines, each without its line feed and the CR before it. A final line
// without a line feed counts; an empty text has no lines.
std::vector<std::string_view> firstLines(std::string_view text, std::size_t maxLines);

// For a line beginning with "[": the text between the first "[" and the first "]", trimmed.
// Any other line, or one without "]", gives an empty name.
std::string_view bracketedSection(std::string_view line);

// At most maxBytes bytes from the start of the file; empty when it is not a regular file or
// cannot be opened.
std::string readFilePrefix(const std::string& path, std::size_t maxBytes);

}  // namespace lumo
