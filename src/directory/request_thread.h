// Runs the directory's HTTP requests on a thread of their own, one after another in the order
// they were posted, so that a slow or silent directory never holds up the window thread (and
// with it the group's datagrams). Each request's conclusion runs afterwards on the thread of the
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
    // receiver must outlive this object (its owner destroys the thread first).
    explicit RequestThread(QObject* receiver);
    // Waits for the request under way; requests not yet started are dropped.
    ~RequestThread();
    RequestThread(const RequestThread&) = delete;
    RequestThread& operator=(const RequestThread&) = delete;

    // Runs work on the request thread, then queues done to the receiver's thread.
    void post(std::function<void()> work, std::function<void()> done);
    // Blocks until every request posted so far has run (their conclusions may still be queued).
    void waitIdle();
    // Drops the requests not yet started and waits for the one under way.
    void dropQueuedAndWait();

private:
    struct Job {
        std::function<void()> work;
        std::function<void()> done;
    };
    void run();
    // On the receiver's thread: runs the conclusions handed over so far.
    void deliver();

    QObject* const receiver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    // Conclusions pass through here, under mutex_, rather than inside the queued call: the
    // hand-over is then visible to the thread sanitizer, which cannot see into Qt's event queue.
    std::deque<std::function<void()>> finished_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace lumo
