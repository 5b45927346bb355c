// Runs the directory's HTTP requests on a thread of their own, one after another in the order
// they were posted, so that a slow or silent directory never holds up the window thread (and
// with it the group's datagrams). Each request's conclusion runs afterwards on the thread of a
// receiving QObject.
#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace lumo {

class RequestThread {
public:
    RequestThread();
    // Waits for the request under way; requests not yet started are dropped.
    ~RequestThread();
    RequestThread(const RequestThread&) = delete;
    RequestThread& operator=(const RequestThread&) = delete;

    // Runs work on the request thread, then queues done to receiver's thread. receiver must
    // outlive this object (the owner destroys the thread first).
    void post(std::function<void()> work, QObject* receiver, std::function<void()> done);
    // Blocks until every request posted so far has run (their conclusions may still be queued).
    void waitIdle();
    // Drops the requests not yet started and waits for the one under way.
    void dropQueuedAndWait();

private:
    struct Job {
        std::function<void()> work;
        QObject* receiver;
        std::function<void()> done;
    };
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace lumo
