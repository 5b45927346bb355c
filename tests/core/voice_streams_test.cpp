#include "core/voice/voice_streams.h"

#include <gtest/gtest.h>

using namespace lumo;

namespace {

Roster rosterOf(int count)
{
    Roster roster;
    roster.count = count;
    for (int i = 0; i < count; ++i) {
        roster.records[i].id = static_cast<std::uint16_t>(i);
        roster.records[i].publicAddress = 0x0A000000u + i;
        roster.records[i].publicPort = static_cast<std::uint16_t>(4000 + i);
    }
    return roster;
}

VoiceTargetList targets(std::initializer_list<int> ids)
{
    VoiceTargetList list;
    for (int id : ids) list.ids[list.count++] = id;
    return list;
}

}  // namespace

TEST(VoiceSendPlan, GroupModeSendsTheSameRecordToEveryTargetWithARosterEntry)
{
    const Roster roster = rosterOf(4);
    MemberEntry own = roster.records[2];
    const VoiceSendPlan plan = makeVoiceSendPlan(true, targets({0, 3, 9, -1}), -1, roster, own);
    VoiceRecord record;
    record.sequence = 5;
    const auto datagrams = plan.datagrams(record);
    ASSERT_EQ(datagrams.size(), 2u);  // id 9 has no entry and -1 is none: neither is sent to
    EXPECT_EQ(datagrams[0].to, (Endpoint{0x0A000000, 4000}));
    EXPECT_EQ(datagrams[0].bytes, makeVoiceDatagram(cmd::VoiceGroup, 0, 2, record));
    EXPECT_EQ(datagrams[1].to, (Endpoint{0x0A000003, 4003}));
    EXPECT_EQ(datagrams[1].bytes, makeVoiceDatagram(cmd::VoiceGroup, 3, 2, record));
}

TEST(VoiceSendPlan, NoTargetsSendsNothingAndDirectModeSendsToThePartnerOnly)
{
    const Roster roster = rosterOf(3);
    EXPECT_TRUE(makeVoiceSendPlan(true, targets({}), 1, roster, roster.records[0]).datagrams({}).empty());
    const auto direct = makeVoiceSendPlan(false, targets({2}), 1, roster, roster.records[0]).datagrams({});
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0].bytes[0], cmd::VoiceDirect);
    EXPECT_EQ(direct[0].bytes[1], 1);
    EXPECT_TRUE(makeVoiceSendPlan(false, targets({}), 7, roster, roster.records[0]).datagrams({}).empty());
}

// The capture thread's allocation-free form must put exactly the bytes and endpoints of the
// plain form on the wire, in group and direct mode, for every target count up to eight.
TEST(VoiceSendPlan, BlockFillWritesTheSameDatagramsAsThePlainForm)
{
    VoiceRecord record;
    record.sequence = 0x01020304;
    for (std::size_t i = 0; i < record.speech.size(); ++i) record.speech[i] = std::uint8_t(0xA0 + i);
    MemberEntry own;
    own.id = 5;
    const Roster roster = rosterOf(12);
    VoiceSendPlan::Block block;
    block.count = 99;  // whatever a previous block left
    for (int n = 0; n <= 8; ++n) {
        VoiceTargetList list;
        for (int i = 0; i < n; ++i) list.ids[list.count++] = 11 - i;
        for (const bool group : {true, false}) {
            const VoiceSendPlan plan = makeVoiceSendPlan(group, list, group ? -1 : (n ? 3 : -1), roster, own);
            const std::vector<Outgoing> plain = plan.datagrams(record);
            plan.fill(record, block);
            ASSERT_EQ(block.count, int(plain.size())) << "targets " << n << (group ? " group" : " direct");
            for (std::size_t i = 0; i < plain.size(); ++i) {
                EXPECT_EQ(Bytes(block.bytes[i].begin(), block.bytes[i].end()), plain[i].bytes) << "datagram " << i;
                EXPECT_EQ(block.to[i], plain[i].to) << "datagram " << i;
            }
        }
    }
}

TEST(PeerSlots, SixteenAtMostAndAnswersGoToTheFirstSlotOfTheMember)
{
    PeerSlots peers;
    for (int id = 0; id < PeerSlots::Count; ++id) {
        PeerSlot* slot = peers.firstFree();
        ASSERT_NE(slot, nullptr);
        slot->memberId = id;
    }
    EXPECT_EQ(peers.firstFree(), nullptr);
    EXPECT_EQ(peers.find(-1), nullptr);
    EXPECT_TRUE(peers.setAnswer(5, VoiceAnswer::Accepted));
    EXPECT_EQ(peers.find(5)->answer, VoiceAnswer::Accepted);
    EXPECT_FALSE(peers.setAnswer(40, VoiceAnswer::Refused));
}

TEST(PeerSlots, SweepFreesMembersSilentForMoreThan512TicksAndNamesTheFreedSlots)
{
    PeerSlots peers;
    PeerSlot* quiet = peers.firstFree();
    quiet->memberId = 1;
    quiet->lastHeard = 10;
    quiet->answer = VoiceAnswer::Accepted;
    PeerSlot* recent = peers.firstFree();
    recent->memberId = 2;
    recent->lastHeard = 100;

    EXPECT_TRUE(peers.sweepSilent(522).empty());  // exactly 512 ticks is not yet "more than"
    EXPECT_EQ(peers.sweepSilent(523), std::vector<int>{0});
    EXPECT_EQ(peers.find(1), nullptr);
    EXPECT_NE(peers.find(2), nullptr);
    EXPECT_EQ(peers.all()[0].answer, VoiceAnswer::NotAsked);  // a freed slot asks anew
    // The tick counter wraps: silence is measured modulo 2^32.
    recent->lastHeard = 0xFFFFFF00u;
    EXPECT_TRUE(peers.sweepSilent(0x10u).empty());
    EXPECT_EQ(peers.sweepSilent(0x200u), std::vector<int>{1});
}
