// Members the roster's endpoint alone does not reach: behind a translator that gives every
// destination its own outside port, and two members behind one router that does not loop
// datagrams back in. The path is opened through the host as always; whichever way answers is
// kept while the path stays open, and forgotten when it stops answering. A whole group in memory.
#include "group_sim.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::sim;
using Fate = Datagram::Fate;

namespace {

constexpr Ipv4 SymmetricOutside = 0xCB007105;  // 203.0.113.5
constexpr Ipv4 SharedRouter = 0xCB007109;      // 203.0.113.9

std::vector<Datagram> between(const GroupSim& sim, int from, int to, std::uint8_t command)
{
    return sim.trafficWhere([&](const Datagram& d) {
        return d.fromNode == from && d.toNode == to && d.command() == command && d.fate == Fate::Delivered;
    });
}

// Nodes a and b exchange a text each way and a voice block each way; true when all arrived.
void talkBothWays(GroupSim& sim, int a, int b)
{
    sim.clearRecords();
    sim.act(a, [b](MemberSession& s) { s.select(b); });
    sim.sendText(a, "hello");
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_EQ(sim.chats(b), (std::vector<ChatLine>{{a, "hello"}}));
    sim.act(b, [a](MemberSession& s) { s.select(a); });
    sim.sendText(b, "hi");
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_EQ(sim.chats(a), (std::vector<ChatLine>{{b, "hi"}}));
    EXPECT_TRUE(sim.session(a).status(b).pathOpen);
    EXPECT_TRUE(sim.session(b).status(a).pathOpen);

    sim.act(a, [b](MemberSession& s) { s.tick(b, true); });
    sim.act(b, [a](MemberSession& s) { s.tick(a, true); });
    sim.talk(a, 1);
    sim.talk(b, 2);
    ASSERT_EQ(sim.node(b).playback.size(), 1u);
    EXPECT_EQ(sim.node(b).playback[0].memberId, a);
    ASSERT_EQ(sim.node(a).playback.size(), 1u);
    EXPECT_EQ(sim.node(a).playback[0].memberId, b);
}

}  // namespace

// --- a translator with a port per destination ---------------------------------------------------

// Node 2's datagrams to node 3 leave from another port than the one the host saw. Whether node 2's
// first datagram or the host's introduction reaches node 3 first, and whoever writes first, the
// path opens at the port node 2's datagrams really come from, and text and voice go both ways.
TEST(GroupRoute, ASymmetricTranslatorIsReachedAtThePortItsProbesComeFrom)
{
    for (const bool introductionFirst : {false, true}) {
        for (const bool translatedWritesFirst : {true, false}) {
            SCOPED_TRACE(testing::Message() << "introduction first " << introductionFirst << ", node 2 writes first "
                                            << translatedWritesFirst);
            GroupSim sim(4);
            sim.putBehindSymmetricTranslator(2, SymmetricOutside);
            sim.joinAll();
            ASSERT_EQ(sim.session(3).roster().records[2].publicAddress, SymmetricOutside);
            if (introductionFirst) sim.slowLink(2, 3);

            if (translatedWritesFirst)
                talkBothWays(sim, 2, 3);
            else
                talkBothWays(sim, 3, 2);

            const Endpoint toward3 = sim.seenFrom(2, sim.publicEndpoint(3));
            EXPECT_NE(toward3, sim.publicEndpoint(2));
            EXPECT_EQ(sim.session(3).pathEndpoint(2), toward3);
            EXPECT_EQ(sim.session(2).pathEndpoint(3), sim.publicEndpoint(3));
            // Everything node 3 sent node 2 after the path opened went to that port.
            for (const std::uint8_t command : {cmd::ChatText, cmd::VoiceGroup})
                EXPECT_FALSE(between(sim, 3, 2, command).empty()) << int(command);
        }
    }
}

// The port learned from a probe is taken only from the member's own address, and only after the
// host asked for a probe of that member: a forger elsewhere, or on that address without an
// introduction, gets no answer and is heard by no one.
TEST(GroupRoute, AnotherPortIsTakenOnlyFromTheMembersAddressAfterAnIntroduction)
{
    GroupSim sim(4);
    sim.putBehindSymmetricTranslator(2, SymmetricOutside);
    sim.joinAll();
    sim.clearRecords();
    const Endpoint node3 = sim.publicEndpoint(3);
    const Endpoint samePlaceOtherPort{SymmetricOutside, 6666};
    const Endpoint elsewhere{0x0D000001, 6666};
    const auto answersTo = [&](Endpoint forger) {
        return sim.trafficWhere([&](const Datagram& d) { return d.fromNode == 3 && d.to == forger; }).size();
    };

    // No introduction: neither a probe nor text from node 2's address on another port.
    const std::uint64_t before = sim.session(3).dropCounts().count(DropReason::NotFromMember);
    sim.inject(samePlaceOtherPort, node3, makeHeaderOnly(cmd::PathProbe, 3, 2, Kind::PeerToPeer));
    sim.inject(samePlaceOtherPort, node3, makeChatText(3, 2, "forged"));
    EXPECT_EQ(answersTo(samePlaceOtherPort), 0u);
    EXPECT_TRUE(sim.chats(3).empty());
    EXPECT_EQ(sim.session(3).dropCounts().count(DropReason::NotFromMember), before + 2);

    // With an introduction under way (node 3 writes to node 2): a probe from another address
    // still gets nothing; and text is never taken from a port the path did not answer from.
    sim.act(3, [](MemberSession& s) { s.select(2); });
    sim.session(3).sendText("to two", sim.now());
    sim.settle();
    sim.inject(elsewhere, node3, makeHeaderOnly(cmd::PathProbe, 3, 2, Kind::PeerToPeer));
    sim.inject(elsewhere, node3, makeChatText(3, 2, "forged"));
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_EQ(answersTo(elsewhere), 0u);
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{3, "to two"}}));
    EXPECT_TRUE(sim.chats(3).empty());
    EXPECT_NE(sim.session(3).pathEndpoint(2), elsewhere);

    // Long after the introduction, another port of node 2's address is not answered either.
    sim.advanceTicks(2 * MemberSession::IntroductionTicks);
    const std::size_t answered = answersTo(samePlaceOtherPort);
    sim.inject(samePlaceOtherPort, node3, makeHeaderOnly(cmd::PathProbe, 3, 2, Kind::PeerToPeer));
    sim.inject(samePlaceOtherPort, node3, makeChatText(3, 2, "forged"));
    EXPECT_EQ(answersTo(samePlaceOtherPort), answered);
    EXPECT_TRUE(sim.chats(3).empty());
}

// A learned port that stops answering is forgotten with the path; the next text opens the path
// through the host again and finds the port anew.
TEST(GroupRoute, ALearnedPortIsForgottenWhenThePathStopsAnswering)
{
    GroupSim sim(4);
    sim.putBehindSymmetricTranslator(2, SymmetricOutside);
    sim.joinAll();
    talkBothWays(sim, 3, 2);
    ASSERT_NE(sim.session(3).pathEndpoint(2), sim.publicEndpoint(2));

    sim.dropLink(2, 3);
    sim.dropLink(3, 2);
    sim.advanceTicks((MemberSession::KeepaliveLimit + 1) * MemberSession::KeepaliveTicks);
    EXPECT_FALSE(sim.session(3).status(2).pathOpen);
    EXPECT_EQ(sim.session(3).pathEndpoint(2), sim.publicEndpoint(2));
    EXPECT_EQ(sim.session(3).sendPlan().targets.at(0).to, sim.publicEndpoint(2));

    sim.restoreLink(2, 3);
    sim.restoreLink(3, 2);
    sim.clearRecords();
    sim.sendText(3, "back again");
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{3, "back again"}}));
    EXPECT_TRUE(sim.session(3).status(2).pathOpen);
}

// --- two members behind one router --------------------------------------------------------------

// The router does not loop datagrams for its own outside address back in, so the roster's
// endpoints do not reach; the inside addresses the roster carries do.
TEST(GroupRoute, MembersBehindOneRouterMeetAtTheirInsideAddresses)
{
    GroupSim sim(4);
    sim.putBehindTranslator(2, {SharedRouter, 40002});
    sim.putBehindTranslator(3, {SharedRouter, 40003});
    sim.joinAll();
    ASSERT_EQ(sim.session(2).roster().records[3].localAddress, machineAddress(3));

    talkBothWays(sim, 2, 3);

    EXPECT_EQ(sim.session(2).pathEndpoint(3), (Endpoint{machineAddress(3), MemberPort}));
    EXPECT_EQ(sim.session(3).pathEndpoint(2), (Endpoint{machineAddress(2), MemberPort}));
    // What went to the router's own address was refused there; the text and voice went inside.
    for (const Datagram& d : sim.trafficWhere([](const Datagram& d) { return d.fromNode == 2 && d.toNode == 3; }))
        if (d.command() == cmd::ChatText || d.command() == cmd::VoiceGroup) {
            EXPECT_EQ(d.to.address, machineAddress(3));
        }
}

// Members behind different routers never try each other's inside addresses.
TEST(GroupRoute, InsideAddressesAreTriedOnlyBehindTheSameOutsideAddress)
{
    GroupSim sim(4);
    sim.putBehindTranslator(2, {SharedRouter, 40002});
    sim.putBehindTranslator(3, {SymmetricOutside, 40003});
    sim.joinAll();
    talkBothWays(sim, 2, 3);
    const auto inside = sim.trafficWhere([](const Datagram& d) {
        return (d.fromNode == 2 && d.to.address == machineAddress(3)) ||
               (d.fromNode == 3 && d.to.address == machineAddress(2));
    });
    EXPECT_TRUE(inside.empty());
    EXPECT_EQ(sim.session(2).pathEndpoint(3), sim.publicEndpoint(3));
}

// --- a path that never opens --------------------------------------------------------------------

// Text that waited for a path and went without one, to a member whose path still does not open:
// the player is told once it may not have arrived; a path that opens late tells nothing.
TEST(GroupRoute, TextToAMemberThatCannotBeReachedIsReported)
{
    for (const bool reachable : {false, true}) {
        SCOPED_TRACE(reachable ? "reachable" : "unreachable");
        GroupSim sim(4);
        sim.joinAll();
        sim.act(2, [](MemberSession& s) { s.select(3); });
        sim.advanceBy(10'000);  // a quiet spell first: the sessions sleep through its ticks
        sim.clearRecords();
        sim.dropLink(2, 3);
        sim.dropLink(3, 2);
        sim.sendText(2, "anyone there?");
        sim.advanceBy(MemberSession::PathWaitMs);
        if (!reachable) {
            // Not before the time given to the path (less the tick the deadline may share).
            sim.advanceTicks(MemberSession::PathGiveUpTicks - 2);
            EXPECT_TRUE(sim.events(2, SessionEvent::Kind::PathFailed).empty());
        }
        if (reachable) {
            sim.restoreLink(2, 3);
            sim.restoreLink(3, 2);
            sim.act(2, [](MemberSession& s) {
                s.tick(3, true);
                s.openPaths();
            });
        }
        sim.advanceTicks(2 * MemberSession::PathGiveUpTicks);
        const auto failed = sim.events(2, SessionEvent::Kind::PathFailed);
        if (reachable) {
            EXPECT_TRUE(failed.empty());
            EXPECT_TRUE(sim.session(2).status(3).pathOpen);
        } else {
            ASSERT_EQ(failed.size(), 1u);
            EXPECT_EQ(failed[0].memberId, 3);
        }
    }
}

// --- a neighbour on the member's address ---------------------------------------------------------

// Node 3 opens a path to node 2, whose own endpoint answers. A neighbour behind node 2's
// translator (another port of its address) then probes or confirms as node 2, while the host's
// introduction is still fresh. Whatever it sends, node 3 keeps node 2's own endpoint: its text
// and voice never reach the neighbour, and the neighbour's text is not shown as node 2's.
TEST(GroupRoute, ANeighbourOnTheMembersAddressNeverTakesAnAnsweredPath)
{
    const std::vector<std::vector<std::uint8_t>> forgeries = {{cmd::PathProbe}, {cmd::PathConfirm},
                                                              {cmd::PathProbe, cmd::PathConfirm}};
    for (const auto& commands : forgeries) {
        SCOPED_TRACE(testing::Message() << "forged commands " << commands.size() << " first " << int(commands[0]));
        GroupSim sim(4);
        sim.putBehindTranslator(2, {SharedRouter, 40000});
        sim.joinAll();
        const Endpoint node2 = sim.publicEndpoint(2), node3 = sim.publicEndpoint(3);
        const Endpoint neighbour{SharedRouter, 40002};

        sim.act(3, [](MemberSession& s) { s.select(2); });
        sim.sendText(3, "meet at the north gate");
        sim.advanceBy(MemberSession::PathWaitMs);
        ASSERT_EQ(sim.session(3).pathEndpoint(2), node2);
        for (int round = 0; round < 3; ++round)
            for (const std::uint8_t command : commands)
                sim.inject(neighbour, node3, makeHeaderOnly(command, 3, 2, Kind::PeerToPeer));
        sim.inject(neighbour, node3, makeChatText(3, 2, "forged"));

        sim.clearRecords();
        sim.sendText(3, "second");
        sim.act(3, [](MemberSession& s) { s.tick(2, true); });
        sim.talk(3, 1);
        EXPECT_EQ(sim.session(3).pathEndpoint(2), node2);
        EXPECT_TRUE(sim.trafficWhere([&](const Datagram& d) {
                        return d.to == neighbour && (d.command() == cmd::ChatText || d.command() == cmd::VoiceGroup);
                    }).empty());
        EXPECT_EQ(sim.chats(2).back().text, "second");
        EXPECT_EQ(sim.node(2).playback.size(), 1u);
        EXPECT_TRUE(sim.chats(3).empty());
    }
}
