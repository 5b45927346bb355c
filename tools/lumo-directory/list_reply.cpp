#include "list_reply.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <new>

namespace lumo::directory {

namespace {

// Compression of the lines by libdeflate, which on these lines gives far fewer bytes than
// zlib's best level in less time: at every change its quick level (about 5 ms for 10,000
// groups), and once the list has stayed unchanged a while its best (about 30 ms, 10 % fewer
// bytes), which a list that changes ten times a second could not pay on every change.
constexpr int QuickLevel = 6;
constexpr int BestLevel = 12;

void appendLittleEndian(std::string& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

// `digits` hexadecimal digits of value (at least one, as many as it needs when 0).
void appendHex(std::string& out, std::uint64_t value, int digits)
{
    if (digits == 0) {
        for (std::uint64_t rest = value >> 4; rest; rest >>= 4) ++digits;
        ++digits;
    }
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back("0123456789abcdef"[value >> shift & 15]);
}

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text)
{
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The elements of a comma-separated header value, trimmed.
std::vector<std::string> elements(const std::string& value)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= value.size()) {
        const auto comma = std::min(value.find(',', start), value.size());
        const std::string element = trim(value.substr(start, comma - start));
        if (!element.empty()) out.push_back(element);
        start = comma + 1;
    }
    return out;
}

std::string deflateRaw(const std::string& text, int level)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (!compressor) throw std::bad_alloc();
    std::string out(libdeflate_deflate_compress_bound(compressor, text.size()), '\0');
    // The bound always holds the result.
    out.resize(libdeflate_deflate_compress(compressor, text.data(), text.size(), out.data(), out.size()));
    libdeflate_free_compressor(compressor);
    return out;
}

}  // namespace

std::string renderGroupLines(const std::vector<Registration>& groups)
{
    std::size_t size = 0;
    for (const auto& g : groups) size += g.name.size() + g.ip.size() + 48;
    std::string out;
    out.reserve(size);
    for (const auto& g : groups) {
        out.append(std::to_string(g.id)).push_back(' ');
        out.append(g.name).push_back(' ');
        out.append(g.ip).push_back(' ');
        out.append(std::to_string(g.port)).push_back(' ');
        out.append(OnlineState).append(" \r\n");
    }
    return out;
}

std::shared_ptr<const RenderedList> renderList(const std::vector<Registration>& groups)
{
    auto list = std::make_shared<RenderedList>();
    auto lines = std::make_shared<const std::string>(renderGroupLines(groups));
    const auto* bytes = reinterpret_cast<const Bytef*>(lines->data());
    list->crc = static_cast<std::uint32_t>(crc32(0, bytes, static_cast<uInt>(lines->size())));
    list->adler = static_cast<std::uint32_t>(adler32(1, bytes, static_cast<uInt>(lines->size())));
    list->crcAfter = crc32_combine_gen(static_cast<z_off_t>(lines->size()));
    list->deflated = std::make_shared<const std::string>(deflateRaw(*lines, QuickLevel));
    list->lines = std::move(lines);
    return list;
}

std::shared_ptr<const RenderedList> recompressed(const RenderedList& list)
{
    auto better = std::make_shared<RenderedList>(list);
    better->deflated = std::make_shared<const std::string>(deflateRaw(*list.lines, BestLevel));
    better->best = true;
    return better;
}

bool acceptsGzip(const std::string& acceptEncoding)
{
    for (const std::string& element : elements(acceptEncoding)) {
        const auto semicolon = element.find(';');
        const std::string coding = lower(trim(element.substr(0, semicolon)));
        if (coding != "gzip" && coding != "x-gzip" && coding != "*") continue;
        if (semicolon == std::string::npos) return true;
        const std::string parameter = lower(trim(element.substr(semicolon + 1)));
        if (parameter.rfind("q=", 0) != 0) return true;
        if (std::strtod(parameter.c_str() + 2, nullptr) > 0) return true;
    }
    return false;
}

bool etagMatches(const std::string& ifNoneMatch, const std::string& etag)
{
    const auto opaque = [](const std::string& tag) { return tag.rfind("W/", 0) == 0 ? tag.substr(2) : tag; };
    for (const std::string& element : elements(ifNoneMatch)) {
        if (element == "*" || opaque(element) == opaque(etag)) return true;
    }
    return false;
}

void fillListReply(const RenderedList& list, const ListRequest& request, HttpResponse& response)
{
    const std::string head = "myserverlist\r\n" + request.peer + " \r\n";
    const auto* headBytes = reinterpret_cast<const Bytef*>(head.data());
    const auto headSize = static_cast<uInt>(head.size());
    const auto linesSize = static_cast<z_off_t>(list.lines->size());
    const auto crc = static_cast<std::uint32_t>(crc32_combine_op(crc32(0, headBytes, headSize), list.crc, list.crcAfter));
    const auto adler =
        static_cast<std::uint32_t>(adler32_combine(adler32(1, headBytes, headSize), list.adler, linesSize));
    const std::size_t size = head.size() + list.lines->size();
    std::string tag = "W/\"";
    appendHex(tag, crc, 8);
    appendHex(tag, adler, 8);
    tag += '-';
    appendHex(tag, size, 0);
    tag += '"';

    response.contentType = "text/plain; charset=GBK";
    response.headers.emplace_back("ETag", tag);
    response.headers.emplace_back("Vary", "Accept-Encoding");
    // The list changes, and it names the caller: caches ask again each time, and keep it private.
    response.headers.emplace_back("Cache-Control", "private, no-cache");
    if (!request.ifNoneMatch.empty() && etagMatches(request.ifNoneMatch, tag)) {
        response.status = 304;
        response.body.clear();
        return;
    }
    response.status = 200;
    if (!acceptsGzip(request.acceptEncoding)) {
        response.body = {std::make_shared<const std::string>(head), list.lines};
        return;
    }
    // A gzip member (RFC 1952) whose deflate data (RFC 1951) opens with the caller's line in a
    // stored block that is not the last; the shared lines follow from a byte boundary.
    std::string opening("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    opening.push_back('\0');  // stored block, not final
    appendLittleEndian(opening, static_cast<std::uint32_t>(head.size()), 2);
    appendLittleEndian(opening, static_cast<std::uint32_t>(~head.size() & 0xFFFF), 2);
    opening += head;
    std::string trailer;
    appendLittleEndian(trailer, crc, 4);
    appendLittleEndian(trailer, static_cast<std::uint32_t>(size), 4);
    response.headers.emplace_back("Content-Encoding", "gzip");
    response.body = {std::make_shared<const std::string>(std::move(opening)), list.deflated,
                     std::make_shared<const std::string>(std::move(trailer))};
}

}  // namespace lumo::directory
