#include "list_publisher.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace lumo::directory {

ListPublisher::ListPublisher(GroupStore& store, std::size_t cap, std::chrono::milliseconds interval)
    : store_(store), cap_(cap), interval_(interval)
{
}

ListPublisher::~ListPublisher() { stop(); }

void ListPublisher::written(const std::string& writer)
{
    std::lock_guard lock(mutex_);
    lastWrite_[writer] = ++writes_;
    unrendered_.store(lastWrite_.size(), std::memory_order_release);
    wake_.notify_all();
}

bool ListPublisher::lacksWriteOf(const std::string& writer)
{
    if (unrendered_.load(std::memory_order_acquire) == 0) return false;  // the common case, without the lock
    std::lock_guard lock(mutex_);
    if (stopping_) return false;  // no rendering will come: the last one is the answer
    const auto it = lastWrite_.find(writer);
    return it != lastWrite_.end() && it->second > rendered_;
}

void ListPublisher::whenCarries(const std::string& writer, std::function<void()> ready)
{
    {
        std::lock_guard lock(mutex_);
        const auto it = lastWrite_.find(writer);
        if (!stopping_ && it != lastWrite_.end() && it->second > rendered_) {
            waiting_.emplace_back(it->second, std::move(ready));
            return;
        }
    }
    ready();
}

void ListPublisher::release(std::uint64_t upTo)
{
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard lock(mutex_);
        rendered_ = std::max(rendered_, upTo);
        std::erase_if(lastWrite_, [&](const auto& entry) { return entry.second <= rendered_; });
        unrendered_.store(lastWrite_.size(), std::memory_order_release);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->first <= rendered_) {
                ready.push_back(std::move(it->second));
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& r : ready) r();
}

bool ListPublisher::refresh(Millis now)
{
    std::lock_guard rendering(renderMutex_);
    std::uint64_t writes = 0;
    {
        std::lock_guard lock(mutex_);
        writes = writes_;
    }
    const std::int64_t generation = store_.generation();
    const bool have = current_.load() != nullptr;
    if (generation < 0 && have) {
        release(writes);
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        if (have && generation == generation_ && now < validUntil_ && rendered_ >= writes) return false;
    }
    const auto groups = store_.list(now, cap_);
    Millis validUntil = std::numeric_limits<Millis>::max();
    for (const auto& g : groups) validUntil = std::min(validUntil, g.expires);
    current_.store(renderList(groups));
    generation_ = generation;
    validUntil_ = validUntil;
    ++renders_;
    release(writes);
    return true;
}

bool ListPublisher::polish()
{
    std::lock_guard rendering(renderMutex_);
    const auto list = current_.load();
    if (!list || list->best) return false;
    current_.store(recompressed(*list));
    return true;
}

void ListPublisher::start(std::function<Millis()> clock, std::function<void()> housekeeping)
{
    thread_ = std::thread([this, clock = std::move(clock), housekeeping = std::move(housekeeping)] {
        loop(clock, housekeeping);
    });
}

void ListPublisher::loop(const std::function<Millis()>& clock, const std::function<void()>& housekeeping)
{
    // Rendering is background work: when the cores are busy, the thread answering requests
    // goes first.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    using Clock = std::chrono::steady_clock;
    auto lastTick = Clock::now();
    auto lastRender = lastTick - interval_;
    auto nextHousekeeping = lastTick;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        // Every interval a look at the store; a write of this process is rendered sooner, but
        // no sooner than an interval after the last rendering.
        const bool pending = writes_ > rendered_;
        auto due = lastTick + interval_;
        if (pending) due = std::min(due, lastRender + interval_);
        if (Clock::now() < due) {
            wake_.wait_until(lock, due, [&] { return stopping_ || (!pending && writes_ > rendered_); });
            continue;
        }
        lock.unlock();
        lastTick = Clock::now();
        if (refresh(clock())) lastRender = lastTick;
        else if (lastTick - lastRender >= std::chrono::seconds(1)) polish();
        if (Clock::now() >= nextHousekeeping) {
            housekeeping();
            nextHousekeeping = Clock::now() + std::chrono::seconds(1);
        }
        lock.lock();
    }
}

void ListPublisher::stop()
{
    std::uint64_t writes = 0;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        writes = writes_;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    release(writes);
}

}  // namespace lumo::directory
