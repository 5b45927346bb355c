// The one HTTP operation the directory needs: a GET whose body is read whole. Behind an
// interface so the group browser and the directory flows can be tested without a network.
// Implementations may be called from a thread other than the window's, one request at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace lumo {

struct HttpLimits {
    std::chrono::milliseconds connectTimeout{3000};
    std::chrono::milliseconds totalTimeout{5000};  // whole request, reply included
    std::size_t maxBodyBytes = 1024 * 1024;
};

struct HttpReply {
    // False when the URL could not be opened or the reply could not be read to its end (refused,
    // unresolvable, timed out, broken off, larger than allowed). The status code does not count:
    // an error page is a body like any other.
    bool opened = false;
    std::string body;
    // Set (with opened false) when the body was refused for passing maxBodyBytes.
    bool tooLarge = false;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    virtual HttpReply get(const std::string& url, const HttpLimits& limits) = 0;
};

}  // namespace lumo
