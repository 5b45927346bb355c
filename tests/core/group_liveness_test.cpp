// Knowing whether one is still in the group: a join acknowledged without a roster (the group is
// full), a host that stopped answering, and paths whose member stopped answering. A whole group
// in memory, with simulated time.
#include "group_sim.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::sim;
using Ev = SessionEvent::Kind;
using Problem = MemberSession::ConnectProblem;

namespace {

bool isRosterTo(const Datagram& d, int node)
{
    return d.toNode == node && d.is(cmd::RosterUpdate, Kind::FromHost);
}

std::size_t rosterRequestsFrom(const GroupSim& sim, int node)
{
    return sim.trafficWhere([node](const Datagram& d) { return d.fromNode == node && d.is(cmd::RosterRequest, Kind::ToHost); })
        .size();
}

std::size_t probesFrom(const GroupSim& sim, int from, int to)
{
    return sim.trafficWhere([=](const Datagram& d) {
                  return d.fromNode == from && d.toNode == to && d.is(cmd::PathProbe, Kind::PeerToPeer);
              })
        .size();
}

}  // namespace

// --- a full group -------------------------------------------------------------------------------

TEST(GroupFull, AckedButNotEnteredSaysSoAndLeavesTheButtonAtConnect)
{
    GroupSim sim(MaxGroupMembers + 1);
    sim.joinAll(0, MaxGroupMembers);
    for (int i = 0; i < MaxGroupMembers; ++i) ASSERT_EQ(sim.count(i, Ev::GroupFull), 0) << "node " << i;
    const int late = MaxGroupMembers;
    ASSERT_EQ(sim.connect(late, "late"), Problem::None);

    sim.advanceTicks(MemberSession::RosterWaitTicks - 1);
    EXPECT_EQ(sim.count(late, Ev::GroupFull), 0);
    EXPECT_TRUE(sim.session(late).connecting());
    sim.advanceTicks(1);
    EXPECT_EQ(sim.count(late, Ev::GroupFull), 1);
    EXPECT_EQ(sim.count(late, Ev::ConnectFailed), 0);  // the host did answer
    EXPECT_FALSE(sim.session(late).joined());
    EXPECT_FALSE(sim.session(late).connecting());
    EXPECT_GE(sim.count(late, Ev::ConnectChanged), 2);
    sim.advanceTicks(200);
    EXPECT_EQ(sim.count(late, Ev::GroupFull), 1);
    EXPECT_EQ(rosterRequestsFrom(sim, late), 0u);  // not joined: nothing to keep up

    // A member leaves; pressed again, the late one gets in.
    sim.act(3, [](MemberSession& s) { s.leave(); });
    ASSERT_EQ(sim.connect(late, "late"), Problem::None);
    sim.advanceTicks(3);
    EXPECT_TRUE(sim.session(late).joined());
    EXPECT_EQ(sim.count(late, Ev::GroupFull), 1);
}

// "更新" whose roster never comes: no longer counted as in the group.
TEST(GroupFull, UpdateWithoutRosterReturnsToConnect)
{
    GroupSim sim(3);
    sim.joinAll();
    ASSERT_TRUE(sim.session(1).joined());
    sim.setDrop([](const Datagram& d) { return isRosterTo(d, 1); });
    ASSERT_EQ(sim.connect(1, "m1"), Problem::None);
    sim.advanceTicks(MemberSession::RosterWaitTicks);
    EXPECT_EQ(sim.count(1, Ev::GroupFull), 1);
    EXPECT_FALSE(sim.session(1).joined());
}

// The roster is the host's answer too: a join whose Ack was lost still joins, and a roster that
// comes a tick or two late is still in time.
TEST(GroupFull, LostAckOrLateRosterStillJoins)
{
    GroupSim sim(3);
    sim.joinAll(0, 2);
    sim.setDrop([](const Datagram& d) { return d.toNode == 2 && d.is(cmd::Ack, Kind::FromHost); });
    ASSERT_EQ(sim.connect(2, "m2"), Problem::None);
    sim.advanceTicks(MemberSession::RosterWaitTicks + 2);
    EXPECT_TRUE(sim.session(2).joined());
    EXPECT_EQ(sim.count(2, Ev::ConnectFailed) + sim.count(2, Ev::GroupFull), 0);

    // Node 1 presses "更新"; its roster is held back until three ticks after the Ack.
    sim.dropNothing();
    sim.setDrop([](const Datagram& d) { return isRosterTo(d, 1); });
    ASSERT_EQ(sim.connect(1, "m1"), Problem::None);
    sim.dropNothing();
    sim.advanceTicks(3);
    EXPECT_TRUE(sim.session(1).connecting());
    sim.inject({HostAddress, HostPort}, sim.publicEndpoint(1), makeRosterUpdate(1, sim.host().roster()));
    sim.advanceTicks(1);
    EXPECT_TRUE(sim.session(1).joined());
    EXPECT_FALSE(sim.session(1).connecting());
    EXPECT_EQ(sim.count(1, Ev::GroupFull), 0);
}

// --- the host gone ------------------------------------------------------------------------------

TEST(GroupHost, AHostThatAnswersIsAskedNowAndThenAndNothingChanges)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.clearRecords();
    sim.advanceTicks(MemberSession::HostQuietTicks - 5);
    EXPECT_EQ(rosterRequestsFrom(sim, 1), 0u);
    sim.advanceTicks(10);
    EXPECT_EQ(rosterRequestsFrom(sim, 1), 1u);
    sim.advanceTicks(10 * MemberSession::HostQuietTicks);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rosterRequestsFrom(sim, i), 11u) << "node " << i;  // one in each quiet spell
        EXPECT_TRUE(sim.session(i).joined());
        EXPECT_EQ(sim.count(i, Ev::HostGone), 0);
        EXPECT_EQ(sim.count(i, Ev::RosterChanged), 0);  // the same group: nothing redrawn
        EXPECT_EQ(sim.session(i).dropCounts().total(), 0u);
    }
}

// Between the checks a quiet member is not woken at all: in a minute it wakes for the host
// check (every 30 s), the keepalive turns (every 20 s) and a sweep, not five times a second, and
// the ticks it slept through still count toward each check.
TEST(GroupHost, AQuietMemberIsWokenOnlyWhenACheckIsDue)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.clearRecords();
    const Millis end = sim.now() + 60'000;
    int wakes = 0;
    for (auto due = sim.session(1).nextDeadline(); due && *due <= end; due = sim.session(1).nextDeadline()) {
        ASSERT_GT(*due, sim.now());
        sim.advanceTo(*due);
        ++wakes;
    }
    EXPECT_LE(wakes, 8);
    EXPECT_EQ(rosterRequestsFrom(sim, 1), 2u);  // at 30 s and at 60 s of quiet
    EXPECT_TRUE(sim.session(1).joined());
}

TEST(GroupHost, AHostThatStopsAnsweringIsGoneAfterThreeRequests)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.clearRecords();
    sim.dropLink(0, 1);  // the host's answers no longer reach node 1
    // A forged roster, the same group from elsewhere, does not keep the host alive.
    for (int t = 0; t < 2 * MemberSession::HostQuietTicks && rosterRequestsFrom(sim, 1) == 0; ++t) sim.advanceTicks(1);
    sim.inject({machineAddress(2), HostPort}, sim.publicEndpoint(1), makeRosterUpdate(1, sim.host().roster()));
    EXPECT_EQ(rosterRequestsFrom(sim, 1), 1u);

    sim.advanceTicks(MemberSession::HostAskLimit * MemberSession::HostRetryTicks - 1);
    EXPECT_EQ(rosterRequestsFrom(sim, 1), std::size_t(MemberSession::HostAskLimit));
    EXPECT_EQ(sim.count(1, Ev::HostGone), 0);
    EXPECT_TRUE(sim.session(1).joined());
    sim.advanceTicks(1);
    EXPECT_EQ(sim.count(1, Ev::HostGone), 1);
    EXPECT_FALSE(sim.session(1).joined());
    EXPECT_GE(sim.count(1, Ev::ConnectChanged), 1);

    // Gone is said once, and nothing more is asked of that host.
    sim.advanceTicks(5 * MemberSession::HostQuietTicks);
    EXPECT_EQ(sim.count(1, Ev::HostGone), 1);
    EXPECT_EQ(rosterRequestsFrom(sim, 1), std::size_t(MemberSession::HostAskLimit));
    // The others heard their answers all along.
    EXPECT_EQ(sim.count(2, Ev::HostGone), 0);
    EXPECT_TRUE(sim.session(2).joined());

    // Once the host can be heard again, "连接" brings node 1 back.
    sim.restoreLink(0, 1);
    ASSERT_EQ(sim.connect(1, "m1"), Problem::None);
    sim.advanceTicks(3);
    EXPECT_TRUE(sim.session(1).joined());
}

// --- paths kept open ----------------------------------------------------------------------------

TEST(GroupKeepalive, AnOpenPathIsProbedAndStaysOpen)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.act(1, [](MemberSession& s) {
        s.tick(2, true);
        s.openPaths();
    });
    ASSERT_TRUE(sim.session(1).status(2).pathOpen);
    sim.clearRecords();

    sim.advanceTicks(MemberSession::KeepaliveTicks);
    EXPECT_EQ(probesFrom(sim, 1, 2), 1u);
    EXPECT_EQ(probesFrom(sim, 2, 1), 1u);
    EXPECT_EQ(probesFrom(sim, 1, 0), 0u);  // no path, no probe
    sim.advanceTicks(20 * MemberSession::KeepaliveTicks);
    EXPECT_EQ(probesFrom(sim, 1, 2), 21u);
    EXPECT_TRUE(sim.session(1).status(2).pathOpen);
    EXPECT_TRUE(sim.session(2).status(1).pathOpen);
    EXPECT_EQ(sim.count(1, Ev::MemberChanged), 0);
    EXPECT_TRUE(sim.trafficWhere([](const Datagram& d) { return d.is(cmd::PathRequest, Kind::ToHost); }).empty());
}

TEST(GroupKeepalive, APathWhoseProbesGoUnansweredClosesAndReopensThroughTheHost)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.act(1, [](MemberSession& s) {
        s.tick(2, true);
        s.select(2);
        s.openPaths();
    });
    ASSERT_TRUE(sim.session(1).status(2).pathOpen);
    sim.clearRecords();
    sim.dropLink(2, 1);  // node 2 can no longer be heard by node 1

    sim.advanceTicks(MemberSession::KeepaliveLimit * MemberSession::KeepaliveTicks);
    EXPECT_EQ(probesFrom(sim, 1, 2), std::size_t(MemberSession::KeepaliveLimit));
    EXPECT_TRUE(sim.session(1).status(2).pathOpen);
    sim.advanceTicks(MemberSession::KeepaliveTicks);
    EXPECT_FALSE(sim.session(1).status(2).pathOpen);
    const auto changed = sim.events(1, Ev::MemberChanged);
    EXPECT_TRUE(std::any_of(changed.begin(), changed.end(), [](const SessionEvent& e) { return e.memberId == 2; }));
    const std::size_t probes = probesFrom(sim, 1, 2);
    sim.advanceTicks(3 * MemberSession::KeepaliveTicks);
    EXPECT_EQ(probesFrom(sim, 1, 2), probes);  // a closed path is not probed

    // Next used, it is opened through the host again, and the text arrives.
    sim.restoreLink(2, 1);
    sim.clearRecords();
    sim.sendText(1, "still there?");
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_FALSE(sim.trafficWhere([](const Datagram& d) { return d.fromNode == 1 && d.is(cmd::PathRequest, Kind::ToHost); })
                     .empty());
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "still there?"}}));
    EXPECT_TRUE(sim.session(1).status(2).pathOpen);
}

// --- the host's view of its members -------------------------------------------------------------

// While rosters keep coming (node 3 presses "更新" every 10 s, and the host sends everyone the
// roster each time), every member still asks for the roster at least every 30 s, so the host
// hears from it. A member killed without a word falls silent and the host frees its place within
// two minutes; the others keep theirs.
TEST(GroupHost, MembersAskEveryHalfMinuteAndAKilledOneIsRemoved)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.clearRecords();
    const auto churn = [&sim](Millis duration) {
        for (Millis t = 0; t < duration; t += 10'000) {
            ASSERT_EQ(sim.connect(3, "m3"), Problem::None);
            sim.advanceBy(10'000);
        }
    };
    churn(120'000);
    EXPECT_GE(rosterRequestsFrom(sim, 1), std::size_t(120'000 / 30'000 - 1));

    const std::string killedName = sim.host().roster().records[2].nameBytes();
    sim.restart(2);  // killed: its new client does not join
    churn(120'000);
    ASSERT_EQ(sim.host().roster().count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_NE(sim.host().roster().records[std::size_t(i)].nameBytes(), killedName);
    EXPECT_EQ(sim.session(1).roster().count, 3);
    EXPECT_TRUE(sim.session(1).joined());
}
