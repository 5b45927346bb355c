// The store's work, off the event thread, on a few threads of its own. Adds are written by one
// thread at a time, and those that queue up meanwhile go together, as one transaction: under
// load the store commits once per batch instead of once per add, and a quiet directory still
// writes each add at once. Other work (removals, the health check, the index page) runs on the
// other threads, one piece at a time, first in line.
#pragma once

#include "group_store.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lumo::directory {

class StoreWriter {
public:
    using AddDone = std::function<void(GroupStore::AddResult)>;

    StoreWriter(GroupStore& store, int threads, std::size_t maxBatch = 64);
    // Runs what is queued, then ends.
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    // `done` runs on a writer thread with the add's result.
    void add(AddRequest request, AddDone done);
    // Runs `work` on a writer thread.
    void run(std::function<void()> work);
    // Runs what is queued, then ends the threads; later work is refused (run at once, inline).
    void stop();

private:
    struct Add {
        AddRequest request;
        AddDone done;
    };
    void loop();

    GroupStore& store_;
    const std::size_t maxBatch_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Add> adds_;
    std::deque<std::function<void()>> work_;
    bool adding_ = false;  // a thread is writing a batch
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace lumo::directory
