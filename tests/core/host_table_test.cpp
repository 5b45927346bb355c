#include "host_table_support.h"

#include <gtest/gtest.h>

using namespace lumo;
using lumo::test::AckBytes;

namespace {

constexpr Ipv4 MachineA = 0x0A000001, MachineB = 0x0A000002, MachineC = 0x0A000003;
constexpr Ipv4 RouterA = 0xCB007101, RouterB = 0xCB007102, RouterC = 0xCB007103;

struct Client {
    MemberEntry own;
    Endpoint seenFrom;  // what the host observes as the datagram's source
};

Client client(const char* name, Ipv4 local, Ipv4 publicAddress, std::uint16_t publicPort)
{
    Client c;
    c.own.setName(name);
    c.own.id = UnassignedId;
    c.own.localPort = MemberPort;
    c.own.localAddress = local;
    c.seenFrom = {publicAddress, publicPort};
    return c;
}

Bytes join(const Client& c) { return makeEntryDatagram(cmd::JoinRequest, idByte(c.own.id), 0, Kind::ToHost, c.own); }
Bytes leave(const Client& c) { return makeEntryDatagram(cmd::LeaveNotice, idByte(c.own.id), 0xFF, Kind::ToHost, c.own); }

// Roster updates in a reply, as (recipient endpoint, recipient index byte, count).
struct Delivery {
    Endpoint to;
    int index;
    int count;
    bool operator==(const Delivery&) const = default;
};

std::vector<Delivery> rosterDeliveries(const HostReply& reply)
{
    std::vector<Delivery> out;
    for (const Outgoing& o : reply.sends)
        if (o.bytes.size() >= 8 && o.bytes[0] == cmd::RosterUpdate)
            out.push_back({o.to, o.bytes[1], readRosterUpdate(o.bytes).count});
    return out;
}

struct HostTableTest : ::testing::Test {
    HostTable host;
    Client a = client("ann", MachineA, RouterA, 40000);
    Client b = client("bob", MachineB, RouterB, 40001);
    Client c = client("cyd", MachineC, RouterC, 40002);

    HostReply send(const Bytes& datagram, const Client& from) { return host.handle(datagram, from.seenFrom); }
    void joinAll()
    {
        for (Client* cl : {&a, &b, &c}) {
            send(join(*cl), *cl);
            cl->own = host.roster().records[host.roster().count - 1];
        }
    }
};

}  // namespace

TEST_F(HostTableTest, FirstJoinIsAcknowledgedEnteredWithObservedAddressAndBroadcast)
{
    const HostReply reply = send(join(a), a);
    ASSERT_GE(reply.sends.size(), 2u);
    EXPECT_EQ(reply.sends[0].bytes, AckBytes);
    EXPECT_EQ(reply.sends[0].to, a.seenFrom);
    ASSERT_EQ(host.roster().count, 1);
    const MemberEntry& record = host.roster().records[0];
    EXPECT_EQ(record.id, 0);
    EXPECT_EQ(record.nameBytes(), "ann");
    EXPECT_EQ(record.publicAddress, RouterA);
    EXPECT_EQ(record.publicPort, 40000);
    EXPECT_EQ(rosterDeliveries(reply), (std::vector<Delivery>{{a.seenFrom, 0, 1}}));

    // The second member's join reaches both, each with its own index in byte 1.
    const HostReply second = send(join(b), b);
    EXPECT_EQ(rosterDeliveries(second), (std::vector<Delivery>{{a.seenFrom, 0, 2}, {b.seenFrom, 1, 2}}));
}

TEST_F(HostTableTest, RejoinWithSameAddressesKeepsIdAndRecord)
{
    joinAll();
    b.own.setName("bobby");
    const HostReply reply = send(join(b), b);
    EXPECT_EQ(host.roster().count, 3);
    EXPECT_EQ(host.roster().records[1].nameBytes(), "bobby");
    EXPECT_EQ(host.roster().records[1].id, 1);
    EXPECT_EQ(rosterDeliveries(reply).size(), 3u);
}

// Homes behind different routers often use the same inside address: a rejoin is known by the
// local address and the public one together, never by the local address alone.
TEST_F(HostTableTest, RejoinBehindAnotherRouterWithTheSameInsideAddressKeepsBothRecords)
{
    constexpr Ipv4 Inside = 0xC0A80102;  // 192.168.1.2 in both homes
    Client first = client("ann", Inside, RouterA, 40000);
    Client second = client("bob", Inside, RouterB, 40001);
    send(join(first), first);
    send(join(second), second);
    second.own = host.roster().records[1];
    second.own.setName("bobby");  // "更新" under a new name: a rejoin naming its id
    send(join(second), second);
    ASSERT_EQ(host.roster().count, 2);
    EXPECT_EQ(host.roster().records[0].nameBytes(), "ann");
    EXPECT_EQ(host.roster().records[0].publicAddress, RouterA);
    EXPECT_EQ(host.roster().records[1].nameBytes(), "bobby");
    EXPECT_EQ(host.roster().records[1].publicAddress, RouterB);
}

TEST_F(HostTableTest, RestartedClientGetsSecondRecordWhichTheSweepRemoves)
{
    joinAll();
    Client restarted = client("bob", MachineB, RouterB, 40999);  // new source port, id forgotten
    send(join(restarted), restarted);
    ASSERT_EQ(host.roster().count, 4);
    EXPECT_EQ(host.roster().records[3].id, 3);

    const HostReply sweep = host.sweepDuplicates();
    EXPECT_EQ(host.roster().count, 3);
    EXPECT_EQ(host.roster().records[1].publicPort, 40001);  // the earlier record stays
    EXPECT_EQ(rosterDeliveries(sweep).size(), 3u);
    EXPECT_TRUE(host.sweepDuplicates().sends.empty());  // nothing left to sweep, nothing sent
}

// The sweep runs on the table's own deadline: none while it holds no duplicate (a quiet host
// is never woken), DuplicateSweepMs after one came, and nothing is sent when it is gone by then.
TEST_F(HostTableTest, TheSweepRunsOnTheTablesOwnDeadline)
{
    host.handle(join(a), a.seenFrom, 1000);
    host.handle(join(b), b.seenFrom, 1000);
    EXPECT_FALSE(host.nextDeadline());
    Client restarted = client("bob", MachineB, RouterB, 40999);
    host.handle(join(restarted), restarted.seenFrom, 5000);
    ASSERT_EQ(host.nextDeadline(), 5000 + HostTable::DuplicateSweepMs);
    EXPECT_TRUE(host.advance(4999 + HostTable::DuplicateSweepMs).sends.empty());
    EXPECT_EQ(host.roster().count, 3);
    EXPECT_EQ(rosterDeliveries(host.advance(5000 + HostTable::DuplicateSweepMs)).size(), 2u);
    EXPECT_EQ(host.roster().count, 2);
    EXPECT_FALSE(host.nextDeadline());

    // A duplicate that leaves before its sweep: the sweep finds nothing to send.
    host.handle(join(restarted), restarted.seenFrom, 100000);
    restarted.own = host.roster().records[2];
    host.handle(leave(restarted), restarted.seenFrom, 100000);
    ASSERT_TRUE(host.nextDeadline());
    EXPECT_TRUE(host.advance(*host.nextDeadline()).sends.empty());
    EXPECT_FALSE(host.nextDeadline());
}

TEST_F(HostTableTest, LeaveOfMiddleRecordMovesLastIntoTheGap)
{
    joinAll();
    const HostReply reply = send(leave(b), b);
    ASSERT_EQ(host.roster().count, 2);
    EXPECT_EQ(host.roster().records[1].nameBytes(), "cyd");
    EXPECT_EQ(host.roster().records[1].id, 1);
    EXPECT_EQ(reply.leftNames, (std::vector<std::string>{"bob"}));
    EXPECT_EQ(rosterDeliveries(reply), (std::vector<Delivery>{{a.seenFrom, 0, 2}, {c.seenFrom, 1, 2}}));
}

TEST_F(HostTableTest, LastMemberLeavingEmptiesTableAndSendsNoRoster)
{
    send(join(a), a);
    const HostReply reply = send(leave(a), a);
    EXPECT_EQ(host.roster().count, 0);
    EXPECT_EQ(reply.sends.size(), 1u);  // the Ack alone
    EXPECT_EQ(reply.leftNames.size(), 1u);
    // A leave from an unknown client changes nothing but is still acknowledged.
    const HostReply unknown = send(leave(b), b);
    EXPECT_EQ(unknown.sends.size(), 1u);
    EXPECT_TRUE(unknown.leftNames.empty());
}

TEST_F(HostTableTest, FullTableAcknowledgesAndDoesNotEnter)
{
    for (int i = 0; i < MaxGroupMembers; ++i) {
        Client cl = client("m", 0x0B000000 + i, 0xCB000000 + i, 5000);
        send(join(cl), cl);
    }
    ASSERT_EQ(host.roster().count, MaxGroupMembers);
    Client late = client("late", 0x0C000001, 0xCC000001, 5000);
    const HostReply reply = send(join(late), late);
    EXPECT_EQ(host.roster().count, MaxGroupMembers);
    ASSERT_EQ(reply.sends.size(), 1u);
    EXPECT_EQ(reply.sends[0].bytes, AckBytes);
    // Every roster the full table sends fits one receiver's read.
    const HostReply rejoin = send(makeEntryDatagram(cmd::JoinRequest, 0, 0, Kind::ToHost, host.roster().records[0]),
                                  Client{host.roster().records[0], {0xCB000000, 5000}});
    for (const Outgoing& o : rejoin.sends) EXPECT_LE(o.bytes.size(), MaxDatagramSize);
}

TEST_F(HostTableTest, PathRequestFromKnownMemberProbesBoth)
{
    joinAll();
    const HostReply reply = send(makeEntryDatagram(cmd::PathRequest, 0, 2, Kind::ToHost, a.own), a);
    ASSERT_EQ(reply.sends.size(), 3u);
    EXPECT_EQ(reply.sends[0].bytes, AckBytes);
    EXPECT_EQ(reply.sends[1].bytes, (Bytes{23, 0, 2, 1}));
    EXPECT_EQ(reply.sends[1].to, a.seenFrom);
    EXPECT_EQ(reply.sends[2].bytes, (Bytes{23, 2, 0, 1}));
    EXPECT_EQ(reply.sends[2].to, c.seenFrom);
}

TEST_F(HostTableTest, IdsOutsideTheTableChangeNothingBeyondTheAck)
{
    joinAll();
    const Roster before = host.roster();
    const Bytes requests[] = {
        makeEntryDatagram(cmd::PathRequest, 1, 130, Kind::ToHost, b.own),          // target 130
        makeEntryDatagram(cmd::PathRequest, 1, 3, Kind::ToHost, b.own),            // target 3 of 3
    };
    for (const Bytes& request : requests) {
        const HostReply reply = send(request, b);
        ASSERT_EQ(reply.sends.size(), 1u);
        EXPECT_EQ(reply.sends[0].bytes, AckBytes);
    }
    EXPECT_EQ(host.roster().count, before.count);
    EXPECT_EQ(host.roster().records, before.records);
}

// A member whose roster was lost while the table was reordered still names its old id when it
// connects again ("更新"). The host goes by where the member's addresses are found.
TEST_F(HostTableTest, RejoinWithStaleIdPastTheTableGetsRosterWithItsRealIndex)
{
    joinAll();
    send(leave(b), b);  // cyd moves from 2 to 1; say cyd never heard of it
    ASSERT_EQ(c.own.id, 2);
    const HostReply reply = send(join(c), c);
    EXPECT_EQ(host.roster().count, 2);
    EXPECT_EQ(host.roster().records[1].nameBytes(), "cyd");
    EXPECT_EQ(host.roster().records[1].id, 1);
    // Everyone hears the roster, cyd with the index it really has.
    EXPECT_EQ(rosterDeliveries(reply), (std::vector<Delivery>{{a.seenFrom, 0, 2}, {c.seenFrom, 1, 2}}));
}

TEST_F(HostTableTest, RejoinWithStaleIdNowHeldByAnotherMemberLeavesThatMemberAlone)
{
    joinAll();
    send(leave(b), b);  // cyd: 2 -> 1, unheard
    Client d = client("dee", 0x0A000004, 0xCB007104, 40003);
    send(join(d), d);
    ASSERT_EQ(host.roster().records[2].nameBytes(), "dee");  // dee now holds cyd's old id
    const MemberEntry deeBefore = host.roster().records[2];

    c.own.setName("cyd2");  // shows where the rejoin was stored
    const HostReply reply = send(join(c), c);
    EXPECT_EQ(host.roster().count, 3);
    EXPECT_EQ(host.roster().records[2], deeBefore);
    EXPECT_EQ(host.roster().records[1].nameBytes(), "cyd2");
    EXPECT_EQ(host.roster().records[1].id, 1);
    EXPECT_EQ(rosterDeliveries(reply),
              (std::vector<Delivery>{{a.seenFrom, 0, 3}, {c.seenFrom, 1, 3}, {d.seenFrom, 2, 3}}));
}

TEST_F(HostTableTest, MalformedOrForeignDatagramsGetNoReply)
{
    const Bytes cases[] = {{11, 0xCC, 0, 3}, Bytes(35, 0), {99, 0, 0, 3}, {21, 0, 0, 1}, {15, 0, 0, 2, 'x'}};
    for (const Bytes& datagram : cases) EXPECT_TRUE(send(datagram, a).sends.empty());
    EXPECT_EQ(host.roster().count, 0);
}

// A roster request naming another member's id (or one past the table) is answered to the member
// that asked, with its own index: the host never sends a roster where the request did not come
// from.
TEST_F(HostTableTest, RosterRequestIsAnsweredToTheAskingMemberWithItsRealIndex)
{
    joinAll();
    for (int named : {2, 200}) {
        MemberEntry asks = a.own;
        asks.id = static_cast<std::uint16_t>(named);
        const HostReply reply = send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, asks), a);
        EXPECT_EQ(rosterDeliveries(reply), (std::vector<Delivery>{{a.seenFrom, 0, 3}})) << "named " << named;
    }
}
