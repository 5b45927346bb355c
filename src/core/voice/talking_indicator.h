// Who is talking right now, from when each member's voice records arrive: a member shows as
// talking from its first record until ClearAfterMs pass without one. Records come every 60 ms,
// so a lost or late record or two keeps the indicator on, and it is off well within 300 ms of
// the last record. Time is passed in (ms on any steady clock).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace lumo {

class TalkingIndicator {
public:
    static constexpr std::int64_t ClearAfterMs = 240;

    // A voice record of `memberId` arrived at `nowMs`. True when the member was not shown as
    // talking before (the indicator goes on). Ids outside 0..MaxMembers-1 are ignored.
    bool heard(int memberId, std::int64_t nowMs);
    // The members whose indicator goes off at `nowMs`, in id order.
    std::vector<int> expire(std::int64_t nowMs);
    // When expire() next has something to do; none while nobody is shown talking.
    std::optional<std::int64_t> nextDeadline() const;
    bool talking(int memberId) const;
    // Everyone off (the roster changed, the group was left): the members that were on.
    std::vector<int> clear();

    static constexpr int MaxMembers = 128;

private:
    struct Talker {
        int memberId;
        std::int64_t lastMs;
    };
    std::vector<Talker> talkers_;  // at most MaxMembers, one per member
};

}  // namespace lumo
