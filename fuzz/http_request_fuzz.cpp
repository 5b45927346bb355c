// A request head as lumo-directory's HTTP server reads it from any caller: it is refused with a
// status, or it is a GET or HEAD of a path with a decoded query, and never more.
#include "fuzz_support.h"

#include "http_server.h"

#include <string>

using namespace lumo::directory;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const RequestHead head = parseRequestHead(text);
    if (head.refuse != 0) {
        FUZZ_CHECK(head.refuse == 400 || head.refuse == 405 || head.refuse == 413 || head.refuse == 431 ||
                   head.refuse == 505);
        return 0;
    }
    const HttpRequest& request = head.request;
    FUZZ_CHECK(request.method == "GET" || request.method == "HEAD");
    FUZZ_CHECK(!request.target.empty() && request.target[0] == '/');
    FUZZ_CHECK(request.target.size() <= text.size());
    FUZZ_CHECK(request.path.size() <= request.target.size());
    std::size_t decoded = 0;
    for (const auto& [key, value] : request.params) decoded += key.size() + value.size();
    FUZZ_CHECK(decoded <= request.target.size());
    FUZZ_CHECK(percentDecode(percentDecode("%41+%zz%4", true), false) == "A %zz%4");
    return 0;
}
