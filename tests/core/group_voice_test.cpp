// Voice between members: the voice button, where captured blocks go, and what a member does with
// voice that arrives, until the silence sweep; a whole group in memory.
#include "group_sim.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::sim;
using Ev = SessionEvent::Kind;

namespace {

struct GroupVoice : ::testing::Test {
    GroupSim sim{3};
    void SetUp() override
    {
        sim.putBehindTranslator(2, TranslatorOf2);
        sim.joinAll();
        sim.clearRecords();
    }
    void press(int node) { sim.act(node, [](MemberSession& s) { s.voiceButton(); }); }
};

}  // namespace

// --- the voice button ---------------------------------------------------------------------------

TEST_F(GroupVoice, NobodyTickedIsAloneAndDirectModeWithoutPartnerSaysSo)
{
    press(1);
    EXPECT_EQ(sim.count(1, Ev::Alone), 1);
    EXPECT_FALSE(sim.session(1).talking());
    EXPECT_FALSE(sim.session(1).voiceButtonStops());
    EXPECT_EQ(sim.microphone(1).starts, 0);

    sim.act(1, [](MemberSession& s) { s.setGroupMode(false); });
    press(1);
    EXPECT_EQ(sim.count(1, Ev::NoPartner), 1);
    EXPECT_FALSE(sim.session(1).talking());
    EXPECT_EQ(sim.microphone(1).starts, 0);
}

TEST_F(GroupVoice, TickedMembersHearTheTalkerUntilTheButtonStopsIt)
{
    sim.act(1, [](MemberSession& s) {
        s.tick(0, true);
        s.tick(2, true);
        s.select(2);
    });
    EXPECT_GE(sim.count(1, Ev::SelectionChanged), 1);
    EXPECT_TRUE(sim.session(1).status(2).ticked);
    press(1);
    EXPECT_EQ(sim.microphone(1).starts, 1);
    EXPECT_TRUE(sim.microphone(1).running);
    EXPECT_TRUE(sim.session(1).talking());
    EXPECT_TRUE(sim.session(1).voiceButtonStops());
    EXPECT_GE(sim.count(1, Ev::TalkingChanged), 1);

    const VoiceSendPlan plan = sim.session(1).sendPlan();
    EXPECT_EQ(plan.command, cmd::VoiceGroup);
    EXPECT_EQ(plan.senderId, 1);
    std::vector<std::pair<int, Endpoint>> targets;
    for (const auto& t : plan.targets) targets.push_back({t.id, t.to});
    std::sort(targets.begin(), targets.end(), [](auto& a, auto& b) { return a.first < b.first; });
    // Node 2 is reached where its translator shows it.
    EXPECT_EQ(targets, (std::vector<std::pair<int, Endpoint>>{{0, sim.publicEndpoint(0)}, {2, TranslatorOf2}}));

    sim.talk(1, 1);
    for (int listener : {0, 2}) {
        SCOPED_TRACE("listener " + std::to_string(listener));
        ASSERT_EQ(sim.node(listener).playback.size(), 1u);
        EXPECT_EQ(sim.node(listener).playback[0].memberId, 1);
        EXPECT_TRUE(sim.node(listener).playback[0].firstBlock);
        EXPECT_EQ(sim.node(listener).playback[0].record.sequence, 1u);
    }

    sim.clearRecords();
    const int stopsBefore = sim.microphone(1).stops;
    press(1);
    EXPECT_EQ(sim.microphone(1).stops, stopsBefore + 1);
    EXPECT_FALSE(sim.microphone(1).running);
    EXPECT_FALSE(sim.session(1).talking());
    EXPECT_FALSE(sim.session(1).voiceButtonStops());
    const auto stopNotice = sim.trafficWhere([](const Datagram& d) { return d.is(cmd::VoiceStopNotice, Kind::PeerToPeer); });
    ASSERT_EQ(stopNotice.size(), 1u);
    EXPECT_EQ(stopNotice[0].fromNode, 1);
    EXPECT_EQ(stopNotice[0].to, TranslatorOf2);
    EXPECT_EQ(stopNotice[0].bytes, (Bytes{cmd::VoiceStopNotice, 2, 1, 2}));
}

TEST(GroupVoiceTargets, AtMostEightTickedMembersAreSentTo)
{
    GroupSim sim(10);
    sim.joinAll();
    sim.act(0, [](MemberSession& s) {
        for (int id = 1; id <= 9; ++id) s.tick(id, true);
    });
    const VoiceSendPlan plan = sim.session(0).sendPlan();
    ASSERT_EQ(plan.targets.size(), std::size_t(VoiceTargetList::Capacity));
    std::set<int> ids;
    for (const auto& t : plan.targets) {
        ids.insert(t.id);
        EXPECT_EQ(t.to, sim.publicEndpoint(sim.nodeOfMember(t.id)));
    }
    EXPECT_EQ(ids.size(), plan.targets.size());
    EXPECT_EQ(ids.count(0), 0u);  // never to ourselves
}

TEST_F(GroupVoice, OverlayAskingForVoiceOnTwiceStartsTheMicrophoneOnce)
{
    sim.act(1, [](MemberSession& s) { s.tick(2, true); });
    sim.act(1, [](MemberSession& s) { s.setVoice(true); });
    ASSERT_TRUE(sim.session(1).talking());
    sim.act(1, [](MemberSession& s) { s.setVoice(true); });
    EXPECT_TRUE(sim.session(1).talking());
    EXPECT_EQ(sim.microphone(1).starts, 1);
    sim.act(1, [](MemberSession& s) { s.setVoice(false); });
    EXPECT_FALSE(sim.session(1).talking());
    EXPECT_FALSE(sim.microphone(1).running);
}

TEST_F(GroupVoice, MicrophoneThatWillNotOpenLeavesTheButtonAsItWas)
{
    sim.microphone(1).startResult = false;
    sim.act(1, [](MemberSession& s) { s.tick(2, true); });
    press(1);
    EXPECT_EQ(sim.microphone(1).starts, 1);
    EXPECT_EQ(sim.count(1, Ev::NoMicrophone), 1);
    EXPECT_FALSE(sim.session(1).talking());
    EXPECT_FALSE(sim.session(1).voiceButtonStops());

    // Once a device is there, the same press starts.
    sim.microphone(1).startResult = true;
    press(1);
    EXPECT_TRUE(sim.session(1).talking());
}

// The session asks for the microphone and talks only once the answer says it started: the
// button, the events and the microphone follow the answer, never the request alone.
TEST_F(GroupVoice, TalkingWaitsForTheMicrophonesAnswer)
{
    struct Case {
        bool started;
        std::vector<Ev> events;
    };
    for (const Case& c : {Case{true, {Ev::TalkingChanged}}, Case{false, {Ev::NoMicrophone, Ev::TalkingChanged}}}) {
        SCOPED_TRACE(c.started ? "started" : "would not open");
        GroupSim group(3);
        group.joinAll();
        group.act(1, [](MemberSession& s) { s.tick(2, true); });
        MemberSession& session = group.session(1);
        session.voiceButton();
        SessionOutput asked = session.takeOutput();
        EXPECT_EQ(asked.microphone, MicrophoneRequest::Start);
        EXPECT_FALSE(session.talking());
        for (const SessionEvent& e : asked.events) EXPECT_NE(e.kind, Ev::TalkingChanged);

        session.microphoneStarted(c.started);
        std::vector<Ev> told;
        for (const SessionEvent& e : session.takeOutput().events) told.push_back(e.kind);
        EXPECT_EQ(told, c.events);
        EXPECT_EQ(session.talking(), c.started);
        EXPECT_EQ(session.voiceButtonStops(), c.started);
    }
}

// An answer nobody asked for, or one that comes after the start was called off, starts nothing:
// the session would otherwise say it talks while no microphone runs.
TEST_F(GroupVoice, AnAnswerNobodyWaitsForChangesNothing)
{
    sim.act(1, [](MemberSession& s) { s.tick(2, true); });
    MemberSession& session = sim.session(1);
    session.microphoneStarted(true);
    EXPECT_FALSE(session.talking());
    EXPECT_TRUE(session.takeOutput().events.empty());

    // Pressed twice before the microphone answered: the second press calls the start off.
    session.voiceButton();
    session.voiceButton();
    EXPECT_EQ(session.takeOutput().microphone, MicrophoneRequest::Stop);
    session.microphoneStarted(true);
    EXPECT_FALSE(session.talking());
    EXPECT_FALSE(session.voiceButtonStops());
}

// Joining again while talking stops the microphone as the voice button would.
TEST_F(GroupVoice, ConnectingAgainWhileTalkingStopsTheMicrophone)
{
    sim.act(1, [](MemberSession& s) { s.tick(2, true); });
    press(1);
    ASSERT_TRUE(sim.microphone(1).running);
    ASSERT_EQ(sim.connect(1, "m1"), MemberSession::ConnectProblem::None);
    EXPECT_FALSE(sim.microphone(1).running);
    EXPECT_EQ(sim.microphone(1).stops, 1);
    EXPECT_FALSE(sim.session(1).talking());
}

// --- a member who talks to us -------------------------------------------------------------------

TEST_F(GroupVoice, NewTalkerIsHeardOnceThenAskedAboutOnce)
{
    sim.act(2, [](MemberSession& s) { s.tick(1, true); });
    press(2);
    ASSERT_TRUE(sim.session(2).talking());

    sim.talk(2, 1);
    ASSERT_EQ(sim.node(1).playback.size(), 1u);
    const VoicePlayback first = sim.node(1).playback[0];
    EXPECT_TRUE(first.firstBlock);
    EXPECT_EQ(first.memberId, 2);
    EXPECT_GE(sim.count(1, Ev::VoiceHeard), 1);
    EXPECT_EQ(sim.count(1, Ev::AskVoice), 0);
    ASSERT_NE(sim.session(1).voiceSlots().all()[first.slot].memberId, -1);

    // Not asked yet: the next blocks are not played, and the player is asked once.
    sim.talk(2, 2);
    sim.talk(2, 3);
    EXPECT_EQ(sim.node(1).playback.size(), 1u);
    const auto asked = sim.events(1, Ev::AskVoice);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].memberId, 2);

    sim.act(1, [](MemberSession& s) {
        s.answerQuestion(2, true);
        s.setGainBoost(true);
    });
    EXPECT_TRUE(sim.session(1).status(2).ticked);
    sim.talk(2, 4);
    ASSERT_EQ(sim.node(1).playback.size(), 2u);
    const VoicePlayback later = sim.node(1).playback[1];
    EXPECT_FALSE(later.firstBlock);
    EXPECT_EQ(later.slot, first.slot);
    EXPECT_EQ(later.record.sequence, 4u);
    EXPECT_TRUE(later.gainBoost);
    EXPECT_EQ(sim.session(1).status(2).voice, VoiceState::Chatting);
    EXPECT_EQ(sim.count(1, Ev::AskVoice), 1);
}

TEST_F(GroupVoice, RefusedTalkerIsNotPlayed)
{
    sim.act(2, [](MemberSession& s) { s.tick(1, true); });
    press(2);
    sim.talk(2, 1);
    sim.talk(2, 2);
    ASSERT_EQ(sim.count(1, Ev::AskVoice), 1);
    sim.act(1, [](MemberSession& s) { s.answerQuestion(2, false); });
    EXPECT_FALSE(sim.session(1).status(2).ticked);
    EXPECT_EQ(sim.session(1).status(2).voice, VoiceState::NotChatting);
    sim.talk(2, 3);
    sim.talk(2, 4);
    EXPECT_EQ(sim.node(1).playback.size(), 1u);  // the first block alone
    EXPECT_EQ(sim.count(1, Ev::AskVoice), 1);
}

TEST_F(GroupVoice, SilenceSweepFreesTheSlot)
{
    sim.act(2, [](MemberSession& s) { s.tick(1, true); });
    press(2);
    sim.talk(2, 1);
    ASSERT_EQ(sim.node(1).playback.size(), 1u);
    const int slot = sim.node(1).playback[0].slot;

    sim.advanceTicks(300);  // silent, but not long enough
    EXPECT_TRUE(sim.node(1).releasedSlots.empty());
    EXPECT_EQ(sim.session(1).voiceSlots().all()[slot].memberId, 2);

    sim.advanceTicks(2 * PeerSlots::SilentTicks);
    EXPECT_EQ(sim.node(1).releasedSlots, (std::vector<int>{slot}));
    EXPECT_EQ(sim.session(1).voiceSlots().all()[slot].memberId, -1);

    // Heard again, the member is new again.
    sim.talk(2, 2);
    ASSERT_EQ(sim.node(1).playback.size(), 2u);
    EXPECT_TRUE(sim.node(1).playback[1].firstBlock);
}
