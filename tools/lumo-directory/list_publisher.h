// The list every list request is answered from: rendered (and compressed) off the event thread,
// at most once per short interval however many writes come, and swapped in whole, so a request
// only ever takes the current rendering. It is rendered anew when this process wrote to the store,
// when another process changed it (its generation moved) or when a listed group expired.
//
// A caller sees its own writes: after a write made for an address, that address's next list
// request waits for the rendering that carries it (at most an interval and a rendering), while
// every other caller is answered at once.
#pragma once

#include "group_store.h"
#include "list_reply.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace lumo::directory {

class ListPublisher {
public:
    ListPublisher(GroupStore& store, std::size_t cap, std::chrono::milliseconds interval = std::chrono::milliseconds(100));
    ~ListPublisher();
    ListPublisher(const ListPublisher&) = delete;
    ListPublisher& operator=(const ListPublisher&) = delete;

    // The current rendering (null before the first).
    std::shared_ptr<const RenderedList> current() const { return current_.load(); }

    // This process changed the store for a caller from `writer` (an address group).
    void written(const std::string& writer);
    // True when `writer` has a write the current rendering lacks.
    bool lacksWriteOf(const std::string& writer);
    // Runs `ready` once a rendering carries every write of `writer`: at once (here) when the
    // current one does, otherwise on the rendering thread.
    void whenCarries(const std::string& writer, std::function<void()> ready);

    // Renders anew if this process wrote since, the store's generation moved or a listed group
    // expired; a store that does not answer leaves the last rendering (and releases those who
    // wait, with it). Returns whether it rendered.
    bool refresh(Millis now);

    // Compresses the current rendering at the best level, unless it is already. Returns whether
    // it did.
    bool polish();

    // Keeps the list current on a thread of its own: after a write of this process (no sooner
    // than the interval after the last rendering) and at every interval; a list unchanged for
    // a second is compressed at the best level. `housekeeping` runs on the same thread about
    // once a second.
    void start(std::function<Millis()> clock, std::function<void()> housekeeping);
    // Ends the thread and releases whoever waits, with the current rendering; from then on
    // nobody waits.
    void stop();

    std::size_t renders() const { return renders_.load(); }

private:
    void release(std::uint64_t upTo);
    void loop(const std::function<Millis()>& clock, const std::function<void()>& housekeeping);

    GroupStore& store_;
    const std::size_t cap_;
    const std::chrono::milliseconds interval_;
    std::atomic<std::shared_ptr<const RenderedList>> current_;
    std::atomic<std::size_t> renders_{0};

    std::mutex renderMutex_;  // one rendering at a time, so a newer list is never overwritten
    std::int64_t generation_ = -1;
    Millis validUntil_ = 0;

    std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    std::uint64_t writes_ = 0;
    std::uint64_t rendered_ = 0;  // the writes the current rendering carries
    std::unordered_map<std::string, std::uint64_t> lastWrite_;  // by writer, while not yet rendered
    std::atomic<std::size_t> unrendered_{0};                    // lastWrite_.size(), read without the lock
    std::vector<std::pair<std::uint64_t, std::function<void()>>> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace lumo::directory
