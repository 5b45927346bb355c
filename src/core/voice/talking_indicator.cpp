#include "core/voice/talking_indicator.h"

#include <algorithm>

namespace lumo {

bool TalkingIndicator::heard(int memberId, std::int64_t nowMs)
{
    if (memberId < 0 || memberId >= MaxMembers) return false;
    for (Talker& talker : talkers_)
        if (talker.memberId == memberId) {
            // A record that arrives out of order never moves the last one back.
            talker.lastMs = std::max(talker.lastMs, nowMs);
            return false;
        }
    talkers_.push_back({memberId, nowMs});
    return true;
}

std::vector<int> TalkingIndicator::expire(std::int64_t nowMs)
{
    std::vector<int> off;
    for (const Talker& talker : talkers_)
        if (nowMs - talker.lastMs >= ClearAfterMs) off.push_back(talker.memberId);
    std::erase_if(talkers_, [nowMs](const Talker& talker) { return nowMs - talker.lastMs >= ClearAfterMs; });
    std::sort(off.begin(), off.end());
    return off;
}

std::optional<std::int64_t> TalkingIndicator::nextDeadline() const
{
    std::optional<std::int64_t> next;
    for (const Talker& talker : talkers_)
        if (!next || talker.lastMs + ClearAfterMs < *next) next = talker.lastMs + ClearAfterMs;
    return next;
}

bool TalkingIndicator::talking(int memberId) const
{
    return std::any_of(talkers_.begin(), talkers_.end(), [memberId](const Talker& t) { return t.memberId == memberId; });
}

std::vector<int> TalkingIndicator::clear()
{
    std::vector<int> off;
    for (const Talker& talker : talkers_) off.push_back(talker.memberId);
    talkers_.clear();
    std::sort(off.begin(), off.end());
    return off;
}

}  // namespace lumo
