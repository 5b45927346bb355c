#include "core/text/gbk.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace lumo {

namespace {

// Byte length of the GBK character starting at p: 2 for a lead byte followed by a valid trail
// byte, 1 otherwise (ASCII, the single-byte 0x80 and 0xFF, and malformed lead bytes).
std::size_t characterLength(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead >= 0x81 && lead <= 0xFE && at + 1 < text.size()) {
        const auto trail = static_cast<unsigned char>(text[at + 1]);
        if (trail >= 0x40 && trail <= 0xFE && trail != 0x7F) return 2;
    }
    return 1;
}

class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~Converter()
    {
        if (handle_ != reinterpret_cast<iconv_t>(-1)) iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts text; on an invalid or unconvertible sequence appends the replacement and skips
    // `skip(text, offset)` bytes of input.
    template <typename Skip>
    std::string run(std::string_view text, std::string_view replacement, Skip skip)
    {
        std::string out;
        if (handle_ == reinterpret_cast<iconv_t>(-1)) return std::string(text);
        iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        char buffer[256];
        while (inLeft > 0) {
            char* outPtr = buffer;
            std::size_t outLeft = sizeof buffer;
            const std::size_t result = iconv(handle_, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
            if (result != static_cast<std::size_t>(-1)) continue;
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL (a sequence cut at the end): replace and move on.
            out.append(replacement);
            const std::size_t offset = text.size() - inLeft;
            const std::size_t step = std::min(inLeft, skip(text, offset));
            in += step;
            inLeft -= step;
            iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t handle_;
};

std::size_t utf8SequenceLength(std::string_view text, std::size_t at)
{
    std::size_t length = 1;
    while (at + length < text.size() && (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80 &&
           length < 4)
        ++length;
    return length;
}

}  // namespace

std::string utf8ToGbk(std::string_view utf8)
{
    Converter converter("GBK", "UTF-8");
    return converter.run(utf8, "?", utf8SequenceLength);
}

std::vector<std::string> charactersGbkLacks(std::string_view utf8, std::size_t limit)
{
    std::vector<std::string> lacking;
    Converter converter("GBK", "UTF-8");
    for (std::size_t at = 0; at < utf8.size() && lacking.size() < limit;) {
        const std::size_t length = utf8SequenceLength(utf8, at);
        const std::string_view character = utf8.substr(at, length);
        at += length;
        if (static_cast<unsigned char>(character[0]) < 0x80) continue;  // ASCII is GBK
        if (converter.run(character, "?", utf8SequenceLength) != "?") continue;
        if (std::find(lacking.begin(), lacking.end(), character) == lacking.end()) lacking.emplace_back(character);
    }
    return lacking;
}

std::string gbkToUtf8(std::string_view gbk)
{
    Converter converter("UTF-8", "GBK");
    return converter.run(gbk, "\xEF\xBF\xBD", characterLength);
}

std::size_t gbkPrefixLength(std::string_view gbk, std::size_t maxBytes)
{
    std::size_t at = 0;
    while (at < gbk.size()) {
        const std::size_t next = at + characterLength(gbk, at);
        if (next > maxBytes) break;
        at = next;
    }
    return at;
}

}  // namespace lumo
