// The group lines of the list reply, rendered once and kept until the store changes: by this
// process, by another process on the same store (its generation moves), or by time (the first
// listed registration expires).
#pragma once

#include "group_store.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

namespace lumo::directory {

// The state text every listed group shows: "在线" (online) in GBK.
inline constexpr const char* OnlineState = "\xD4\xDA\xCF\xDF";

// One line per group, every field followed by one space, lines ending in CR LF.
inline std::string renderGroupLines(const std::vector<Registration>& groups)
{
    std::size_t size = 0;
    for (const auto& g : groups) size += g.name.size() + g.ip.size() + 48;
    std::string out;
    out.reserve(size);
    for (const auto& g : groups) {
        out.append(std::to_string(g.id)).push_back(' ');
        out.append(g.name).push_back(' ');
        out.append(g.ip).push_back(' ');
        out.append(std::to_string(g.port)).push_back(' ');
        out.append(OnlineState).append(" \r\n");
    }
    return out;
}

// Renders lazily: a write of this process only marks the lines stale, and the next list
// request renders them (once, however many writes came before), so a run of registrations
// costs no rendering at all and a player who just registered sees the group on the next list.
// Changes by other processes and expiries are found by refreshIfStale(), which the
// housekeeping thread calls ten times a second, off the thread that serves the requests.
class ListCache {
public:
    ListCache(GroupStore& store, std::size_t cap) : store_(store), cap_(cap) {}

    // The lines, rendered anew first if this process wrote to the store since.
    std::shared_ptr<const std::string> lines(Millis now)
    {
        {
            std::lock_guard lock(mutex_);
            if (lines_ && renderedWrites_ == writes_.load()) return lines_;
        }
        render(now);
        std::lock_guard lock(mutex_);
        return lines_;
    }

    // This process changed the store.
    void markStale() { ++writes_; }

    // Renders anew unless nothing was written since the last rendering.
    void render(Millis now)
    {
        std::lock_guard rendering(renderMutex_);
        const std::uint64_t writes = writes_.load();
        {
            std::lock_guard lock(mutex_);
            if (lines_ && renderedWrites_ == writes) return;
        }
        const std::int64_t generation = store_.generation();
        if (generation < 0) {
            // A store that does not answer: the last lines stay (refreshIfStale() renders once
            // it answers again, as its generation will differ).
            std::lock_guard lock(mutex_);
            if (lines_) {
                renderedWrites_ = writes;
                return;
            }
        }
        renderLocked(now, generation, writes);
    }

    // Renders anew if the store changed (through any process) or a listed group expired; keeps
    // the last lines while the store does not answer. Returns whether it rendered.
    bool refreshIfStale(Millis now)
    {
        std::lock_guard rendering(renderMutex_);
        const std::uint64_t writes = writes_.load();
        const std::int64_t generation = store_.generation();
        if (generation < 0) return false;
        {
            std::lock_guard lock(mutex_);
            if (lines_ && generation == generation_ && now < validUntil_ && renderedWrites_ == writes) return false;
        }
        renderLocked(now, generation, writes);
        return true;
    }

    // How often the lines were rendered (for tests and the benchmark's report).
    std::size_t renders() const
    {
        std::lock_guard lock(mutex_);
        return renders_;
    }

private:
    void renderLocked(Millis now, std::int64_t generation, std::uint64_t writes)
    {
        const auto groups = store_.list(now, cap_);
        Millis validUntil = std::numeric_limits<Millis>::max();
        for (const auto& g : groups) validUntil = std::min(validUntil, g.expires);
        auto lines = std::make_shared<const std::string>(renderGroupLines(groups));
        std::lock_guard lock(mutex_);
        lines_ = std::move(lines);
        generation_ = generation;
        validUntil_ = validUntil;
        renderedWrites_ = writes;
        ++renders_;
    }

    GroupStore& store_;
    const std::size_t cap_;
    std::atomic<std::uint64_t> writes_{0};
    std::mutex renderMutex_;  // one rendering at a time, so a newer list is never overwritten
    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> lines_;
    std::uint64_t renderedWrites_ = 0;
    std::int64_t generation_ = -1;
    Millis validUntil_ = 0;
    std::size_t renders_ = 0;
};

}  // namespace lumo::directory
