// Where a received message goes, and why one was not taken. A datagram is read once
// (readMessage); its message then goes to the part of the client that handles it, and that part
// says whether it took it. A new message (a peer of a newer version speaks more of them) is
// routed here, or dropped as unknown where it has no handler: a plain peer's behaviour.
#pragma once

#include "core/wire/wire.h"

#include <array>
#include <cstdint>

namespace lumo {

// Why a received datagram was not taken.
enum class DropReason {
    None,            // taken
    TooShort,        // shorter than a header
    UnknownMessage,  // a kind and command this client does not speak
    BadLength,       // too short for its message, or a roster whose count does not fit
    UnknownMember,   // names a member outside the roster (or a roster without our own record)
    NotFromHost,     // a host's message from anywhere but port 3555 of the joined host
    NotFromMember,   // a member's message from anywhere but where the roster records that member
    RateLimited,     // its source asks more often than allowed: not even acknowledged
    NotAMember,      // a roster, path or leave request from where no member is recorded
    SourceFull,      // a join from an address that already holds enough records
    RecordHeld,      // a rejoin from another port while the member still answers where recorded
};
inline constexpr std::size_t DropReasonCount = std::size_t(DropReason::RecordHeld) + 1;

// Words for the log.
const char* describe(DropReason reason);
DropReason dropReasonOf(WireFault fault);

// Drops counted by reason.
class DropCountsByReason {
public:
    void add(DropReason reason) { ++counts_[std::size_t(reason)]; }
    std::uint64_t count(DropReason reason) const { return counts_[std::size_t(reason)]; }
    std::uint64_t total() const;

private:
    std::array<std::uint64_t, DropReasonCount> counts_{};
};

// The parts of a client that take messages: requests to a host go to its host table, the rest
// to its member session, whichever socket they came in on.
enum class Handler { HostTable, MemberSession };
Handler handlerOf(Message message);

}  // namespace lumo
