#include "core/text/web_links.h"

#include <algorithm>
#include <cctype>

namespace lumo {

namespace {

bool startsWithScheme(std::string_view text, std::size_t at, std::size_t* schemeLength)
{
    for (const std::string_view scheme : {std::string_view("https://"), std::string_view("http://")}) {
        if (text.size() - at < scheme.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < scheme.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(text[at + i])) == scheme[i];
        if (same) {
            *schemeLength = scheme.size();
            return true;
        }
    }
    return false;
}

// Characters an address carries, as people paste them into chat.
bool inAddress(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) return false;
    return std::string_view("<>\"`{}|\\^").find(c) == std::string_view::npos;
}

bool isAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Where an address that could run to `end` really ends: without the sentence's punctuation and
// without closing brackets it did not open.
std::size_t trimmedEnd(std::string_view text, std::size_t begin, std::size_t end)
{
    while (end > begin) {
        const char last = text[end - 1];
        if (std::string_view(".,;:!?'*").find(last) != std::string_view::npos) {
            --end;
            continue;
        }
        const char open = last == ')' ? '(' : last == ']' ? '[' : 0;
        if (open) {
            const std::string_view inside = text.substr(begin, end - begin);
            if (std::count(inside.begin(), inside.end(), open) < std::count(inside.begin(), inside.end(), last)) {
                --end;
                continue;
            }
        }
        break;
    }
    return end;
}

}  // namespace

std::vector<WebLink> findWebLinks(std::string_view text)
{
    std::vector<WebLink> links;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t schemeLength = 0;
        // An address starts a word: "xhttp://" is not one.
        const bool wordStart = at == 0 || !isAlnum(text[at - 1]);
        if (!wordStart || !startsWithScheme(text, at, &schemeLength)) {
            ++at;
            continue;
        }
        std::size_t end = at + schemeLength;
        while (end < text.size() && inAddress(text[end])) ++end;
        end = trimmedEnd(text, at + schemeLength, end);
        // A host must follow the scheme: "http://" alone or "http://./" is no address.
        if (end > at + schemeLength && isAlnum(text[at + schemeLength])) {
            links.push_back({at, end});
            at = end;
        } else {
            at += schemeLength;
        }
    }
    return links;
}

std::string escapeHtml(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string linkedHtml(std::string_view text)
{
    std::string out = "<span style=\"white-space: pre-wrap\">";
    std::size_t done = 0;
    for (const WebLink& link : findWebLinks(text)) {
        out += escapeHtml(text.substr(done, link.begin - done));
        const std::string address = escapeHtml(text.substr(link.begin, link.end - link.begin));
        out += "<a href=\"" + address + "\">" + address + "</a>";
        done = link.end;
    }
    out += escapeHtml(text.substr(done));
    out += "</span>";
    return out;
}

}  // namespace lumo
