#include "core/group/reconnect_schedule.h"

#include <algorithm>

namespace lumo {

void ReconnectSchedule::lost(Millis now)
{
    wait_ = FirstWaitMs;
    attempts_ = 0;
    next_ = now + wait_;
}

void ReconnectSchedule::stop()
{
    next_.reset();
    attempts_ = 0;
    wait_ = FirstWaitMs;
}

bool ReconnectSchedule::attemptDue(Millis now)
{
    if (!next_ || now < *next_) return false;
    ++attempts_;
    wait_ = std::min(wait_ * 2, LongestWaitMs);
    // Planned from now, not from the missed time: a program that was suspended does not fire a
    // burst of overdue attempts.
    next_ = now + wait_;
    return true;
}

int ReconnectSchedule::secondsUntilNext(Millis now) const
{
    if (!next_) return 0;
    const Millis left = std::max<Millis>(0, *next_ - now);
    return int((left + 999) / 1000);
}

namespace {

std::vector<std::string_view> fieldsOf(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size() && fields.size() < 16) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
        if (at > start) fields.push_back(line.substr(start, at - start));
    }
    return fields;
}

}  // namespace

std::string defaultRouteOf(std::string_view table, std::size_t maxLines)
{
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the first line is the
    // header, whose destination column is not "00000000".
    for (std::size_t line = 0; line < maxLines && !table.empty(); ++line) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        const std::vector<std::string_view> fields = fieldsOf(table.substr(0, end));
        table.remove_prefix(std::min(end + 1, table.size()));
        if (fields.size() < 8) continue;
        if (fields[1] == "00000000" && fields[7] == "00000000")
            return std::string(fields[0]) + ' ' + std::string(fields[2]);
    }
    return {};
}

NetworkIdentity networkIdentity(std::vector<Ipv4> addresses, std::string_view procNetRoute)
{
    std::erase_if(addresses, [](Ipv4 a) { return (a >> 24) == 127; });
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return {std::move(addresses), defaultRouteOf(procNetRoute)};
}

}  // namespace lumo
