#include "store_writer.h"

#include <algorithm>

namespace lumo::directory {

StoreWriter::StoreWriter(GroupStore& store, int threads, std::size_t maxBatch)
    : store_(store), maxBatch_(std::max<std::size_t>(1, maxBatch))
{
    for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { loop(); });
}

StoreWriter::~StoreWriter() { stop(); }

void StoreWriter::add(AddRequest request, AddDone done)
{
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            adds_.push_back({std::move(request), std::move(done)});
            wake_.notify_one();
            return;
        }
    }
    done(store_.add(request));
}

void StoreWriter::run(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            work_.push_back(std::move(work));
            wake_.notify_one();
            return;
        }
    }
    work();
}

void StoreWriter::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
    threads_.clear();
}

void StoreWriter::loop()
{
    std::unique_lock lock(mutex_);
    while (true) {
        const auto mayAdd = [this] { return !adds_.empty() && !adding_; };
        wake_.wait(lock, [&] { return stopping_ || !work_.empty() || mayAdd(); });
        if (!work_.empty()) {
            auto work = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            work();
            lock.lock();
            continue;
        }
        if (!mayAdd()) return;  // stopping; adds still queued are the adding thread's

        adding_ = true;
        std::vector<Add> batch;
        while (!adds_.empty() && batch.size() < maxBatch_) {
            batch.push_back(std::move(adds_.front()));
            adds_.pop_front();
        }
        lock.unlock();
        std::vector<AddRequest> requests;
        requests.reserve(batch.size());
        for (const auto& a : batch) requests.push_back(a.request);
        const auto results = store_.addBatch(requests);
        for (std::size_t i = 0; i < batch.size(); ++i)
            batch[i].done(i < results.size() ? results[i] : GroupStore::AddResult::Failed);
        lock.lock();
        adding_ = false;
        wake_.notify_all();
    }
}

}  // namespace lumo::directory
