// Web addresses in a text a member wrote, made clickable without trusting anything else in it:
// the whole text is escaped as HTML, and only http:// and https:// addresses become links (never
// javascript:, file: or a member's own markup). Text is UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumo {

struct WebLink {
    std::size_t begin = 0;  // byte offsets into the text: [begin, end)
    std::size_t end = 0;
};

// The http and https addresses in `text`, in order. An address runs up to a space, a control
// character, a character outside ASCII (Chinese text or punctuation right after it) or one of
// <>"`{}|\^; sentence punctuation at its end is left out, and a closing bracket only stays
// when the address opened one.
std::vector<WebLink> findWebLinks(std::string_view text);

// `text` as an HTML fragment: every character escaped, spaces and line breaks kept
// (white-space: pre-wrap), each web address an <a href> to itself.
std::string linkedHtml(std::string_view text);

// `text` with &, <, >, " and ' escaped.
std::string escapeHtml(std::string_view text);

}  // namespace lumo
