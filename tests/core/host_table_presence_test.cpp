// Places in the host's table go to members that show they are there: a rejoin from another port
// of a member's address moves its record only once the member stopped answering, members that
// ask for the roster and fall silent are removed, quiet records give way to joiners that need
// their place, and the budgets a forger can spend do not silence a member.
#include "core/group/host_table.h"

#include <gtest/gtest.h>

#include <map>

using namespace lumo;

namespace {

constexpr Ipv4 Router = 0xCB007101;

MemberEntry entryFor(const char* name, Ipv4 local)
{
    MemberEntry e;
    e.setName(name);
    e.id = UnassignedId;
    e.localPort = MemberPort;
    e.localAddress = local;
    return e;
}

Bytes request(std::uint8_t command, const MemberEntry& e, std::uint8_t second = 0)
{
    return makeEntryDatagram(command, idByte(e.id), second, Kind::ToHost, e);
}

int rostersTo(const HostReply& reply, Endpoint to)
{
    int n = 0;
    for (const Outgoing& o : reply.sends) n += o.to == to && o.bytes[0] == cmd::RosterUpdate;
    return n;
}

struct HostPresenceTest : ::testing::Test {
    HostTable host;
    Endpoint at[3] = {{Router, 40000}, {0xCB007102, 40000}, {0xCB007103, 40000}};
    MemberEntry own[3] = {entryFor("ann", 0x0A000001), entryFor("bob", 0x0A000002), entryFor("cyd", 0x0A000003)};

    void SetUp() override
    {
        for (int i = 0; i < 3; ++i) {
            host.handle(request(cmd::JoinRequest, own[i]), at[i], 0);
            own[i] = host.roster().records[i];
        }
    }
    void askRoster(int i, Millis now) { host.handle(request(cmd::RosterRequest, own[i]), at[i], now); }
};

}  // namespace

// A rejoin naming ann's id and local address (every roster shows both) from another port of her
// address takes her record only once she stopped answering; from her own port it always does.
TEST_F(HostPresenceTest, ARejoinFromAnotherPortWaitsUntilTheMemberStoppedAnswering)
{
    struct Case {
        const char* what;
        bool asks;         // ann asks for the roster (as this program's members do)
        Millis quiet;      // how long after her last request the rejoin comes
        std::uint16_t port;
        bool moved;
    };
    const Case cases[] = {
        {"own port", false, 0, 40000, true},
        {"asker, answering", true, HostTable::AskerQuietMs - 1, 40002, false},
        {"asker, stopped", true, HostTable::AskerQuietMs, 40002, true},
        {"plain, answering", false, HostTable::QuietPlainMs - 1, 40002, false},
        {"plain, stopped", false, HostTable::QuietPlainMs, 40002, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostTable table;
        table.handle(request(cmd::JoinRequest, own[1]), at[1], 0);
        table.handle(request(cmd::JoinRequest, entryFor("ann", 0x0A000001)), at[0], 0);
        const MemberEntry ann = table.roster().records[1];
        Millis last = 1000;
        table.handle(request(c.asks ? cmd::RosterRequest : cmd::PathRequest, ann), at[0], last);
        const HostReply reply = table.handle(request(cmd::JoinRequest, ann), {Router, c.port}, last + c.quiet);
        EXPECT_EQ(table.roster().count, 2);
        EXPECT_EQ(table.roster().records[1].publicPort, c.moved ? c.port : 40000);
        EXPECT_EQ(reply.dropped, c.moved ? DropReason::None : DropReason::RecordHeld);
    }
}

// Members that asked for the roster and then fell silent are removed within SilentMemberMs of
// their last request, on the table's own deadline; one that keeps asking every 30 s stays, and
// so does a member that never asked (the plain protocol sends nothing while it is quiet).
TEST_F(HostPresenceTest, SilentAskersAreRemovedAndQuietPlainMembersStay)
{
    askRoster(0, 10'000);
    askRoster(1, 10'000);  // bob asks once, then is killed
    std::vector<std::string> left;
    for (Millis now = 10'000; now <= 300'000; now += 1000) {
        if (now % 30'000 == 10'000) askRoster(0, now);
        if (const auto due = host.nextDeadline(); due && *due <= now)
            for (const std::string& name : host.advance(now).leftNames) {
                left.push_back(name);
                EXPECT_LE(now, 10'000 + HostTable::SilentMemberMs + 1000);
            }
    }
    EXPECT_EQ(left, std::vector<std::string>{"bob"});
    ASSERT_EQ(host.roster().count, 2);
    EXPECT_EQ(host.roster().records[0].nameBytes(), "ann");
    EXPECT_EQ(host.roster().records[1].nameBytes(), "cyd");
}

// One address holds MaxRecordsPerAddress places whatever its ports, and a full table is full;
// a joiner that would be refused takes the place of the record quiet longest once that record
// stopped answering, never of one still heard.
TEST_F(HostPresenceTest, QuietRecordsGiveTheirPlaceToJoinersThatNeedIt)
{
    struct Case {
        const char* what;
        bool fillTable;  // else one address fills its share
        Millis joinAt;
        bool entered;
    };
    const Case cases[] = {
        {"address share, soon", false, HostTable::QuietPlainMs - 1, false},
        {"address share, later", false, HostTable::QuietPlainMs + 1000, true},
        {"full table, soon", true, HostTable::QuietPlainMs - 1, false},
        {"full table, later", true, HostTable::QuietPlainMs + 1000, true},
    };
    const Endpoint flooder{0x0E000001, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostTable table;
        const int places = c.fillTable ? MaxGroupMembers : HostTable::MaxRecordsPerAddress;
        for (int i = 0; i < places; ++i) {
            const Endpoint from = c.fillTable ? Endpoint{Ipv4(0x0D000000 + i), 4000} : Endpoint{flooder.address, std::uint16_t(4000 + i)};
            table.handle(request(cmd::JoinRequest, entryFor("x", 0x0B000000 + i)), from, 0);
        }
        ASSERT_EQ(table.roster().count, places);
        // The first record is still heard from: it keeps its place.
        MemberEntry first = table.roster().records[0];
        const Endpoint firstAt{first.publicAddress, first.publicPort};
        table.handle(request(cmd::PathRequest, first, 1), firstAt, c.joinAt - 1000);

        const Endpoint joiner = c.fillTable ? Endpoint{0x0C000001, 4000} : Endpoint{flooder.address, 5000};
        const HostReply reply = table.handle(request(cmd::JoinRequest, entryFor("new", 0x0B100000)), joiner, c.joinAt);
        EXPECT_EQ(table.roster().count, places);
        const MemberEntry& last = table.roster().records[std::size_t(places - 1)];
        EXPECT_EQ(last.publicAddress == joiner.address && last.publicPort == joiner.port, c.entered);
        EXPECT_EQ(table.roster().records[0].publicPort, firstAt.port);
        EXPECT_EQ(reply.leftNames.size(), c.entered ? 1u : 0u);
    }
}

// A restarted client on another port of its address gets a second record; the sweep keeps the
// earlier one while its member answers, and gives its place to the later one once it stopped.
TEST_F(HostPresenceTest, TheSweepGivesAStoppedMembersPlaceToItsRestartedClient)
{
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped" : "answering");
        HostTable table;
        table.handle(request(cmd::JoinRequest, own[1]), at[1], 0);
        table.handle(request(cmd::JoinRequest, entryFor("ann", 0x0A000001)), at[0], 0);
        const Millis restartAt = stopped ? HostTable::QuietPlainMs : 1000;
        table.handle(request(cmd::JoinRequest, entryFor("ann", 0x0A000001)), {Router, 40005}, restartAt);
        ASSERT_EQ(table.roster().count, 3);
        table.advance(*table.nextDeadline());
        ASSERT_EQ(table.roster().count, 2);
        EXPECT_EQ(table.roster().records[1].publicPort, stopped ? 40005 : 40000);
        EXPECT_EQ(table.roster().records[1].id, 1);
    }
}

// Forged requests from a member's address spend its address's budget; the member is still sent
// its roster when it asks (once per RosterReserveMs at most beyond the budget), so it never
// takes the host for gone. Path requests get no such reserve.
TEST_F(HostPresenceTest, ForgedRequestsFromAMembersAddressDoNotSilenceIt)
{
    int rosters = 0;
    for (Millis now = 0; now < 300'000; now += 100) {
        // 20 forged path requests a second from ann's own address and port, 10 from another port.
        host.handle(request(cmd::PathRequest, own[0], 1), at[0], now);
        host.handle(request(cmd::PathRequest, own[0], 1), at[0], now);
        host.handle(request(cmd::RosterRequest, own[0]), {Router, 49999}, now);
        if (now % 30'000 == 0) rosters += rostersTo(host.handle(request(cmd::RosterRequest, own[0]), at[0], now), at[0]);
    }
    EXPECT_EQ(rosters, 10);

    // A flood of forged roster requests sends ann one roster per RosterReserveMs beyond the budget.
    int flooded = 0;
    for (Millis now = 300'000; now < 310'000; now += 10)
        flooded += rostersTo(host.handle(request(cmd::RosterRequest, own[0]), at[0], now), at[0]);
    EXPECT_LE(flooded, int(10'000 / HostTable::RequestEveryMs) + 2 + 1);
}

// A source that spent its budget and went quiet stays limited while more new sources than the
// rate table remembers come: it is forgotten only once its budget would be full again anyway.
TEST_F(HostPresenceTest, AFloodOfNewSourcesResetsNoQuietSourcesBudget)
{
    const Endpoint spent{0x0E000009, 1000};
    for (int i = 0; i < 2 * HostTable::RequestBurst; ++i) host.handle(request(cmd::RosterRequest, own[0]), spent, 0);
    for (std::uint32_t i = 0; i < HostTable::MaxTrackedSources + 100; ++i)
        host.handle(request(cmd::RosterRequest, own[0]), {0x0F000000 + i, 1000}, 10);
    EXPECT_EQ(host.handle(request(cmd::RosterRequest, own[0]), spent, 20).dropped, DropReason::RateLimited);
    // Members keep being answered meanwhile.
    EXPECT_EQ(rostersTo(host.handle(request(cmd::RosterRequest, own[2]), at[2], 20), at[2]), 1);
}

// The budget is the address's, whatever ports it sends from: a forger cannot multiply it by
// opening more ports.
TEST_F(HostPresenceTest, TheRequestBudgetIsPerAddress)
{
    int taken = 0;
    for (int i = 0; i < 5 * HostTable::RequestBurst; ++i)
        taken += host.handle(request(cmd::PathRequest, own[0], 1), {0x0E000005, std::uint16_t(2000 + i)}, 0).dropped !=
                 DropReason::RateLimited;
    EXPECT_EQ(taken, HostTable::RequestBurst);
}

// Spoofed joins over 8 ports of a victim's address, and spoofed roster requests from the records
// they made, make the host send that address at most SendBytesPerSecond after a burst; the Acks
// are bounded by the address's request rate.
TEST_F(HostPresenceTest, ReflectionTowardsOneAddressIsBounded)
{
    // A big group: every roster is near its largest.
    for (int i = 3; i < MaxGroupMembers - HostTable::MaxRecordsPerAddress; ++i)
        host.handle(request(cmd::JoinRequest, entryFor("m", 0x0A100000 + i)), {Ipv4(0x0D000000 + i), 4000}, 0);
    const Ipv4 victim = 0x0E000042;
    std::size_t rosterBytes = 0, ackBytes = 0;
    const Millis seconds = 60;
    for (Millis now = 0; now < seconds * 1000; now += 10) {
        const std::uint16_t port = std::uint16_t(5000 + (now / 20) % 8);  // a join, then a request, per port
        MemberEntry forged = entryFor("v", 0x0A0000F0 + (now / 20) % 8);
        const Bytes datagram = (now / 10) % 2 ? request(cmd::JoinRequest, forged) : request(cmd::RosterRequest, forged);
        HostReply reply = host.handle(datagram, {victim, port}, now);
        if (const auto due = host.nextDeadline(); due && *due <= now) {
            HostReply later = host.advance(now);
            reply.sends.insert(reply.sends.end(), later.sends.begin(), later.sends.end());
        }
        for (const Outgoing& o : reply.sends) {
            if (o.to.address != victim) continue;
            (o.bytes[0] == cmd::RosterUpdate ? rosterBytes : ackBytes) += o.bytes.size();
        }
    }
    EXPECT_LE(rosterBytes, std::size_t(HostTable::SendBurstBytes + HostTable::SendBytesPerSecond * seconds));
    EXPECT_LE(ackBytes, std::size_t(4 * (HostTable::RequestBurst + HostTable::JoinBurst + 1000 / HostTable::RequestEveryMs * seconds +
                                          seconds * 1000 / HostTable::JoinEveryMs)) + 4 * 12 * seconds);
}

// A burst of joins from many addresses: rosters that did not fit a member's budget are owed, and
// on the table's deadlines every member gets the final roster.
TEST_F(HostPresenceTest, OwedRostersBringEveryMemberTheFinalRoster)
{
    std::map<std::uint32_t, std::pair<int, int>> lastRosterTo;  // address -> (index byte, count)
    const auto note = [&](const HostReply& reply) {
        for (const Outgoing& o : reply.sends)
            if (o.bytes[0] == cmd::RosterUpdate) lastRosterTo[o.to.address] = {o.bytes[1], readRosterUpdate(o.bytes).count};
    };
    for (int i = 3; i < MaxGroupMembers; ++i) {
        MemberEntry joiner = entryFor("m", 0x0A100000 + i);
        for (int k = 0; k < 3; ++k) {  // each joiner presses "更新" twice after joining
            note(host.handle(request(cmd::JoinRequest, joiner), {Ipv4(0x0D000000 + i), 4000}, 100));
            joiner = host.roster().records[std::size_t(i)];
        }
    }
    ASSERT_EQ(host.roster().count, MaxGroupMembers);
    EXPECT_NE(lastRosterTo[at[0].address], std::make_pair(0, MaxGroupMembers));  // over the budget: owed
    for (auto due = host.nextDeadline(); due && *due < 100'000; due = host.nextDeadline()) note(host.advance(*due));
    for (int i = 0; i < MaxGroupMembers; ++i) {
        const MemberEntry& record = host.roster().records[std::size_t(i)];
        EXPECT_EQ(lastRosterTo[record.publicAddress], std::make_pair(i, MaxGroupMembers)) << i;
    }
}
