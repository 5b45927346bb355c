// The directory's request plumbing apart from HTTP itself: which connections are served or
// refused (and with which cause), how the writes reach the store in batches, how a target is
// read.
#include "connection_limits.h"
#include "http_server.h"
#include "store_writer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

using namespace lumo::directory;

namespace {

using Admission = ConnectionLimits::Admission;

// A store whose batches wait until released, and which records their sizes.
class RecordingStore final : public GroupStore {
public:
    std::vector<AddResult> addBatch(const std::vector<AddRequest>& requests) override
    {
        std::unique_lock lock(mutex_);
        batches_.push_back(requests.size());
        const std::size_t index = batches_.size();
        ++arrived_;
        mostAtOnce_ = std::max(mostAtOnce_, ++running_);
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_ >= index; });
        lock.unlock();
        std::this_thread::yield();  // room for another batch to start, if the writer allowed one
        lock.lock();
        --running_;
        std::vector<AddResult> results;
        for (const auto& r : requests) results.push_back(r.name == "refused" ? AddResult::Full : AddResult::Added);
        return results;
    }
    bool remove(const std::string&, int, Millis) override { return true; }
    std::vector<Registration> list(Millis, std::size_t) override { return {}; }
    int purge(Millis) override { return 0; }
    std::int64_t generation() override { return 0; }
    bool healthy() override { return true; }

    void waitForBatches(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return arrived_ >= count; });
    }
    void release(std::size_t count)
    {
        std::lock_guard lock(mutex_);
        released_ = count;
        changed_.notify_all();
    }
    std::vector<std::size_t> batches()
    {
        std::lock_guard lock(mutex_);
        return batches_;
    }
    std::size_t mostAtOnce()
    {
        std::lock_guard lock(mutex_);
        return mostAtOnce_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::size_t> batches_;
    std::size_t arrived_ = 0;
    std::size_t released_ = 0;
    std::size_t running_ = 0;
    std::size_t mostAtOnce_ = 0;
};

AddRequest named(const std::string& name)
{
    AddRequest r;
    r.name = name;
    return r;
}

}  // namespace

// Per address first, then in all; a caller past a limit is kept for its 503 while few such
// wait; past those, connections are closed at once. Closing frees the right place.
TEST(ConnectionLimits, ServedRefusedWithTheCauseOrDropped)
{
    ConnectionLimits limits(2, 3, 1, 2);
    struct Step {
        bool open;
        std::string group;
        Admission admission;
    };
    const std::vector<Step> steps{
        {true, "a", Admission::Served},
        {true, "a", Admission::Served},
        {true, "a", Admission::RefusedAddress},
        {true, "a", Admission::Dropped},  // one refusal of "a" waits already
        {true, "b", Admission::Served},
        {true, "c", Admission::RefusedBusy},  // three served in all
        {true, "d", Admission::Dropped},      // two refusals wait in all
        {false, "c", Admission::RefusedBusy},
        {true, "d", Admission::RefusedBusy},
        {false, "a", Admission::Served},
        {true, "e", Admission::Served},
        {false, "a", Admission::RefusedAddress},
        {true, "a", Admission::RefusedBusy},  // "a" is within its own limit again, the total is not
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        if (s.open) EXPECT_EQ(limits.open(s.group), s.admission) << "step " << i;
        else limits.close(s.group, s.admission);
    }
    EXPECT_EQ(limits.served(), 3u);
    EXPECT_EQ(limits.refused(), 2u);
    EXPECT_EQ(limits.ceiling(), 5u);
}

// One add alone goes to the store at once; adds that queue behind a busy store go as one batch
// (however many threads the writer has), and each gets its own result.
TEST(StoreWriter, AddsQueuedBehindABusyStoreGoTogether)
{
    RecordingStore store;
    std::vector<std::promise<GroupStore::AddResult>> promises(6);
    std::vector<std::future<GroupStore::AddResult>> results;
    for (auto& p : promises) results.push_back(p.get_future());
    bool ran = false;
    {
        StoreWriter writer(store, 3, 4);
        writer.add(named("first"), [&](GroupStore::AddResult r) { promises[0].set_value(r); });
        store.waitForBatches(1);
        for (std::size_t i = 1; i < promises.size(); ++i)
            writer.add(named(i == 2 ? "refused" : "more"), [&, i](GroupStore::AddResult r) { promises[i].set_value(r); });
        writer.run([&] { ran = true; });
        store.release(3);
    }  // the writer runs what is queued before it ends
    EXPECT_TRUE(ran);
    EXPECT_EQ(store.batches(), (std::vector<std::size_t>{1, 4, 1}));  // at most four at a time
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i].get(), i == 2 ? GroupStore::AddResult::Full : GroupStore::AddResult::Added);
}

// Many adds from many threads: each result reaches its own request, and batches never overlap.
TEST(StoreWriter, ResultsReachTheirOwnRequestsOneBatchAtATime)
{
    RecordingStore store;
    store.release(1000);
    StoreWriter writer(store, 4, 3);
    std::vector<std::future<GroupStore::AddResult>> futures;
    std::vector<std::shared_ptr<std::promise<GroupStore::AddResult>>> promises;
    for (int i = 0; i < 300; ++i) {
        promises.push_back(std::make_shared<std::promise<GroupStore::AddResult>>());
        futures.push_back(promises.back()->get_future());
        writer.add(named(i % 3 == 0 ? "refused" : "kept"), [p = promises.back()](GroupStore::AddResult r) { p->set_value(r); });
    }
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(futures[static_cast<std::size_t>(i)].get(),
                  i % 3 == 0 ? GroupStore::AddResult::Full : GroupStore::AddResult::Added);
    EXPECT_EQ(store.mostAtOnce(), 1u);
}

TEST(RequestTarget, PathAndQueryArePercentDecoded)
{
    struct Case {
        std::string target;
        std::string path;
        std::multimap<std::string, std::string> params;
    };
    const std::vector<Case> cases{
        {"/lumo.asp", "/lumo.asp", {}},
        {"/lumoadd.asp?name=%C8%BA+1&ip=127.0.0.1&port=3555", "/lumoadd.asp",
         {{"name", "\xC8\xBA 1"}, {"ip", "127.0.0.1"}, {"port", "3555"}}},
        {"/a%20b+c?x&=y&&z=%zz%4", "/a b+c", {{"x", ""}, {"", "y"}, {"z", "%zz%4"}}},
        {"/p?k=1&k=2", "/p", {{"k", "1"}, {"k", "2"}}},
    };
    for (const Case& c : cases) {
        std::string path;
        std::multimap<std::string, std::string> params;
        parseTarget(c.target, path, params);
        EXPECT_EQ(path, c.path) << c.target;
        EXPECT_EQ(params, c.params) << c.target;
    }
    HttpRequest request;
    parseTarget("/p?k=1&k=2", request.path, request.params);
    EXPECT_EQ(request.param("k"), "1");  // the first value given counts
}
