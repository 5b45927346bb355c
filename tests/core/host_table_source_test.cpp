// The host believes a request only as far as its source shows: roster, path and leave requests
// from where a member is recorded, nothing but the Ack for anyone else, a bounded number of
// records per address and port, and a bounded rate of requests per source.
#include "host_table_support.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::test;

namespace {

bool ackAlone(const HostReply& reply) { return reply.sends.size() == 1 && reply.sends[0].bytes == AckBytes; }

struct HostSourceTest : ::testing::Test {
    HostTable host;
    Millis now = 0;
    // Three members behind one translator: one public address, a port each.
    Endpoint at[3] = {{Router, 40000}, {Router, 40001}, {Router, 40002}};
    MemberEntry own[3] = {entryFor("ann", 0x0A000001), entryFor("bob", 0x0A000002), entryFor("cyd", 0x0A000003)};

    void SetUp() override
    {
        for (int i = 0; i < 3; ++i) {
            host.handle(request(cmd::JoinRequest, own[i]), at[i], now);
            own[i] = host.roster().records[i];
        }
        ASSERT_EQ(host.roster().count, 3);
    }
};

}  // namespace

// A leave from bob's address on another port (or from the translator's address at large) once
// removed bob; now only bob's own address and port can.
TEST_F(HostSourceTest, LeaveIsTakenOnlyFromTheMembersOwnAddressAndPort)
{
    const Endpoint forged[] = {{Router, 40999}, {Router, MemberPort}, {0x0A000002, MemberPort}};
    for (const Endpoint& from : forged) {
        const HostReply reply = host.handle(request(cmd::LeaveNotice, own[1], 0xFF), from, now);
        EXPECT_TRUE(ackAlone(reply)) << from.port;
        EXPECT_TRUE(reply.leftNames.empty());
    }
    EXPECT_EQ(host.roster().count, 3);
    EXPECT_EQ(host.dropCounts().count(DropReason::NotAMember), 3u);

    const HostReply real = host.handle(request(cmd::LeaveNotice, own[1], 0xFF), at[1], now);
    EXPECT_EQ(real.leftNames, (std::vector<std::string>{"bob"}));
    ASSERT_EQ(host.roster().count, 2);
    EXPECT_EQ(host.roster().records[1].nameBytes(), "cyd");
    EXPECT_EQ(real.sends.size(), 3u);  // the Ack and the two who stay
}

// Roster and path requests from where no member is recorded: the Ack and nothing else, however
// the request names itself. Once they amplified 28 times, or sent rosters to a third party.
TEST_F(HostSourceTest, NonMembersGetTheAckAndNothingElse)
{
    const Endpoint stranger{0x0D000001, 7000};
    const Endpoint nextDoor{Router, 40003};  // behind the members' translator, but no member
    for (const Endpoint& from : {stranger, nextDoor}) {
        EXPECT_TRUE(ackAlone(host.handle(request(cmd::RosterRequest, own[1]), from, now)));
        EXPECT_TRUE(ackAlone(host.handle(request(cmd::PathRequest, own[0], 2), from, now)));
        EXPECT_TRUE(ackAlone(host.handle(request(cmd::LeaveNotice, own[2], 0xFF), from, now)));
    }
    EXPECT_EQ(host.roster().count, 3);
    EXPECT_EQ(host.dropCounts().count(DropReason::NotAMember), 6u);

    // The same requests from the members themselves are answered.
    const HostReply roster = host.handle(request(cmd::RosterRequest, own[1]), at[1], now);
    ASSERT_EQ(roster.sends.size(), 2u);
    EXPECT_EQ(roster.sends[1].to, at[1]);
    EXPECT_EQ(roster.sends[1].bytes[1], 1);
    const HostReply path = host.handle(request(cmd::PathRequest, own[0], 2), at[0], now);
    ASSERT_EQ(path.sends.size(), 3u);
    EXPECT_EQ(path.sends[1].to, at[0]);
    EXPECT_EQ(path.sends[1].bytes, (Bytes{23, 0, 2, 1}));
    EXPECT_EQ(path.sends[2].to, at[2]);
    EXPECT_EQ(path.sends[2].bytes, (Bytes{23, 2, 0, 1}));
}

// A path request naming another member as its sender is introduced under the id of the member
// it really came from.
TEST_F(HostSourceTest, PathRequestIntroducesTheMemberItCameFrom)
{
    MemberEntry claimsAnn = own[1];
    claimsAnn.id = 0;
    const HostReply reply = host.handle(request(cmd::PathRequest, claimsAnn, 2), at[1], now);
    ASSERT_EQ(reply.sends.size(), 3u);
    EXPECT_EQ(reply.sends[1].to, at[1]);
    EXPECT_EQ(reply.sends[1].bytes, (Bytes{23, 1, 2, 1}));
    EXPECT_EQ(reply.sends[2].bytes, (Bytes{23, 2, 1, 1}));
}

// 31 joins from one socket, each with another local address, never fill the table: one address
// holds a few records at most. Other addresses still join, to the full 31.
TEST_F(HostSourceTest, OneSocketCannotFillTheTable)
{
    const Endpoint flooder{0x0E000001, 5555};
    for (int i = 0; i < MaxGroupMembers; ++i) {
        now += HostTable::JoinEveryMs;  // slow enough for the rate: the record count is the limit
        host.handle(request(cmd::JoinRequest, entryFor("x", 0x0B000000 + i)), flooder, now);
    }
    EXPECT_EQ(host.roster().count, 3 + HostTable::MaxRecordsPerAddress);
    EXPECT_EQ(host.dropCounts().count(DropReason::SourceFull), std::uint64_t(MaxGroupMembers - HostTable::MaxRecordsPerAddress));

    // Members at other addresses fill the rest at once.
    const int room = MaxGroupMembers - host.roster().count;
    for (int i = 0; i < room; ++i)
        host.handle(request(cmd::JoinRequest, entryFor("t", 0x0C000000 + i)), {Ipv4(0x0D000000 + i), 41000}, now);
    EXPECT_EQ(host.roster().count, MaxGroupMembers);
}

// Per source, requests beyond the burst are dropped unanswered (not even acknowledged) until time
// refills the bucket; other sources are not held back. Joins have a bucket of their own.
TEST_F(HostSourceTest, RequestsAndJoinsAreRateLimitedPerSource)
{
    auto answered = [&](const Bytes& datagram, Endpoint from) { return !host.handle(datagram, from, now).sends.empty(); };
    int taken = 0;
    for (int i = 0; i < 100; ++i) taken += answered(request(cmd::PathRequest, own[0], 2), at[0]);
    EXPECT_EQ(taken, HostTable::RequestBurst);
    EXPECT_EQ(host.dropCounts().count(DropReason::RateLimited), std::uint64_t(100 - HostTable::RequestBurst));
    EXPECT_TRUE(answered(request(cmd::RosterRequest, own[1]), at[1]));  // bob is not held back

    now += 1000;  // a second refills ten, and ann is sent one more roster from her reserve
    taken = 0;
    for (int i = 0; i < 100; ++i) taken += answered(request(cmd::RosterRequest, own[0]), at[0]);
    EXPECT_EQ(taken, int(1000 / HostTable::RequestEveryMs) + 1);

    // Joins: a burst, then one per interval.
    const Endpoint joiner{0x0E000002, 6000};
    taken = 0;
    for (int i = 0; i < 20; ++i) taken += answered(request(cmd::JoinRequest, entryFor("j", 0x0B100000)), joiner);
    EXPECT_EQ(taken, HostTable::JoinBurst);
    now += HostTable::JoinEveryMs;
    EXPECT_TRUE(answered(request(cmd::JoinRequest, entryFor("j", 0x0B100000)), joiner));
    EXPECT_FALSE(answered(request(cmd::JoinRequest, entryFor("j", 0x0B100000)), joiner));
}

// Quiet time refills a bucket up to its burst and no further: a member silent for an hour may
// then send a burst, not an hour's worth of requests at once.
TEST_F(HostSourceTest, AQuietSourceGetsBackOneBurstAtMost)
{
    struct Case {
        const char* what;
        bool join;
        int burst;
    };
    for (const Case& c : {Case{"requests", false, HostTable::RequestBurst}, Case{"joins", true, HostTable::JoinBurst}}) {
        SCOPED_TRACE(c.what);
        const Endpoint source = c.join ? Endpoint{0x0E000003, 7000} : at[0];
        const Bytes datagram = c.join ? request(cmd::JoinRequest, entryFor("q", 0x0B200000)) : request(cmd::RosterRequest, own[0]);
        host.handle(datagram, source, now);  // the source is known from here on
        now += 3'600'000;
        int taken = 0;
        for (int i = 0; i < 5 * c.burst; ++i) taken += !host.handle(datagram, source, now).sends.empty();
        EXPECT_EQ(taken, c.join ? c.burst : c.burst + 1);  // a member's roster request: one more from its reserve
    }
}

// Forged sources by the thousand do not grow the host's memory without bound.
TEST_F(HostSourceTest, TheRateTableStaysBounded)
{
    for (std::uint32_t i = 0; i < 3 * HostTable::MaxTrackedSources; ++i) {
        ++now;
        host.handle(request(cmd::RosterRequest, own[0]), {0x0F000000 + i, 1000}, now);
    }
    EXPECT_LE(host.trackedSources(), HostTable::MaxTrackedSources);
    EXPECT_EQ(host.roster().count, 3);
    // A member's requests still go through.
    EXPECT_EQ(host.handle(request(cmd::RosterRequest, own[2]), at[2], now).sends.size(), 2u);
}

// A source over its rate that keeps sending stays over it while a flood of new sources passes:
// the sources forgotten to make room are the quietest, never the one still sending.
TEST_F(HostSourceTest, AFloodOfNewSourcesDoesNotResetABusySource)
{
    const Endpoint busy{0x0E000001, 1000};
    for (int i = 0; i < HostTable::RequestBurst; ++i) host.handle(request(cmd::RosterRequest, own[0]), busy, now);
    EXPECT_TRUE(host.handle(request(cmd::RosterRequest, own[0]), busy, now).sends.empty());
    for (std::uint32_t i = 0; i < 3 * HostTable::MaxTrackedSources; ++i) {
        host.handle(request(cmd::RosterRequest, own[0]), {0x0F000000 + i, 1000}, now);
        if (i % 100 == 0) {
            EXPECT_TRUE(host.handle(request(cmd::RosterRequest, own[0]), busy, now).sends.empty()) << "after " << i;
        }
    }
    EXPECT_LE(host.trackedSources(), HostTable::MaxTrackedSources);
}
