// HttpClient over libcurl's easy interface: one fresh handle per request, synchronous, with
// the time-outs of the caller's limits. Proxies come from the usual environment variables.
// Replies may come compressed (curl asks for and decodes every coding it knows; the body limit
// counts the decoded bytes). A reply with an ETag is kept: the next request for the same URL
// sends it in If-None-Match, and a 304 answer is read as that kept reply again.
#pragma once

#include "directory/http_client.h"

#include <map>
#include <mutex>
#include <string>

namespace lumo {

class CurlHttpClient final : public HttpClient {
public:
    // sourceAddress, when not empty, is the local IPv4 address requests leave from. A client
    // bound to one address (several clients on one machine) gives its bind address, so the
    // directory sees it where its peers reach it.
    explicit CurlHttpClient(std::string sourceAddress = {});
    HttpReply get(const std::string& url, const HttpLimits& limits) override;

private:
    struct Kept {
        std::string etag;
        std::string body;
    };
    // The last validated reply of each URL; a few URLs (the list of each directory) at most.
    static constexpr std::size_t MaxKept = 8;

    std::string sourceAddress_;
    std::mutex mutex_;
    std::map<std::string, Kept> kept_;
};

}  // namespace lumo
