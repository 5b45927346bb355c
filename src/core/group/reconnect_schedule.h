// When to join the group again by itself after the host stopped answering or the network under
// this client changed: waits that double from 1 s up to 30 s (1, 2, 4, 8, 16, 30, 30, ...), until a
// join succeeds or the player takes over ("连接", or leaving). The network's identity (the local
// addresses and the default route) is compared here too, so that a change is noticed without the
// program reading anything twice. Time is passed in; nothing here sleeps or reads a clock.
#pragma once

#include "core/wire/wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

class ReconnectSchedule {
public:
    using Millis = std::int64_t;
    static constexpr Millis FirstWaitMs = 1000;
    static constexpr Millis LongestWaitMs = 30000;

    // The group was lost at `now`: the first attempt comes FirstWaitMs later. Lost again while
    // already retrying (the network changed once more) starts the waits over.
    void lost(Millis now);
    // A join succeeded, the player pressed "连接" or left: no more attempts.
    void stop();
    bool active() const { return next_.has_value(); }
    // When the next attempt is due; nullopt while not retrying.
    std::optional<Millis> nextAttempt() const { return next_; }
    // True when an attempt is due at `now`; the one after it is then planned with a doubled wait.
    bool attemptDue(Millis now);
    // How many attempts were made since the loss.
    int attempts() const { return attempts_; }
    // The whole seconds left until the next attempt, rounded up (for the status line).
    int secondsUntilNext(Millis now) const;

private:
    std::optional<Millis> next_;
    Millis wait_ = FirstWaitMs;
    int attempts_ = 0;
};

// What identifies the network this client sits on: its IPv4 addresses (loopback left out) and
// the default route's interface and gateway. A change of either means the host may no longer
// know where this client is, and the routers on the way have forgotten its flows.
struct NetworkIdentity {
    std::vector<Ipv4> addresses;  // sorted
    std::string defaultRoute;     // "interface gateway", empty when there is none

    bool operator==(const NetworkIdentity&) const = default;
};

// The default route of a Linux routing table in the text form of /proc/net/route: the first
// line whose destination and mask are both zero, as "interface gateway-in-hex"; empty when there
// is none. Malformed lines are skipped; at most `maxLines` lines are read.
std::string defaultRouteOf(std::string_view procNetRoute, std::size_t maxLines = 4096);

// The identity from the addresses found and the routing table's text.
NetworkIdentity networkIdentity(std::vector<Ipv4> addresses, std::string_view procNetRoute);

}  // namespace lumo
