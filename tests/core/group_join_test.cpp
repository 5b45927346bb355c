// Joining, leaving and connecting again, with the hosting client's table and every member's
// session running against each other in memory.
#include "group_sim.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::sim;
using Problem = MemberSession::ConnectProblem;
using Ev = SessionEvent::Kind;

namespace {

bool isAck(const Datagram& d) { return d.bytes == Bytes{cmd::Ack, 0, 0, 1}; }
bool isRoster(const Datagram& d) { return d.is(cmd::RosterUpdate, Kind::FromHost); }

std::vector<Datagram> deliveredTo(const GroupSim& sim, int node, bool (*match)(const Datagram&))
{
    return sim.trafficWhere([&](const Datagram& d) {
        return d.toNode == node && d.fate == Datagram::Fate::Delivered && match(d);
    });
}

// Every session in `nodes` holds exactly the hosting table's roster, and its own record in it.
void expectEveryoneHoldsTheHostRoster(GroupSim& sim, const std::vector<int>& nodes)
{
    const Roster& table = sim.host().roster();
    for (int i : nodes) {
        SCOPED_TRACE("node " + std::to_string(i));
        const Roster& seen = sim.session(i).roster();
        ASSERT_EQ(seen.count, table.count);
        for (int k = 0; k < table.count; ++k) EXPECT_EQ(seen.records[k], table.records[k]) << "record " << k;
        const int own = sim.session(i).ownEntry().id;
        ASSERT_TRUE(table.holds(own));
        EXPECT_EQ(table.records[own].nameBytes(), sim.nameOf(i));
        EXPECT_EQ(sim.nodeOfMember(own), i);
    }
}

std::vector<int> range(int first, int last)
{
    std::vector<int> out;
    for (int i = first; i < last; ++i) out.push_back(i);
    return out;
}

}  // namespace

// --- connecting ---------------------------------------------------------------------------------

TEST(GroupJoin, AckThenRosterThenJoinedAtTheSecondTick)
{
    GroupSim sim(2);
    ASSERT_EQ(sim.connect(1, "m1"), Problem::None);  // node 0 hosts but has not joined: fine
    ASSERT_EQ(sim.connect(0, "m0"), Problem::None);

    // The join is acknowledged first, then the roster follows.
    const auto toOne = sim.trafficWhere([](const Datagram& d) { return d.toNode == 1 && d.fromPort == HostPort; });
    ASSERT_GE(toOne.size(), 2u);
    EXPECT_TRUE(isAck(toOne[0]));
    EXPECT_TRUE(isRoster(toOne[1]));
    EXPECT_EQ(sim.session(1).ownEntry().id, 0);
    EXPECT_EQ(sim.session(0).ownEntry().id, 1);

    // The hosting client's own session reaches its table from its member port, like anyone.
    const Roster& table = sim.host().roster();
    ASSERT_EQ(table.count, 2);
    EXPECT_EQ(table.records[1].publicAddress, HostAddress);
    EXPECT_EQ(table.records[1].publicPort, MemberPort);

    // The acknowledged join becomes "joined" at the second tick after the ack, not before.
    EXPECT_TRUE(sim.session(1).connecting());
    EXPECT_FALSE(sim.session(1).joined());
    ASSERT_TRUE(sim.session(1).nextDeadline());
    sim.advanceTicks(1);
    EXPECT_FALSE(sim.session(1).joined());
    sim.advanceTicks(1);
    EXPECT_TRUE(sim.session(1).joined());
    EXPECT_FALSE(sim.session(1).connecting());
    EXPECT_EQ(sim.session(1).joinedHost(), HostAddress);
    EXPECT_GE(sim.count(1, Ev::ConnectChanged), 1);
    EXPECT_EQ(sim.count(1, Ev::ConnectFailed), 0);
}

TEST(GroupJoin, NoAckWithinTenTicksFailsOnce)
{
    GroupSim sim(2);
    sim.dropLink(1, 0);  // the host never hears the join
    ASSERT_EQ(sim.connect(1, "m1"), Problem::None);
    sim.advanceTicks(9);
    EXPECT_EQ(sim.count(1, Ev::ConnectFailed), 0);
    sim.advanceTicks(1);
    EXPECT_EQ(sim.count(1, Ev::ConnectFailed), 1);
    EXPECT_FALSE(sim.session(1).joined());
    sim.advanceTicks(30);
    EXPECT_EQ(sim.count(1, Ev::ConnectFailed), 1);
    EXPECT_EQ(sim.session(1).roster().count, 0);

    // Pressed again once the host can hear it, it joins.
    sim.restoreLink(1, 0);
    ASSERT_EQ(sim.connect(1, "m1"), Problem::None);
    sim.advanceTicks(2);
    EXPECT_TRUE(sim.session(1).joined());
    EXPECT_EQ(sim.count(1, Ev::ConnectFailed), 1);
}

TEST(GroupJoin, NameAndAddressProblemsSendNothing)
{
    GroupSim sim(2);
    EXPECT_EQ(sim.connect(1, ""), Problem::NoName);
    EXPECT_EQ(sim.connect(1, "abcdefghijklmnopq"), Problem::NameTooLong);  // 17 bytes
    EXPECT_EQ(sim.connect(1, "\xC4\xE3\xBA\xC3\xC4\xE3\xBA\xC3\xC4\xE3\xBA\xC3\xC4\xE3\xBA\xC3\xC4\xE3"),
              Problem::NameTooLong);  // 9 GBK characters, 18 bytes
    EXPECT_EQ(sim.connect(1, "m1", std::nullopt), Problem::BadAddress);
    EXPECT_EQ(sim.connect(1, "m1", Ipv4{0}), Problem::BadAddress);
    EXPECT_TRUE(sim.traffic().empty());
    EXPECT_FALSE(sim.session(1).connecting());
    sim.advanceTicks(12);
    EXPECT_EQ(sim.count(1, Ev::ConnectFailed), 0);

    // Sixteen bytes (eight GBK characters) is still a name.
    const std::string eight = "\xC4\xE3\xBA\xC3\xC4\xE3\xBA\xC3\xC4\xE3\xBA\xC3\xC4\xE3\xBA\xC3";
    EXPECT_EQ(sim.connect(0, eight), Problem::None);
    ASSERT_EQ(sim.host().roster().count, 1);
    EXPECT_EQ(sim.host().roster().records[0].nameBytes(), eight);
}

// --- the roster ---------------------------------------------------------------------------------

class GroupRoster : public ::testing::TestWithParam<int> {};

TEST_P(GroupRoster, EveryMemberHoldsTheSameRoster)
{
    const int members = GetParam();
    GroupSim sim(members);
    sim.joinAll();
    ASSERT_EQ(sim.host().roster().count, members);
    expectEveryoneHoldsTheHostRoster(sim, range(0, members));
    for (int i = 0; i < members; ++i) {
        EXPECT_TRUE(sim.session(i).joined()) << "node " << i;
        // The one datagram carried the whole group.
        for (const Datagram& d : deliveredTo(sim, i, isRoster)) EXPECT_LE(d.bytes.size(), MaxDatagramSize);
    }
}

INSTANTIATE_TEST_SUITE_P(TwoAndFull, GroupRoster, ::testing::Values(2, MaxGroupMembers));

TEST(GroupJoin, TheThirtySecondIsAcknowledgedButNotEntered)
{
    GroupSim sim(MaxGroupMembers + 1);
    sim.joinAll(0, MaxGroupMembers);
    sim.clearRecords();
    const int late = MaxGroupMembers;
    ASSERT_EQ(sim.connect(late, "late"), Problem::None);

    EXPECT_EQ(deliveredTo(sim, late, isAck).size(), 1u);
    EXPECT_TRUE(sim.trafficWhere([](const Datagram& d) { return isRoster(d); }).empty());
    EXPECT_EQ(sim.host().roster().count, MaxGroupMembers);
    EXPECT_EQ(sim.session(late).roster().count, 0);
    expectEveryoneHoldsTheHostRoster(sim, range(0, MaxGroupMembers));
}

// --- leaving, restarting, connecting again ------------------------------------------------------

TEST(GroupJoin, LeaveRemovesTheMemberAndEveryoneHearsTheNewRoster)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.act(1, [](MemberSession& s) { s.leave(); });

    EXPECT_EQ(sim.node(0).leftNames, (std::vector<std::string>{"m1"}));
    ASSERT_EQ(sim.host().roster().count, 3);
    expectEveryoneHoldsTheHostRoster(sim, {0, 2, 3});
    EXPECT_EQ(sim.session(3).ownEntry().id, 1);  // the last record moved into the gap
    for (int i : {0, 2, 3}) EXPECT_GE(sim.count(i, Ev::RosterChanged), 1) << "node " << i;
}

TEST(GroupJoin, HostLeavingItsOwnGroupGoesToItsOwnTable)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.act(0, [](MemberSession& s) { s.leave(); });
    ASSERT_EQ(sim.host().roster().count, 2);
    expectEveryoneHoldsTheHostRoster(sim, {1, 2});
}

TEST(GroupJoin, RestartedClientsSecondRecordIsSweptAway)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.restart(2);  // a fresh client on the same machine: it joins with no id
    ASSERT_EQ(sim.connect(2, "m2"), Problem::None);
    ASSERT_EQ(sim.host().roster().count, 4);

    // The host table's own deadline: the sweep falls due DuplicateSweepMs after the second
    // record came, whatever the sessions' ticks do.
    ASSERT_EQ(sim.host().nextDeadline(), sim.now() + HostTable::DuplicateSweepMs);
    sim.advanceBy(HostTable::DuplicateSweepMs - 1);
    ASSERT_EQ(sim.host().roster().count, 4);
    sim.advanceBy(1);
    ASSERT_EQ(sim.host().roster().count, 3);
    // No sweep is pending; what the host may still wait for is a member falling silent, and the
    // members ask for the roster at least every 30 s.
    const auto next = sim.host().nextDeadline();
    EXPECT_TRUE(!next || *next >= sim.now() + HostTable::SilentMemberMs - 30'000);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(sim.nodeOfMember(k), k) << "record " << k;
    // The kept record is the earlier one, and its roster reached the restarted client too.
    expectEveryoneHoldsTheHostRoster(sim, {0, 1, 2});
}

TEST(GroupJoin, ConnectingAgainKeepsTheIndex)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.clearRecords();
    ASSERT_EQ(sim.connect(1, "m1x"), Problem::None);  // "更新", under a new name
    sim.advanceTicks(3);

    ASSERT_EQ(sim.host().roster().count, 3);
    EXPECT_EQ(sim.session(1).ownEntry().id, 1);
    EXPECT_EQ(sim.host().roster().records[1].nameBytes(), "m1x");
    for (int i : {0, 2}) EXPECT_EQ(sim.session(i).memberName(1), "m1x") << "node " << i;
    EXPECT_TRUE(sim.session(1).joined());
    EXPECT_EQ(sim.count(1, Ev::ConnectFailed), 0);
}

// A member misses the roster that renumbered it; "更新" brings it back to the group.
TEST(GroupJoin, StaleIdRecoversByConnectingAgain)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.dropLink(0, 3);
    sim.act(1, [](MemberSession& s) { s.leave(); });  // node 3 moves from 3 to 1, unheard
    sim.restoreLink(0, 3);
    ASSERT_EQ(sim.nodeOfMember(1), 3);
    ASSERT_EQ(sim.session(3).ownEntry().id, 3);

    sim.clearRecords();
    ASSERT_EQ(sim.connect(3, "m3"), Problem::None);
    EXPECT_EQ(deliveredTo(sim, 3, isRoster).size(), 1u);
    EXPECT_EQ(sim.session(3).ownEntry().id, 1);
    ASSERT_EQ(sim.host().roster().count, 3);
    expectEveryoneHoldsTheHostRoster(sim, {0, 2, 3});
}

TEST(GroupJoin, StaleIdNowAnotherMembersLeavesThatMemberAlone)
{
    GroupSim sim(5);
    sim.joinAll(0, 4);
    sim.dropLink(0, 3);
    sim.act(1, [](MemberSession& s) { s.leave(); });  // node 3: 3 -> 1, unheard
    sim.joinAll(4, 5);                                // node 4 is given index 3, unheard by node 3
    sim.restoreLink(0, 3);
    ASSERT_EQ(sim.nodeOfMember(3), 4);
    ASSERT_EQ(sim.session(3).ownEntry().id, 3);
    const MemberEntry newcomer = sim.host().roster().records[3];

    ASSERT_EQ(sim.connect(3, "m3"), Problem::None);
    EXPECT_EQ(sim.host().roster().records[3], newcomer);
    EXPECT_EQ(sim.nodeOfMember(1), 3);
    ASSERT_EQ(sim.host().roster().count, 4);
    expectEveryoneHoldsTheHostRoster(sim, {0, 2, 3, 4});
}
