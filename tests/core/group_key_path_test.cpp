// The session's path to a member that speaks keys: a confirmed probe alone does not open it; it
// opens once the handshake says the key proved itself (or that the member speaks plain where it
// joined), closes when the key changes, and a way that never proved the key is forgotten. The
// handshakes themselves are MemberTrust's; here the session is told their outcome.
#include "group_sim.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::sim;

namespace {

constexpr Ipv4 SymmetricOutside = 0xCB007105;  // 203.0.113.5

// Node 3 writes to node 2 and waits until node 2's probe has been confirmed.
void writeToTwo(GroupSim& sim)
{
    sim.act(3, [](MemberSession& s) { s.select(2); });
    sim.sendText(3, "hello");
    sim.advanceBy(MemberSession::PathWaitMs);
}

}  // namespace

TEST(GroupKeyPath, APathToAMemberThatSpeaksKeysOpensOnlyOnceItsKeyDecided)
{
    struct Row {
        const char* what;
        bool expectKey;
        std::vector<bool> decisions;  // keyDecided calls after the probe was confirmed
        bool open;
    };
    const Row rows[] = {
        {"a plain member: the confirmation opens it", false, {}, true},
        {"keys expected, nothing decided yet", true, {}, false},
        {"keys expected, the key proved itself", true, {true}, true},
        {"keys expected, proved, then the key changed", true, {true, false}, false},
        {"keys expected, the changed key accepted", true, {true, false, true}, true},
        {"a plain member's decision changes nothing", false, {false}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        GroupSim sim(4);
        sim.joinAll();
        if (row.expectKey) sim.act(3, [](MemberSession& s) { s.expectKey(2); });
        EXPECT_EQ(sim.session(3).expectsKey(2), row.expectKey);
        writeToTwo(sim);
        EXPECT_TRUE(sim.session(3).status(2).confirmed);
        for (const bool trusted : row.decisions) sim.act(3, [trusted](MemberSession& s) { s.keyDecided(2, trusted); });
        EXPECT_EQ(sim.session(3).status(2).pathOpen, row.open);
        EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{3, "hello"}}));  // the session's text went either way
    }
}

// A key decided before the probe was confirmed opens the path at the confirmation; a roster in
// which that member changed forgets both, so the next member in that place is judged afresh.
TEST(GroupKeyPath, AKeyDecidedFirstOpensThePathAtTheConfirmationAndARosterForgetsIt)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.act(3, [](MemberSession& s) {
        s.expectKey(2);
        s.keyDecided(2, true);
    });
    EXPECT_FALSE(sim.session(3).status(2).pathOpen);
    writeToTwo(sim);
    EXPECT_TRUE(sim.session(3).status(2).pathOpen);

    sim.connect(2, "node2again");  // its record changes: every member gets a new roster
    sim.settle();
    EXPECT_FALSE(sim.session(3).expectsKey(2));
}

// A new roster keeps what is known of members whose record did not change (open path, route,
// key decision, voice column): keepalives go only over confirmed paths, so a path reset there
// would stay closed. A member whose record changed starts afresh.
TEST(GroupKeyPath, ARosterKeepsThePathsOfUnchangedMembersOpen)
{
    struct Row {
        const char* what;
        int rejoining;  // the node that joins again under a new name (-1: a newcomer joins)
        bool stillOpen;
    };
    const Row rows[] = {
        {"a newcomer joins", -1, true},
        {"another member renamed", 1, true},
        {"that member renamed", 2, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        GroupSim sim(5);
        sim.joinAll(0, 4);
        sim.act(3, [](MemberSession& s) {
            s.expectKey(2);
            s.keyDecided(2, true);
        });
        writeToTwo(sim);
        ASSERT_TRUE(sim.session(3).status(2).pathOpen);
        if (row.rejoining < 0)
            sim.joinAll(4, 5);
        else
            sim.connect(row.rejoining, "again");
        sim.settle();
        EXPECT_EQ(sim.session(3).status(2).pathOpen, row.stillOpen);
        EXPECT_EQ(sim.session(3).status(2).confirmed, row.stillOpen);
        EXPECT_EQ(sim.session(3).expectsKey(2), row.stillOpen);
        // Keepalives keep it open from there on.
        sim.advanceTicks(3 * MemberSession::KeepaliveTicks);
        EXPECT_EQ(sim.session(3).status(2).pathOpen, row.stillOpen);
    }
}

// An open path that had not waited for a key (the member's key became known later) waits for it.
TEST(GroupKeyPath, AnOpenPathWaitsOnceAKeyIsExpected)
{
    GroupSim sim(4);
    sim.joinAll();
    writeToTwo(sim);
    ASSERT_TRUE(sim.session(3).status(2).pathOpen);
    sim.act(3, [](MemberSession& s) { s.expectKey(2); });
    EXPECT_FALSE(sim.session(3).status(2).pathOpen);
    sim.act(3, [](MemberSession& s) { s.keyDecided(2, true); });
    EXPECT_TRUE(sim.session(3).status(2).pathOpen);
}

// The way learned at another port (a translator's, or a neighbour's) never proved the key: it is
// forgotten, voice goes where the member joined, and the next text opens the path anew.
TEST(GroupKeyPath, AWayThatNeverProvedTheKeyIsForgotten)
{
    GroupSim sim(4);
    sim.putBehindSymmetricTranslator(2, SymmetricOutside);
    sim.joinAll();
    sim.act(3, [](MemberSession& s) { s.expectKey(2); });
    writeToTwo(sim);
    ASSERT_NE(sim.session(3).pathEndpoint(2), sim.publicEndpoint(2));
    ASSERT_TRUE(sim.session(3).status(2).confirmed);

    sim.act(3, [](MemberSession& s) { s.keyUnproved(2); });
    EXPECT_FALSE(sim.session(3).status(2).confirmed);
    EXPECT_FALSE(sim.session(3).status(2).pathOpen);
    EXPECT_EQ(sim.session(3).pathEndpoint(2), sim.publicEndpoint(2));
    sim.act(3, [](MemberSession& s) { s.tick(2, true); });
    EXPECT_EQ(sim.session(3).sendPlan().targets.at(0).to, sim.publicEndpoint(2));

    sim.sendText(3, "again");
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_TRUE(sim.session(3).status(2).confirmed);
    sim.act(3, [](MemberSession& s) { s.keyDecided(2, true); });
    EXPECT_TRUE(sim.session(3).status(2).pathOpen);
}

// Keepalives probe a confirmed path still waiting for its key, and close it when unanswered.
TEST(GroupKeyPath, AConfirmedPathWaitingForItsKeyIsClosedWhenItStopsAnswering)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.act(3, [](MemberSession& s) { s.expectKey(2); });
    writeToTwo(sim);
    ASSERT_TRUE(sim.session(3).status(2).confirmed);
    sim.dropLink(2, 3);
    sim.advanceTicks((MemberSession::KeepaliveLimit + 1) * MemberSession::KeepaliveTicks);
    EXPECT_FALSE(sim.session(3).status(2).confirmed);
}
