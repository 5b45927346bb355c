// The group host receiving a run of requests from up to 64 sources, with the timer's duplicate
// sweep in between where the input asks for it. The host table lives across the datagrams of one
// input. Every roster the host sends is delivered to a member state for that address, as the
// member's socket would receive it: the member must accept it, and after every step each member
// in the host's table holds exactly that table.
#include "fuzz_support.h"

#include "core/group/member_dispatch.h"

#include <algorithm>
#include <array>
#include <map>

using namespace lumo;

namespace {

struct EndpointOrder {
    bool operator()(const Endpoint& a, const Endpoint& b) const
    {
        return a.address != b.address ? a.address < b.address : a.port < b.port;
    }
};
using Members = std::map<Endpoint, MemberState, EndpointOrder>;

// Hands every roster of the reply to its recipient; returns how many there were.
int deliverRosters(const HostReply& reply, Members& members)
{
    int rosters = 0;
    for (const Outgoing& out : reply.sends) {
        if (out.bytes[0] != cmd::RosterUpdate) continue;
        ++rosters;
        MemberState& member = members[out.to];
        const WireRead read = readMessage(out.bytes);
        FUZZ_CHECK(read.message.has_value());
        const MemberDispatch result = dispatchMemberMessage(member, *read.message);
        FUZZ_CHECK(result.action == MemberDispatch::Action::RosterReplaced);
        FUZZ_CHECK(member.ownEntry.id == out.bytes[1]);
    }
    return rosters;
}

// No lost roster: every member in the host's table holds exactly that table, unless a roster to
// it waits for its address's send budget or for the end of its address's join flood.
void checkEveryMemberHoldsTheTable(const HostTable& host, const Members& members)
{
    const Roster& table = host.roster();
    for (int i = 0; i < table.count; ++i) {
        if (host.rosterOwed(i)) continue;
        const auto it = members.find({table.records[i].publicAddress, table.records[i].publicPort});
        FUZZ_CHECK(it != members.end());
        const Roster& held = it->second.groupRoster;
        FUZZ_CHECK(held.count == table.count);
        FUZZ_CHECK(std::equal(table.records.begin(), table.records.begin() + table.count, held.records.begin()));
    }
}

bool isRequest(ByteView datagram)
{
    const auto header = readHeader(datagram);
    if (!header || header->kind != static_cast<std::uint8_t>(Kind::ToHost)) return false;
    const auto message = identify(*header);
    return message && lengthFits(*message, datagram);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    HostTable host;
    Members members;
    Millis now = 0;

    while (!input.empty()) {
        const auto [control, datagram] = input.datagram();
        const Endpoint source = fuzz::sourceOf(control);
        // Time moves on between datagrams by 0, 100, 1,000 or 5,000 ms (bits 6-7 of the control
        // byte; bit 6 also asks for the sweep), so the rate limits both bite and refill.
        now += std::array<Millis, 4>{0, 100, 1000, 5000}[(control >> 6) & 3];

        const int countBefore = host.roster().count;
        const std::uint64_t limitedBefore = host.dropCounts().count(DropReason::RateLimited);
        const HostReply reply = host.handle(datagram, source, now);
        const Roster& table = host.roster();
        fuzz::checkTable(table);
        fuzz::checkHostSends(reply, table.count, false);
        // Every request within its source's rate is acknowledged first; one over the rate, and
        // anything else, is not answered at all.
        const bool limited = host.dropCounts().count(DropReason::RateLimited) != limitedBefore;
        FUZZ_CHECK(limited == (reply.dropped == DropReason::RateLimited));
        if (isRequest(datagram) && !limited) {
            FUZZ_CHECK(!reply.sends.empty() && reply.sends[0].to == source);
            FUZZ_CHECK(reply.sends[0].bytes == makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost));
        } else {
            FUZZ_CHECK(reply.sends.empty());
        }
        const int rosters = deliverRosters(reply, members);
        // A join or a leave that changes the table tells every member at most once (the ones
        // whose address's send budget is spent, or whose address is flooding with joins, are
        // owed theirs); a leave from where no member
        // is recorded tells nobody.
        if (isRequest(datagram) && (datagram[0] == cmd::JoinRequest || datagram[0] == cmd::LeaveNotice)) {
            int owed = 0;
            for (int i = 0; i < table.count; ++i) owed += host.rosterOwed(i);
            FUZZ_CHECK(rosters == 0 || rosters + owed == table.count);
            if (datagram[0] == cmd::LeaveNotice && table.count == countBefore) FUZZ_CHECK(rosters == 0);
        }
        for (const std::string& name : reply.leftNames) fuzz::checkShownText(name);

        if (fuzz::sweepAfter(control)) {
            const HostReply swept = host.sweepDuplicates();
            fuzz::checkTable(host.roster());
            fuzz::checkHostSends(swept, host.roster().count, true);
            deliverRosters(swept, members);
        }
        checkEveryMemberHoldsTheTable(host, members);
    }
    return 0;
}
