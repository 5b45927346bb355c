// HttpClient over libcurl's easy interface: one fresh handle per request, synchronous, with
// the time-outs of the caller's limits. Proxies come from the usual environment variables.
#pragma once

#include "directory/http_client.h"

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
    std::string sourceAddress_;
};

}  // namespace lumo
