#include "directory/request_thread.h"

#include <QMetaObject>

namespace lumo {

RequestThread::RequestThread(QObject* receiver)
    : deliverer_(std::make_unique<RequestDeliverer>([this] { deliver(); })), thread_([this] { run(); })
{
    if (receiver) deliverer_->moveToThread(receiver->thread());
}

RequestThread::~RequestThread()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void RequestThread::post(std::function<void()> work, std::function<void()> done)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(work), std::move(done)});
    }
    wake_.notify_one();
}

void RequestThread::waitIdle()
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void RequestThread::dropQueuedAndWait()
{
    std::unique_lock lock(mutex_);
    jobs_.clear();
    idle_.wait(lock, [this] { return !busy_; });
}

void RequestThread::deliver()
{
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard lock(mutex_);
        ready.swap(finished_);
    }
    for (auto& done : ready) done();
}

void RequestThread::run()
{
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) break;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        job.work();
        lock.lock();
        if (job.done) {
            finished_.push_back(std::move(job.done));
            QMetaObject::invokeMethod(deliverer_.get(), "deliver", Qt::QueuedConnection);
        }
        busy_ = false;
        if (jobs_.empty()) idle_.notify_all();
    }
    busy_ = false;
    idle_.notify_all();
}

}  // namespace lumo
