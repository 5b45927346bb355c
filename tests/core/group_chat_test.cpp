// Opening paths between members, chat text, and the partner and voice targets kept by identity
// while the host renumbers the group; a whole group in memory.
#include "group_sim.h"

#include "core/text/gbk.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::sim;
using Ev = SessionEvent::Kind;
using Fate = Datagram::Fate;

namespace {

std::vector<Datagram> sent(const GroupSim& sim, int from, std::uint8_t command, Kind kind)
{
    return sim.trafficWhere([&](const Datagram& d) { return d.fromNode == from && d.is(command, kind); });
}

}  // namespace

// --- paths --------------------------------------------------------------------------------------

TEST(GroupPath, IntroductionOpensThePathBothWays)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.clearRecords();
    sim.act(1, [](MemberSession& s) {
        s.tick(2, true);
        s.openPaths();
    });

    const auto opener = sent(sim, 1, cmd::PathOpener, Kind::PeerToPeer);
    ASSERT_EQ(opener.size(), 1u);
    EXPECT_EQ(opener[0].to, sim.publicEndpoint(2));
    const auto request = sent(sim, 1, cmd::PathRequest, Kind::ToHost);
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(request[0].to, (Endpoint{HostAddress, HostPort}));
    EXPECT_EQ(request[0].bytes[1], 1);
    EXPECT_EQ(request[0].bytes[2], 2);
    // The host introduces them to each other; each probes the other, each confirms.
    EXPECT_EQ(sent(sim, 0, cmd::PathProbe, Kind::FromHost).size(), 2u);
    EXPECT_FALSE(sent(sim, 1, cmd::PathProbe, Kind::PeerToPeer).empty());
    EXPECT_FALSE(sent(sim, 2, cmd::PathProbe, Kind::PeerToPeer).empty());
    EXPECT_FALSE(sent(sim, 2, cmd::PathConfirm, Kind::PeerToPeer).empty());

    EXPECT_TRUE(sim.session(1).status(2).pathOpen);
    EXPECT_TRUE(sim.session(2).status(1).pathOpen);
    EXPECT_FALSE(sim.session(1).status(0).pathOpen);
    const auto changed = sim.events(1, Ev::MemberChanged);
    EXPECT_TRUE(std::any_of(changed.begin(), changed.end(), [](const SessionEvent& e) { return e.memberId == 2; }));
}

TEST(GroupPath, OpensThroughTheMembersTranslator)
{
    GroupSim sim(3);
    sim.putBehindTranslator(2, TranslatorOf2);
    sim.joinAll();
    ASSERT_EQ(sim.session(1).roster().records[2].publicAddress, TranslatorOf2.address);
    sim.clearRecords();
    // The host's probe reaches node 2 late, after node 1's probe has met node 2's translator.
    sim.slowLink(0, 2);
    sim.act(1, [](MemberSession& s) {
        s.tick(2, true);
        s.openPaths();
    });

    // Node 2 had never sent to node 1: neither the opener nor node 1's first probe get in.
    const auto opener = sent(sim, 1, cmd::PathOpener, Kind::PeerToPeer);
    ASSERT_EQ(opener.size(), 1u);
    EXPECT_EQ(opener[0].fate, Fate::Translator);
    const auto probes = sent(sim, 1, cmd::PathProbe, Kind::PeerToPeer);
    ASSERT_GE(probes.size(), 2u);
    EXPECT_EQ(probes[0].fate, Fate::Translator);
    // Node 2's own probe opens its translator; node 1 answers it with one more probe, which gets
    // through and is confirmed: both sides see the path open.
    EXPECT_EQ(probes.back().fate, Fate::Delivered);
    EXPECT_TRUE(sim.session(1).status(2).pathOpen);
    EXPECT_TRUE(sim.session(2).status(1).pathOpen);
}

// --- chat text ----------------------------------------------------------------------------------

TEST(GroupChat, TextWrittenBeforeThePathWaitsForThePartnerAndKeepsItsOrder)
{
    GroupSim sim(3);
    sim.putBehindTranslator(2, TranslatorOf2);
    sim.joinAll();
    sim.act(1, [](MemberSession& s) {
        s.tick(2, true);
        s.select(2);
    });
    ASSERT_EQ(sim.session(1).partner(), 2);
    sim.clearRecords();

    // Three texts before anything comes back: sent at once, the translator would drop them.
    for (const char* text : {"one", "two", "three"}) sim.session(1).sendText(text, sim.now());
    sim.settle();
    sim.advanceBy(MemberSession::PathWaitMs);

    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "one"}, {1, "two"}, {1, "three"}}));
    for (const Datagram& d : sent(sim, 1, cmd::ChatText, Kind::PeerToPeer)) {
        EXPECT_EQ(d.fate, Fate::Delivered);
        EXPECT_EQ(d.to, TranslatorOf2);
    }
    EXPECT_TRUE(sim.session(1).status(2).pathOpen);

    // Once open, a text goes straight away.
    sim.clearRecords();
    sim.sendText(1, "four");
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "four"}}));
}

// In group mode the chat partner is the selected row, ticked or not: its path is opened for the
// text like any other.
TEST(GroupChat, TextToAnUntickedPartnerOpensThePathToIt)
{
    GroupSim sim(3);
    sim.putBehindTranslator(2, TranslatorOf2);
    sim.joinAll();
    sim.act(1, [](MemberSession& s) { s.select(2); });
    sim.clearRecords();
    sim.sendText(1, "hello");
    sim.advanceBy(MemberSession::PathWaitMs);
    // A partner who is not ticked gets a path request too: otherwise text to it behind a
    // translator would be lost after the path wait.
    ASSERT_FALSE(sent(sim, 1, cmd::PathRequest, Kind::ToHost).empty());
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "hello"}}));
    EXPECT_TRUE(sim.session(1).status(2).pathOpen);
}

// Node 1 writes to node 3, whom it never hears from, then to node 2, whose path opens at once.
TEST(GroupChat, HeldTextGoesAfterThePathWaitWhenThePartnerIsNeverHeard)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.dropLink(0, 3);  // the host's introduction to node 3 is lost
    sim.dropLink(3, 1);  // and nothing from node 3 reaches node 1
    sim.clearRecords();
    MemberSession& writer = sim.session(1);
    writer.select(3);
    writer.sendText("first", sim.now());
    writer.sendText("second", sim.now());
    writer.select(2);
    writer.sendText("other", sim.now());
    sim.settle();

    // Node 2's probe lets its own text go, and only that.
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "other"}}));
    sim.advanceBy(MemberSession::PathWaitMs - 1);
    EXPECT_TRUE(sim.chats(3).empty());
    sim.advanceBy(1);
    EXPECT_EQ(sim.chats(3), (std::vector<ChatLine>{{1, "first"}, {1, "second"}}));
    sim.advanceBy(5 * MemberSession::PathWaitMs);
    EXPECT_EQ(sim.chats(3).size(), 2u);  // nothing twice
    EXPECT_EQ(sim.chats(2).size(), 1u);
}

// "发送" reaches the partner and every ticked member, each once, each by its own datagrams.
TEST(GroupChat, TextGoesToThePartnerAndEveryTickedMember)
{
    struct Case {
        const char* what;
        std::vector<int> ticked;
        int partner;
        std::vector<int> reached;
    };
    const std::vector<Case> cases = {
        {"ticks only", {2, 3}, -1, {2, 3}},
        {"ticks and another partner", {2, 3}, 4, {2, 3, 4}},
        {"partner also ticked", {2, 3}, 3, {2, 3}},
        {"partner alone", {}, 4, {4}},
        {"nobody", {}, -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GroupSim sim(5);
        sim.putBehindTranslator(3, TranslatorOf2);
        sim.joinAll();
        sim.act(1, [&](MemberSession& s) {
            for (int id : c.ticked) s.tick(id, true);
            s.select(c.partner);
        });
        sim.clearRecords();
        sim.sendText(1, "to all");
        sim.advanceBy(2 * MemberSession::PathWaitMs);
        for (int node = 0; node < 5; ++node) {
            const bool wanted = std::find(c.reached.begin(), c.reached.end(), node) != c.reached.end();
            const std::vector<ChatLine> expected = wanted ? std::vector<ChatLine>{{1, "to all"}} : std::vector<ChatLine>{};
            EXPECT_EQ(sim.chats(node), expected) << "node " << node;
        }
        std::vector<int> recipients = sim.session(1).textRecipients();
        std::sort(recipients.begin(), recipients.end());
        EXPECT_EQ(recipients, c.reached);
    }
}

// A ticked member that cannot be reached is named; the others get the text all the same.
TEST(GroupChat, TheTickedMemberThatCannotBeReachedIsNamedAlone)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.dropLink(0, 3);
    sim.dropLink(1, 3);
    sim.dropLink(3, 1);
    sim.act(1, [](MemberSession& s) {
        s.tick(2, true);
        s.tick(3, true);
    });
    sim.clearRecords();
    sim.sendText(1, "hello both");
    sim.advanceBy(MemberSession::PathWaitMs + (MemberSession::PathGiveUpTicks + 2) * MemberSession::TickMs);
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "hello both"}}));
    const auto failed = sim.events(1, Ev::PathFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].memberId, 3);
}

TEST(GroupChat, LongTextArrivesWholeInPiecesCutBetweenCharacters)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.act(1, [](MemberSession& s) { s.select(2); });
    sim.sendText(1, "hello");
    sim.advanceBy(MemberSession::PathWaitMs);
    ASSERT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "hello"}}));
    sim.clearRecords();

    // One ASCII byte, then two-byte characters: a cut at byte 252 would split the 126th.
    std::string text = "a";
    for (int i = 0; i < 200; ++i) text += "\xC4\xE3";
    sim.sendText(1, text);
    sim.advanceBy(MemberSession::PathWaitMs);

    const auto lines = sim.chats(2);
    ASSERT_EQ(lines.size(), 2u);
    std::string joined;
    for (const ChatLine& line : lines) {
        EXPECT_EQ(line.from, 1);
        EXPECT_LE(line.text.size(), MaxChatTextBytes);
        EXPECT_EQ(gbkPrefixLength(line.text, line.text.size()), line.text.size()) << "a character was split";
        joined += line.text;
    }
    EXPECT_EQ(lines[0].text.size(), 251u);
    EXPECT_EQ(joined, text);

    // Exactly one datagram's worth goes as one.
    sim.clearRecords();
    sim.sendText(1, std::string(MaxChatTextBytes, 'x'));
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, std::string(MaxChatTextBytes, 'x')}}));
}

// --- the group renumbered -----------------------------------------------------------------------

// Node 0 chose node 3 as partner and ticked nodes 2 and 3. Node 1 leaves: the host moves node 3
// into index 1. The choices go with the members, not with the numbers.
TEST(GroupReorder, PartnerAndTargetsFollowTheirMembers)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.act(0, [](MemberSession& s) {
        s.tick(2, true);
        s.tick(3, true);
        s.select(3);
    });
    ASSERT_EQ(sim.session(0).partner(), 3);
    sim.act(1, [](MemberSession& s) { s.leave(); });
    ASSERT_EQ(sim.nodeOfMember(1), 3);
    ASSERT_EQ(sim.session(0).roster().count, 3);
    sim.clearRecords();

    EXPECT_EQ(sim.session(0).partner(), 1);
    EXPECT_EQ(sim.session(0).memberName(sim.session(0).partner()), "m3");
    EXPECT_TRUE(sim.session(0).status(1).ticked);
    EXPECT_TRUE(sim.session(0).status(2).ticked);

    sim.sendText(0, "for m3");
    sim.advanceBy(MemberSession::PathWaitMs);
    // The partner and the other ticked member, each once, under their new ids.
    EXPECT_EQ(sim.chats(3), (std::vector<ChatLine>{{0, "for m3"}}));
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{0, "for m3"}}));
    EXPECT_TRUE(sim.chats(1).empty());
    // And node 3 answers under its new id.
    sim.act(3, [](MemberSession& s) { s.select(0); });
    sim.sendText(3, "got it");
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_EQ(sim.chats(0), (std::vector<ChatLine>{{1, "got it"}}));

    // Voice goes to both ticked members at their own addresses, under their new ids.
    const VoiceSendPlan plan = sim.session(0).sendPlan();
    std::vector<std::pair<int, Endpoint>> targets;
    for (const auto& t : plan.targets) targets.push_back({t.id, t.to});
    std::sort(targets.begin(), targets.end(), [](auto& a, auto& b) { return a.first < b.first; });
    EXPECT_EQ(targets, (std::vector<std::pair<int, Endpoint>>{{1, sim.publicEndpoint(3)}, {2, sim.publicEndpoint(2)}}));
}

TEST(GroupReorder, PartnerWhoLeftIsForgottenAndNothingGoesForThem)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.act(0, [](MemberSession& s) {
        s.tick(1, true);
        s.select(1);
    });
    sim.act(1, [](MemberSession& s) { s.leave(); });  // node 3 takes index 1
    ASSERT_EQ(sim.nodeOfMember(1), 3);

    EXPECT_GE(sim.count(0, Ev::PartnerChanged), 1);
    EXPECT_EQ(sim.session(0).partner(), -1);
    EXPECT_EQ(sim.session(0).voiceTargets().count, 0);
    EXPECT_FALSE(sim.session(0).status(1).ticked);
    EXPECT_TRUE(sim.session(0).sendPlan().targets.empty());

    sim.clearRecords();
    sim.sendText(0, "are you there?");
    sim.talk(0, 1);
    sim.advanceBy(2 * MemberSession::PathWaitMs);
    EXPECT_TRUE(sim.trafficWhere([](const Datagram& d) {
                       return d.fromNode == 0 && d.fromPort == MemberPort && d.kind() == std::uint8_t(Kind::PeerToPeer);
                   }).empty());
    EXPECT_TRUE(sim.chats(3).empty());
    EXPECT_TRUE(sim.node(3).playback.empty());
}

TEST(GroupReorder, TextHeldForAPartnerWhoLeftGoesToNobody)
{
    GroupSim sim(4);
    sim.joinAll();
    sim.dropLink(0, 1);  // node 0's path to node 1 never opens: its text waits
    sim.dropLink(1, 0);
    sim.act(0, [](MemberSession& s) {
        s.tick(1, true);
        s.select(1);
    });
    sim.sendText(0, "wait for me");
    sim.restoreLink(0, 1);
    sim.restoreLink(1, 0);
    sim.clearRecords();
    sim.act(1, [](MemberSession& s) { s.leave(); });  // node 3 takes index 1
    ASSERT_EQ(sim.nodeOfMember(1), 3);
    sim.advanceBy(2 * MemberSession::PathWaitMs);
    EXPECT_TRUE(sim.trafficWhere([](const Datagram& d) { return d.is(cmd::ChatText, Kind::PeerToPeer); }).empty());
    EXPECT_TRUE(sim.chats(3).empty());
}

// Node 0 accepted node 3's voice. Node 1 leaves (node 3 becomes 1) and a newcomer is given 3.
// The answer was about node 3, not about the number.
TEST(GroupReorder, VoiceAnswersStayWithTheMember)
{
    GroupSim sim(5);
    sim.joinAll(0, 4);
    sim.act(3, [](MemberSession& s) {
        s.tick(0, true);
        s.voiceButton();
    });
    sim.talk(3, 1);
    sim.talk(3, 2);
    ASSERT_EQ(sim.count(0, Ev::AskVoice), 1);
    sim.act(0, [](MemberSession& s) { s.answerQuestion(3, true); });
    sim.act(1, [](MemberSession& s) { s.leave(); });
    sim.joinAll(4, 5);
    ASSERT_EQ(sim.nodeOfMember(1), 3);
    ASSERT_EQ(sim.nodeOfMember(3), 4);
    sim.act(4, [](MemberSession& s) {
        s.tick(0, true);
        s.voiceButton();
    });
    sim.node(0).playback.clear();

    sim.talk(4, 10);
    ASSERT_EQ(sim.node(0).playback.size(), 1u);
    EXPECT_EQ(sim.node(0).playback[0].memberId, 3);
    // The slot followed its member, not the id: the newcomer is a first block, asked about anew.
    EXPECT_TRUE(sim.node(0).playback[0].firstBlock);
    sim.talk(4, 11);
    EXPECT_EQ(sim.node(0).playback.size(), 1u);  // not played before the player answers
}

// --- held text at closing -------------------------------------------------------------------------

TEST(GroupChat, HeldTextStillGoesWhenTheSenderLeaves)
{
    GroupSim sim(3);
    sim.joinAll();
    sim.dropLink(0, 1);
    sim.dropLink(0, 2);
    sim.dropLink(2, 1);
    sim.act(1, [](MemberSession& s) { s.select(2); });
    sim.session(1).sendText("bye", sim.now());
    sim.act(1, [](MemberSession& s) { s.leave(); });
    EXPECT_EQ(sim.chats(2), (std::vector<ChatLine>{{1, "bye"}}));
}
