// The group directory as the program's HTTP client reaches it, for tests. Every request is
// recorded. Replies come from a script (answer, failToOpen, reply), and once it is used up from
// `otherwise`; without that the directory cannot be reached. While `gated`, a request waits on
// the request thread until the test scripts its reply, so a test can look at the windows while
// a request runs.
#pragma once

#include "directory/http_client.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lumo::test {

class FakeDirectory : public HttpClient {
public:
    // Called on the group browser's request thread.
    HttpReply get(const std::string& url, const HttpLimits&) override
    {
        std::unique_lock lock(mutex_);
        urls_.push_back(url);
        if (duringRequest) {
            lock.unlock();
            duringRequest();
            lock.lock();
        }
        if (gated) scripted_.wait(lock, [this] { return !replies_.empty(); });
        if (replies_.empty()) return otherwise.value_or(HttpReply{});
        HttpReply next = replies_.front();
        replies_.pop_front();
        return next;
    }

    void reply(const HttpReply& next)
    {
        {
            std::lock_guard lock(mutex_);
            replies_.push_back(next);
        }
        scripted_.notify_all();
    }
    void answer(const std::string& body) { reply({true, body}); }
    void failToOpen() { reply({false, {}}); }

    std::vector<std::string> urls() const
    {
        std::lock_guard lock(mutex_);
        return urls_;
    }
    std::size_t requestCount() const
    {
        std::lock_guard lock(mutex_);
        return urls_.size();
    }

    // Set these before the requests they are for.
    std::optional<HttpReply> otherwise;
    std::function<void()> duringRequest;  // runs on the request thread as a request starts
    bool gated = false;

private:
    mutable std::mutex mutex_;
    std::condition_variable scripted_;
    std::deque<HttpReply> replies_;
    std::vector<std::string> urls_;
};

// A directory that lists no groups, so that a main window's group browser stays quiet in tests
// that are about something else.
class QuietDirectory : public FakeDirectory {
public:
    QuietDirectory() { otherwise = HttpReply{true, "myserverlist\r\n0.0.0.0 \r\n"}; }
};

}  // namespace lumo::test
