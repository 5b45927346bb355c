// Places go to members that show they are there, limits count per address, and the budgets a
// forger can spend neither silence a member nor make the host a reflector.
#include "host_table_support.h"

#include <gtest/gtest.h>

#include <map>

using namespace lumo;
using namespace lumo::test;

namespace {

// The requests here come from a member that names member 1 as the other party.
Bytes requestAbout1(std::uint8_t command, const MemberEntry& e) { return request(command, e, 1); }

int rostersTo(const HostReply& reply, Endpoint to)
{
    return int(std::count_if(reply.sends.begin(), reply.sends.end(),
                             [to](const Outgoing& o) { return o.to == to && o.bytes[0] == cmd::RosterUpdate; }));
}

struct HostPresenceTest : ::testing::Test {
    HostTable host;
    Endpoint at[3] = {{Router, 40000}, {0xCB007102, 40000}, {0xCB007103, 40000}};
    MemberEntry own[3] = {entryFor("ann", 0x0A000001), entryFor("bob", 0x0A000002), entryFor("cyd", 0x0A000003)};

    void SetUp() override
    {
        for (int i = 0; i < 3; ++i) {
            host.handle(requestAbout1(cmd::JoinRequest, own[i]), at[i], 0);
            own[i] = host.roster().records[i];
        }
    }
    HostReply ask(int i, Millis now, Endpoint from = {}) { return host.handle(requestAbout1(cmd::RosterRequest, own[i]), from.port ? from : at[i], now); }
};

}  // namespace

// A rejoin naming ann's id and local address (every roster shows both) from another port of her
// address, and the sweep of a restarted client's second record, take her place only once she
// stopped answering; from her own port a rejoin always does.
TEST_F(HostPresenceTest, ARecordMovesToAnotherPortOnlyOnceItsMemberStoppedAnswering)
{
    struct Case {
        const char* what;
        bool asks, rejoin;  // ann asks for the roster; a rejoin (else a restarted client's join)
        Millis quiet;       // after her last request
        std::uint16_t port;
        bool moved;
    } const cases[] = {
        {"own port", false, true, 0, 40000, true},
        {"asker, answering", true, true, HostTable::AskerQuietMs - 1, 40002, false},
        {"asker, stopped", true, true, HostTable::AskerQuietMs, 40002, true},
        {"plain, answering", false, true, HostTable::QuietPlainMs - 1, 40002, false},
        {"plain, stopped", false, true, HostTable::QuietPlainMs, 40002, true},
        {"restart, answering", false, false, 0, 40005, false},
        {"restart, stopped", false, false, HostTable::QuietPlainMs, 40005, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostTable table;
        table.handle(requestAbout1(cmd::JoinRequest, own[1]), at[1], 0);
        table.handle(requestAbout1(cmd::JoinRequest, entryFor("ann", 0x0A000001)), at[0], 0);
        const MemberEntry ann = table.roster().records[1];
        table.handle(requestAbout1(c.asks ? cmd::RosterRequest : cmd::PathRequest, ann), at[0], 1000);
        const HostReply reply = table.handle(requestAbout1(cmd::JoinRequest, c.rejoin ? ann : entryFor("ann", 0x0A000001)),
                                             {Router, c.port}, 1000 + c.quiet);
        EXPECT_EQ(reply.dropped, c.rejoin && !c.moved ? DropReason::RecordHeld : DropReason::None);
        if (!c.rejoin) table.advance(*table.nextDeadline());
        ASSERT_EQ(table.roster().count, 2);
        EXPECT_EQ(table.roster().records[1].publicPort, c.moved ? c.port : 40000);
    }
}

// Members that asked for the roster and fell silent are removed within SilentMemberMs, on the
// table's deadline; one asking every 30 s stays, and so does one that never asked.
TEST_F(HostPresenceTest, SilentAskersAreRemovedAndQuietPlainMembersStay)
{
    ask(1, 10'000);  // bob asks once, then is killed
    std::vector<std::string> left;
    for (Millis now = 10'000; now <= 300'000; now += 1000) {
        if (now % 30'000 == 10'000) ask(0, now);
        if (const auto due = host.nextDeadline(); due && *due <= now)
            for (const std::string& name : host.advance(now).leftNames) {
                left.push_back(name);
                EXPECT_LE(now, 10'000 + HostTable::SilentMemberMs + 1000);
            }
    }
    EXPECT_EQ(left, std::vector<std::string>{"bob"});
    EXPECT_EQ(host.roster().count, 2);
}

// One address holds MaxRecordsPerAddress places whatever its ports, and a full table is full; a
// joiner that would be refused takes the place of the quietest record that stopped answering,
// never of one still heard.
TEST_F(HostPresenceTest, QuietRecordsGiveTheirPlaceToJoinersThatNeedIt)
{
    for (const bool fillTable : {false, true}) {
        for (const Millis joinAt : {HostTable::QuietPlainMs - 1, HostTable::QuietPlainMs + 1000}) {
            SCOPED_TRACE(testing::Message() << "fill table " << fillTable << ", join at " << joinAt);
            HostTable table;
            const int places = fillTable ? MaxGroupMembers : HostTable::MaxRecordsPerAddress;
            for (int i = 0; i < places; ++i)
                table.handle(requestAbout1(cmd::JoinRequest, entryFor("x", 0x0B000000 + i)),
                             fillTable ? Endpoint{Ipv4(0x0D000000 + i), 4000} : Endpoint{0x0E000001, std::uint16_t(4000 + i)}, 0);
            const MemberEntry first = table.roster().records[0];
            table.handle(requestAbout1(cmd::PathRequest, first), {first.publicAddress, first.publicPort}, joinAt - 1000);
            const Endpoint joiner = fillTable ? Endpoint{0x0C000001, 4000} : Endpoint{0x0E000001, 5000};
            table.handle(requestAbout1(cmd::JoinRequest, entryFor("new", 0x0B100000)), joiner, joinAt);
            const MemberEntry& last = table.roster().records[std::size_t(places - 1)];
            EXPECT_EQ(table.roster().count, places);
            EXPECT_EQ(last.publicAddress == joiner.address && last.publicPort == joiner.port, joinAt > HostTable::QuietPlainMs);
            EXPECT_EQ(table.roster().records[0].publicPort, first.publicPort);
        }
    }
}

// Forged requests from ann's address (20 a second from her own port, 10 from another) spend its
// budget; she is still sent her roster when she asks, every 30 s for five minutes.
TEST_F(HostPresenceTest, ForgedRequestsFromAMembersAddressDoNotSilenceIt)
{
    int rosters = 0;
    for (Millis now = 0; now < 300'000; now += 100) {
        host.handle(requestAbout1(cmd::PathRequest, own[0]), at[0], now);
        host.handle(requestAbout1(cmd::PathRequest, own[0]), at[0], now);
        ask(0, now, {Router, 49999});
        if (now % 30'000 == 0) rosters += rostersTo(ask(0, now), at[0]);
    }
    EXPECT_EQ(rosters, 10);
}

// The budget is the address's, whatever its ports; and a source that spent it stays limited while
// more new sources come than the rate table remembers, while members are still answered.
TEST_F(HostPresenceTest, BudgetsArePerAddressAndAFloodOfNewSourcesResetsNone)
{
    int taken = 0;
    for (int i = 0; i < 5 * HostTable::RequestBurst; ++i)
        taken += host.handle(requestAbout1(cmd::RosterRequest, own[0]), {0x0E000009, std::uint16_t(2000 + i)}, 0).dropped != DropReason::RateLimited;
    EXPECT_EQ(taken, HostTable::RequestBurst);
    for (std::uint32_t i = 0; i < HostTable::MaxTrackedSources + 100; ++i) ask(0, 10, {0x0F000000 + i, 1000});
    EXPECT_EQ(host.handle(requestAbout1(cmd::RosterRequest, own[0]), {0x0E000009, 2000}, 20).dropped, DropReason::RateLimited);
    EXPECT_EQ(rostersTo(ask(2, 20), at[2]), 1);
}

// Spoofed joins and roster requests over 8 ports of a victim's address: rosters towards it stay
// within the send budget. Meanwhile rosters a burst of joins left owed reach every member.
TEST_F(HostPresenceTest, RostersTowardsAnAddressAreBoundedAndOwedOnesFollow)
{
    std::map<std::pair<Ipv4, int>, std::pair<int, int>> lastRosterTo;  // endpoint -> (index byte, count)
    std::size_t toVictim = 0;
    const Ipv4 victim = 0x0E000042;
    const auto note = [&](const HostReply& reply) {
        for (const Outgoing& o : reply.sends)
            if (o.bytes[0] == cmd::RosterUpdate) {
                lastRosterTo[{o.to.address, o.to.port}] = {o.bytes[1], readRosterUpdate(o.bytes).count};
                if (o.to.address == victim) toVictim += o.bytes.size();
            }
    };
    for (int i = 3; i < MaxGroupMembers - HostTable::MaxRecordsPerAddress; ++i) {
        MemberEntry joiner = entryFor("m", 0x0A100000 + i);
        for (int k = 0; k < 3; ++k) {  // a join, then "更新" twice
            note(host.handle(requestAbout1(cmd::JoinRequest, joiner), {Ipv4(0x0D000000 + i), 4000}, 0));
            joiner = host.roster().records[std::size_t(i)];
        }
    }
    for (Millis now = 0; now < 60'000; now += 10) {
        const MemberEntry forged = entryFor("v", 0x0A0000F0 + (now / 20) % 8);
        note(host.handle(requestAbout1((now / 10) % 2 ? cmd::JoinRequest : cmd::RosterRequest, forged),
                         {victim, std::uint16_t(5000 + (now / 20) % 8)}, now));
        if (const auto due = host.nextDeadline(); due && *due <= now) note(host.advance(now));
    }
    EXPECT_LE(toVictim, std::size_t(HostTable::SendBurstBytes + HostTable::SendBytesPerSecond * 60));
    for (int n = 0; n < 1000 && host.nextDeadline() && *host.nextDeadline() < 100'000; ++n) note(host.advance(std::max<Millis>(60'000, *host.nextDeadline())));
    for (int i = 0; i < host.roster().count; ++i) {
        const MemberEntry& record = host.roster().records[std::size_t(i)];
        EXPECT_EQ((lastRosterTo[{record.publicAddress, record.publicPort}]), std::make_pair(i, host.roster().count)) << i;
    }
}

// Joins from one address, fast or slow, over one port or eight: the first joiner gets its roster
// in the same reply, and as long as the joins keep coming the host sends the address no more
// than two rosters or three times what it got from it. Once they stop, every record there gets
// the latest roster.
TEST_F(HostPresenceTest, AJoinFloodFromOneAddressGetsAtMostThreeTimesItsBytes)
{
    struct Case {
        const char* what;
        Millis every;       // between two datagrams from the address
        int ports;          // its source ports, in turn
        bool rosterAsks;    // every other datagram a roster request instead of a join
        Millis lasting;
    };
    const Case cases[] = {
        {"50 joins a second over 8 ports", 20, 8, false, 20'000},
        {"a join every 2 s over 8 ports", 2'000, 8, false, 120'000},
        {"a rejoin every 20 s from one port", 20'000, 1, false, 300'000},
        {"joins and roster requests over 8 ports", 10, 8, true, 60'000},
    };
    for (const Case& c : cases) {
        HostTable table;
        for (int i = 0; i < 24; ++i)  // rosters of 24+ records, 776 bytes or more
            table.handle(requestAbout1(cmd::JoinRequest, entryFor("m", 0x0A200000 + i)), {Ipv4(0x0D100000 + i), 4000}, 0);
        const Ipv4 victim = 0x0E000077;
        std::size_t in = 0, out = 0;
        const auto note = [&](const HostReply& reply) {
            for (const Outgoing& o : reply.sends) out += o.to.address == victim ? o.bytes.size() : 0;
        };
        std::map<std::uint16_t, MemberEntry> joinerAt;  // per port, as the roster shows it
        for (Millis now = 1'000; now < 1'000 + c.lasting; now += c.every) {
            const std::uint16_t port = std::uint16_t(6000 + (now / c.every) % c.ports);
            const bool ask = c.rosterAsks && (now / c.every) % 2 && joinerAt.count(port);
            auto [it, fresh] = joinerAt.try_emplace(port, entryFor("v", 0x0A0000F0 + port % 8));
            const Bytes datagram = requestAbout1(ask ? cmd::RosterRequest : cmd::JoinRequest, it->second);
            in += datagram.size();
            const HostReply reply = table.handle(datagram, {victim, port}, now);
            note(reply);
            if (now == 1'000) {
                EXPECT_EQ(rostersTo(reply, {victim, port}), 1) << c.what << ": the first joiner waits";
            }
            for (int i = 0; i < table.roster().count; ++i)
                if (table.roster().records[std::size_t(i)].publicAddress == victim &&
                    table.roster().records[std::size_t(i)].publicPort == port)
                    it->second = table.roster().records[std::size_t(i)];
            if (const auto due = table.nextDeadline(); due && *due <= now) note(table.advance(now));
        }
        // Two rosters (and the Acks, a ninth of what comes in) or three times what came in,
        // beyond each joiner's own first roster (four places: four joiners).
        const std::size_t joiners = std::size_t(HostTable::MaxRecordsPerAddress) * MaxDatagramSize;
        EXPECT_LE(out, std::max(std::size_t(HostTable::JoinFloodFreeBytes) + in / 9, 3 * in) + joiners)
            << c.what << ": " << in << " bytes in";
        // The flood over, every record at the address gets the roster as it stands.
        for (int n = 0; n < 100 && table.nextDeadline(); ++n) table.advance(*table.nextDeadline());
        for (int i = 0; i < table.roster().count; ++i) EXPECT_FALSE(table.rosterOwed(i)) << c.what << ", record " << i;
    }
}
