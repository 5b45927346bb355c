// What lumo-directory reads from a caller's request itself (libmicrohttpd parses the rest): the
// target, split into a percent-decoded path and query parameters, and the Accept-Encoding and
// If-None-Match values that choose a compressed or an unchanged reply. Input: the target, then
// one line each for the two header values.
#include "fuzz_support.h"

#include "http_server.h"
#include "list_reply.h"

#include <map>
#include <string>

using namespace lumo::directory;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t first = std::min(text.find('\n'), text.size());
    const std::size_t second = std::min(text.find('\n', std::min(first + 1, text.size())), text.size());
    const std::string target = text.substr(0, first);
    const std::string acceptEncoding = first < text.size() ? text.substr(first + 1, second - first - 1) : std::string();
    const std::string ifNoneMatch = second < text.size() ? text.substr(second + 1) : std::string();

    std::string path;
    std::multimap<std::string, std::string> params;
    parseTarget(target, path, params);
    // Decoding never grows the text: every key, value and the path fit in the target.
    FUZZ_CHECK(path.size() <= target.size());
    std::size_t decoded = 0;
    for (const auto& [key, value] : params) decoded += key.size() + value.size();
    FUZZ_CHECK(decoded <= target.size());
    FUZZ_CHECK(percentDecode(percentDecode("%41+%zz%4", true), false) == "A %zz%4");

    (void)acceptsGzip(acceptEncoding);
    (void)etagMatches(ifNoneMatch, "W/\"5f3a-1\"");
    FUZZ_CHECK(etagMatches("*", "W/\"1\""));  // "*" matches any current list
    return 0;
}
