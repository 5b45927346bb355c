// A directory for in-process main windows that lists no groups, so that their group browsers
// stay quiet in tests that are about something else.
#pragma once

#include "directory/http_client.h"

#include <mutex>
#include <string>
#include <vector>

namespace lumo::test {

class QuietDirectory : public HttpClient {
public:
    // Called from the group browser's request thread.
    HttpReply get(const std::string& url, const HttpLimits&) override
    {
        std::lock_guard lock(mutex);
        requests.push_back(url);
        return {true, "myserverlist\r\n0.0.0.0 \r\n"};
    }
    std::mutex mutex;
    std::vector<std::string> requests;
};

}  // namespace lumo::test
