// Runs the directory's HTTP requests on a thread of their own, one after another in the order
// they were posted, so that a slow or silent directory never holds up the window thread (and
// with it the group's datagrams). Each request's conclusion runs afterwards on the thread of the
// receiving QObject.
#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace lumo {

// Lives on the receiver's thread and runs the conclusions there when told to. The request thread
// tells it by the slot's name, so the queued call is made entirely inside Qt: a functor built on
// the request thread and called on the receiver's would be memory the thread sanitizer sees
// written and read on two threads with Qt's (uninstrumented) event queue between them.
class RequestDeliverer : public QObject {
    Q_OBJECT
public:
    explicit RequestDeliverer(std::function<void()> deliver) : deliver_(std::move(deliver)) {}

public slots:
    void deliver() { deliver_(); }

private:
    const std::function<void()> deliver_;
};

class RequestThread {
public:
    // Conclusions run on the receiver's thread.
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

    // Created on the receiver's thread before the request thread starts, destroyed after it ends
    // (with any call to it still queued).
    std::unique_ptr<RequestDeliverer> deliverer_;
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
