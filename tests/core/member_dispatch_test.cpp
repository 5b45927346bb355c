#include "core/group/member_dispatch.h"

#include <gtest/gtest.h>

using namespace lumo;
using Action = MemberDispatch::Action;

namespace {

MemberEntry member(int id, const char* name, Ipv4 publicAddress, std::uint16_t publicPort)
{
    MemberEntry e;
    e.setName(name);
    e.id = static_cast<std::uint16_t>(id);
    e.localPort = MemberPort;
    e.localAddress = publicAddress;
    e.publicAddress = publicAddress;
    e.publicPort = publicPort;
    return e;
}

Roster threeMembers()
{
    Roster r;
    r.count = 3;
    r.records[0] = member(0, "ann", 0x0A000001, 4000);
    r.records[1] = member(1, "bob", 0x0A000002, 4001);
    r.records[2] = member(2, "cyd", 0x0A000003, 4002);
    return r;
}

struct DispatchTest : ::testing::Test {
    MemberState state;
    void SetUp() override
    {
        state.groupRoster = threeMembers();
        state.ownEntry = state.groupRoster.records[1];
    }
    // The datagram read as the endpoint reads it, then dispatched; one that is no message is
    // Dropped with the reader's reason.
    MemberDispatch run(const Bytes& datagram)
    {
        const WireRead read = readMessage(datagram);
        if (read.message) return dispatchMemberMessage(state, *read.message);
        MemberDispatch refused;
        refused.why = dropReasonOf(read.fault);
        return refused;
    }
};

}  // namespace

TEST_F(DispatchTest, RosterUpdateReplacesRosterAndOwnEntry)
{
    Roster incoming = threeMembers();
    incoming.records[2] = member(2, "dee", 0x0A000009, 5000);
    const auto result = run(makeRosterUpdate(2, incoming));
    EXPECT_EQ(result.action, Action::RosterReplaced);
    EXPECT_FALSE(result.send);
    EXPECT_EQ(state.groupRoster.count, 3);
    EXPECT_EQ(state.ownEntry, incoming.records[2]);
    EXPECT_EQ(state.groupRoster.records[2].nameBytes(), "dee");
}

TEST_F(DispatchTest, EmptyRosterEmptiesTheListAndKeepsOwnEntry)
{
    const MemberEntry before = state.ownEntry;
    Roster empty;
    EXPECT_EQ(run(makeRosterUpdate(0, empty)).action, Action::RosterReplaced);
    EXPECT_EQ(state.groupRoster.count, 0);
    EXPECT_EQ(state.ownEntry, before);
}

TEST_F(DispatchTest, HostProbeIsRelayedToTheOtherMemberAsMemberProbe)
{
    // [23, self=1, other=2, 1] -> [23, 2, 1, 2] to member 2's public address; nothing more.
    const auto result = run(makeHeaderOnly(cmd::PathProbe, 1, 2, Kind::FromHost));
    EXPECT_EQ(result.action, Action::ProbeRelayed);
    ASSERT_TRUE(result.send);
    EXPECT_EQ(result.send->bytes, (Bytes{23, 2, 1, 2}));
    EXPECT_EQ(result.send->to, (Endpoint{0x0A000003, 4002}));
}

TEST_F(DispatchTest, MemberProbeIsAnsweredWithPathConfirm)
{
    const auto result = run(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer));
    EXPECT_EQ(result.action, Action::ProbeAnswered);
    ASSERT_TRUE(result.send);
    EXPECT_EQ(result.send->bytes, (Bytes{21, 0, 1, 2}));
    EXPECT_EQ(result.send->to, (Endpoint{0x0A000001, 4000}));
}

TEST_F(DispatchTest, SimpleArrivals)
{
    EXPECT_EQ(run(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost)).action, Action::AckArrived);
    EXPECT_EQ(run(makeHeaderOnly(cmd::PathConfirm, 1, 2, Kind::PeerToPeer)).action, Action::PathConfirmed);
    EXPECT_EQ(run(makeHeaderOnly(cmd::VoiceStopNotice, 1, 2, Kind::PeerToPeer)).action, Action::Ignored);
    EXPECT_EQ(run(makeEntryDatagram(cmd::PathOpener, 1, 2, Kind::PeerToPeer, MemberEntry{})).action, Action::Ignored);
    // A request to a host is the host table's: the session takes none.
    const auto request = run(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, MemberEntry{}));
    EXPECT_EQ(request.action, Action::Dropped);
    EXPECT_EQ(request.why, DropReason::UnknownMessage);
}

TEST_F(DispatchTest, ChatTextCarriesSenderAndBytes)
{
    auto result = run(makeChatText(1, 2, "hello"));
    EXPECT_EQ(result.action, Action::ChatArrived);
    EXPECT_EQ(result.chatSender, 2);
    EXPECT_EQ(result.chatText, "hello");
    result = run(makeChatText(1, 0, ""));
    EXPECT_EQ(result.action, Action::ChatArrived);
    EXPECT_EQ(result.chatText, "");
}

TEST_F(DispatchTest, VoiceGroupCarriesSenderAndRecord)
{
    VoiceRecord record;
    record.sequence = 77;
    record.speech.fill(9);
    const auto result = run(makeVoiceDatagram(cmd::VoiceGroup, 1, 0, record));
    EXPECT_EQ(result.action, Action::VoiceArrived);
    EXPECT_EQ(result.voiceSender, 0);
    EXPECT_EQ(result.voiceRecord, record);
    EXPECT_EQ(run(makeVoiceDatagram(cmd::VoiceDirect, 1, 0, record)).action, Action::Ignored);
}

TEST_F(DispatchTest, MalformedDatagramsAreDroppedWithNothingChanged)
{
    const MemberState before = state;
    Bytes badCount{22, 0, 0, 1, 3, 0, 0, 0};
    badCount.resize(8 + 2 * 32);
    Roster named = threeMembers();
    const Bytes ownIndexOutside = makeRosterUpdate(3, named);  // byte 1 names no record
    using R = DropReason;
    const std::pair<Bytes, DropReason> cases[] = {
        {{}, R::TooShort},
        {{21, 0, 1}, R::TooShort},                                   // shorter than a header
        {{21, 0, 0, 0}, R::UnknownMessage},                          // kind 0
        {{21, 0, 0, 9}, R::UnknownMessage},                          // kind 9
        {{99, 0, 0, 2}, R::UnknownMessage},                          // unknown command
        {{22, 0, 0, 1, 1, 0}, R::BadLength},                         // roster without a count
        {badCount, R::BadLength},                                    // count larger than the records
        {{22, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0x7F}, R::BadLength},       // absurd count
        {ownIndexOutside, R::UnknownMember},
        {{23, 1, 3, 1}, R::UnknownMember},                           // probe naming member 3 of 3
        {{23, 1, 200, 1}, R::UnknownMember},                         // id beyond any table
        {{23, 1, 3, 2}, R::UnknownMember},
        {{15, 1, 3, 2, 'x'}, R::UnknownMember},                      // chat from an unknown member
        {{15, 1, 128, 2}, R::UnknownMember},
        {Bytes(67, 25), R::UnknownMessage},                          // kind 25: no message
        {{25, 1, 0, 2, 1, 2, 3}, R::BadLength},                      // voice datagram cut short
        {makeVoiceDatagram(cmd::VoiceGroup, 1, 3, VoiceRecord{}), R::UnknownMember},  // voice from an unknown member
        {{11, 0xCC, 0, 3}, R::BadLength},                            // join without its record
    };
    for (const auto& [datagram, why] : cases) {
        const auto result = run(datagram);
        EXPECT_EQ(result.action, Action::Dropped) << "datagram of " << datagram.size() << " bytes";
        EXPECT_EQ(result.why, why) << "datagram of " << datagram.size() << " bytes";
        EXPECT_FALSE(result.send);
    }
    EXPECT_EQ(state.groupRoster.count, before.groupRoster.count);
    EXPECT_EQ(state.groupRoster.records, before.groupRoster.records);
    EXPECT_EQ(state.ownEntry, before.ownEntry);
}
