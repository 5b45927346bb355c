// The group lines of the list reply, rendered once and kept until the store changes: by this
// process (invalidate()), by another process on the same store (its generation moves; looked at
// no more often than every checkIntervalMs), or by time (the first listed registration expires).
#pragma once

#include "group_store.h"

#include <algorithm>
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

class ListCache {
public:
    ListCache(GroupStore& store, std::size_t cap, Millis checkIntervalMs)
        : store_(store), cap_(cap), checkInterval_(checkIntervalMs)
    {
    }

    std::shared_ptr<const std::string> lines(Millis now)
    {
        std::lock_guard lock(mutex_);
        if (lines_ && now < validUntil_) {
            if (now - checkedAt_ < checkInterval_) return lines_;
            checkedAt_ = now;
            if (store_.generation() == generation_) return lines_;
        }
        generation_ = store_.generation();
        const auto groups = store_.list(now, cap_);
        validUntil_ = std::numeric_limits<Millis>::max();
        for (const auto& g : groups) validUntil_ = std::min(validUntil_, g.expires);
        lines_ = std::make_shared<const std::string>(renderGroupLines(groups));
        checkedAt_ = now;
        ++renders_;
        return lines_;
    }

    void invalidate()
    {
        std::lock_guard lock(mutex_);
        lines_.reset();
    }

    // The store may have changed (a renewal that may carry a new name): the next request asks
    // the store's generation instead of waiting for the check interval, and renders anew only
    // if it moved.
    void recheck()
    {
        std::lock_guard lock(mutex_);
        checkedAt_ = std::numeric_limits<Millis>::min() / 2;
    }

    // How often the lines were rendered (for tests and the benchmark's report).
    std::size_t renders() const
    {
        std::lock_guard lock(mutex_);
        return renders_;
    }

private:
    GroupStore& store_;
    const std::size_t cap_;
    const Millis checkInterval_;
    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> lines_;
    std::int64_t generation_ = -1;
    Millis validUntil_ = 0;
    Millis checkedAt_ = 0;
    std::size_t renders_ = 0;
};

}  // namespace lumo::directory
