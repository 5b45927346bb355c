// Request rate limits per caller address: a token bucket per address, refilled at `rate` tokens
// a second up to `burst`. Pure logic, the time is given by the caller. The table is bounded:
// when it grows past its size, buckets that are full again (idle callers) are forgotten; if that
// is not enough the table starts afresh, which only ever errs towards letting requests through.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace lumo::directory {

class RateLimiter {
public:
    // rate 0 turns limiting off.
    RateLimiter(double ratePerSecond, double burst, std::size_t maxAddresses = 100000)
        : rate_(ratePerSecond), burst_(burst < 1 ? 1 : burst), maxAddresses_(maxAddresses)
    {
    }

    // True when the request may go ahead. Otherwise retryAfterMs says when the next one would.
    bool allow(const std::string& address, std::int64_t nowMs, std::int64_t& retryAfterMs)
    {
        retryAfterMs = 0;
        if (rate_ <= 0) return true;
        std::lock_guard lock(mutex_);
        if (buckets_.size() >= maxAddresses_ && !buckets_.count(address)) forgetIdle(nowMs);
        auto [it, inserted] = buckets_.try_emplace(address, Bucket{burst_, nowMs});
        Bucket& bucket = it->second;
        if (!inserted) {
            const double elapsed = static_cast<double>(nowMs - bucket.updated) / 1000.0;
            if (elapsed > 0) bucket.tokens = std::min(burst_, bucket.tokens + elapsed * rate_);
            bucket.updated = std::max(bucket.updated, nowMs);
        }
        if (bucket.tokens >= 1) {
            bucket.tokens -= 1;
            return true;
        }
        retryAfterMs = static_cast<std::int64_t>((1 - bucket.tokens) / rate_ * 1000.0) + 1;
        return false;
    }

    std::size_t size() const
    {
        std::lock_guard lock(mutex_);
        return buckets_.size();
    }

private:
    struct Bucket {
        double tokens;
        std::int64_t updated;
    };

    void forgetIdle(std::int64_t nowMs)
    {
        for (auto it = buckets_.begin(); it != buckets_.end();) {
            const double elapsed = static_cast<double>(nowMs - it->second.updated) / 1000.0;
            if (it->second.tokens + elapsed * rate_ >= burst_) it = buckets_.erase(it);
            else ++it;
        }
        if (buckets_.size() >= maxAddresses_) buckets_.clear();
    }

    const double rate_;
    const double burst_;
    const std::size_t maxAddresses_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace lumo::directory
