// Which connections the directory serves: at most perAddress open connections from one address
// (an IPv6 /64 counts as one) and `total` in all. A connection past either limit is still taken,
// so that its caller reads a 503 that names the cause instead of a reset, but only a few such
// per address and in all wait for their request at once; past those, connections are closed
// unanswered (a caller that opens that many is not an honest one). Pure bookkeeping: the server
// asks it as connections open and close.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace lumo::directory {

class ConnectionLimits {
public:
    enum class Admission {
        Served,           // within the limits
        RefusedAddress,   // answered 503: too many connections from this address
        RefusedBusy,      // answered 503: too many connections in all
        Dropped,          // closed at once
    };

    ConnectionLimits(std::size_t perAddress, std::size_t total, std::size_t refusalsPerAddress = 4,
                     std::size_t refusals = 64)
        : perAddress_(perAddress), total_(total), refusalsPerAddress_(refusalsPerAddress), refusals_(refusals)
    {
    }

    // What a connection opened from `group` would get now.
    Admission judge(const std::string& group) const
    {
        const auto it = counts_.find(group);
        const Count count = it == counts_.end() ? Count{} : it->second;
        Admission admission = Admission::Served;
        if (count.served >= perAddress_) admission = Admission::RefusedAddress;
        else if (served_ >= total_) admission = Admission::RefusedBusy;
        if (admission != Admission::Served && (count.refused >= refusalsPerAddress_ || refused_ >= refusals_))
            return Admission::Dropped;
        return admission;
    }

    // What a connection opened from `group` gets. Only a Dropped one is not counted.
    Admission open(const std::string& group)
    {
        const Admission admission = judge(group);
        if (admission == Admission::Dropped) return admission;
        Count& count = counts_[group];
        if (admission == Admission::Served) {
            ++count.served;
            ++served_;
        } else {
            ++count.refused;
            ++refused_;
        }
        return admission;
    }

    // A connection that open() counted has closed.
    void close(const std::string& group, Admission admission)
    {
        const auto it = counts_.find(group);
        if (it == counts_.end() || admission == Admission::Dropped) return;
        if (admission == Admission::Served) {
            --it->second.served;
            --served_;
        } else {
            --it->second.refused;
            --refused_;
        }
        if (it->second.served == 0 && it->second.refused == 0) counts_.erase(it);
    }

    std::size_t served() const { return served_; }
    std::size_t refused() const { return refused_; }
    // The most connections open at once: the served ones and those waiting for their refusal.
    std::size_t ceiling() const { return total_ + refusals_; }

private:
    struct Count {
        std::size_t served = 0;
        std::size_t refused = 0;
    };

    const std::size_t perAddress_;
    const std::size_t total_;
    const std::size_t refusalsPerAddress_;
    const std::size_t refusals_;
    std::unordered_map<std::string, Count> counts_;
    std::size_t served_ = 0;
    std::size_t refused_ = 0;
};

}  // namespace lumo::directory
