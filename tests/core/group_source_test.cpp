// Where a member takes datagrams from: the group's control messages only from port 3555 of the
// host it joined, a member's text, voice and path messages only from where the roster records
// that member. Forged datagrams are dropped and counted; the real ones still work. A whole group
// in memory, with forged datagrams put onto its network.
#include "group_sim.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::sim;
using Ev = SessionEvent::Kind;

namespace {

constexpr Endpoint Outsider{0x0D000001, HostPort};

struct GroupSource : ::testing::Test {
    GroupSim sim{4};
    void SetUp() override
    {
        sim.putBehindTranslator(2, TranslatorOf2);
        sim.joinAll();
        sim.clearRecords();
    }
    Endpoint memberPort(int node) { return sim.publicEndpoint(node); }
    const DropCountsByReason& drops(int node) { return sim.session(node).dropCounts(); }
    std::size_t sentBy(int node)
    {
        return sim.trafficWhere([node](const Datagram& d) { return d.fromNode == node; }).size();
    }
};

// A roster that would put node 1 alone in a group of strangers.
Bytes strangeRoster()
{
    Roster r;
    r.count = 2;
    r.records[0].setName("evil");
    r.records[0].publicAddress = Outsider.address;
    r.records[0].publicPort = MemberPort;
    r.records[1].setName("m1");
    r.records[1].id = 1;
    return makeRosterUpdate(1, r);
}

}  // namespace

// Roster, Ack and the host's introduction from anywhere but the joined host's port 3555: from an
// outsider, from the host machine's member port, from another member's address on port 3555.
TEST_F(GroupSource, HostMessagesAreTakenOnlyFromTheJoinedHostsPort)
{
    const Roster before = sim.session(1).roster();
    const Endpoint forged[] = {Outsider, {HostAddress, MemberPort}, {machineAddress(3), HostPort}};
    for (const Endpoint& from : forged) {
        sim.inject(from, memberPort(1), strangeRoster());
        sim.inject(from, memberPort(1), makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost));
        // An introduction would make node 1 probe node 3 (a reflection at the forger's choice).
        sim.inject(from, memberPort(1), makeHeaderOnly(cmd::PathProbe, 1, 3, Kind::FromHost));
    }
    EXPECT_EQ(sim.session(1).roster().count, before.count);
    EXPECT_EQ(sim.session(1).roster().records, before.records);
    EXPECT_EQ(sim.count(1, Ev::RosterChanged), 0);
    EXPECT_EQ(sentBy(1), 0u);
    EXPECT_EQ(drops(1).count(DropReason::NotFromHost), 9u);

    // From the host's port 3555 the same introduction is carried out.
    sim.inject({HostAddress, HostPort}, memberPort(1), makeHeaderOnly(cmd::PathProbe, 1, 3, Kind::FromHost));
    EXPECT_EQ(sim.trafficWhere([](const Datagram& d) {
                     return d.fromNode == 1 && d.is(cmd::PathProbe, Kind::PeerToPeer) && d.toNode == 3;
                 }).size(),
              1u);
    EXPECT_EQ(drops(1).count(DropReason::NotFromHost), 9u);
}

// A client that joined nothing takes no roster at all.
TEST_F(GroupSource, NoRosterBeforeJoining)
{
    GroupSim fresh(2);
    fresh.inject({HostAddress, HostPort}, fresh.publicEndpoint(1), strangeRoster());
    EXPECT_EQ(fresh.session(1).roster().count, 0);
    EXPECT_EQ(fresh.session(1).dropCounts().count(DropReason::NotFromHost), 1u);
}

// Text and voice naming member 3 as sender, from node 3's address on another port, from another
// member, from an outsider: dropped. From node 3 itself (and from node 2 behind its translator,
// at the translator's port) they arrive.
TEST_F(GroupSource, TextAndVoiceAreTakenOnlyFromTheSendersRecordedAddressAndPort)
{
    VoiceRecord record;
    record.sequence = 7;
    const Endpoint forged[] = {{machineAddress(3), 40000}, memberPort(2), Outsider};
    for (const Endpoint& from : forged) {
        sim.inject(from, memberPort(1), makeChatText(1, 3, "forged"));
        sim.inject(from, memberPort(1), makeVoiceDatagram(cmd::VoiceGroup, 1, 3, record));
    }
    EXPECT_TRUE(sim.chats(1).empty());
    EXPECT_TRUE(sim.node(1).playback.empty());
    EXPECT_EQ(drops(1).count(DropReason::NotFromMember), 6u);

    sim.inject(memberPort(3), memberPort(1), makeChatText(1, 3, "real"));
    sim.inject(memberPort(3), memberPort(1), makeVoiceDatagram(cmd::VoiceGroup, 1, 3, record));
    EXPECT_EQ(sim.chats(1), (std::vector<ChatLine>{{3, "real"}}));
    EXPECT_EQ(sim.node(1).playback.size(), 1u);

    // Node 2 behind its translator speaks from the translator's address and port, as recorded.
    sim.act(2, [](MemberSession& s) { s.select(1); });
    sim.sendText(2, "via translator");
    sim.advanceBy(MemberSession::PathWaitMs);
    EXPECT_EQ(sim.chats(1).back(), (ChatLine{2, "via translator"}));
    EXPECT_EQ(drops(1).count(DropReason::NotFromMember), 6u);
}

// A forged member probe would make node 1 send a PathConfirm wherever the roster says; a forged
// confirmation would mark a path open that is not. Neither is taken.
TEST_F(GroupSource, PathProbesAndConfirmationsAreTakenOnlyFromTheMember)
{
    sim.inject(Outsider, memberPort(1), makeHeaderOnly(cmd::PathProbe, 1, 3, Kind::PeerToPeer));
    sim.inject(Outsider, memberPort(1), makeHeaderOnly(cmd::PathConfirm, 3, 1, Kind::PeerToPeer));
    sim.inject(memberPort(0), memberPort(1), makeHeaderOnly(cmd::PathConfirm, 3, 1, Kind::PeerToPeer));
    EXPECT_EQ(sentBy(1), 0u);
    EXPECT_FALSE(sim.session(1).status(3).pathOpen);
    // A confirmation from node 0 naming node 3 opens node 0's own path, not node 3's.
    EXPECT_TRUE(sim.session(1).status(0).pathOpen);
    EXPECT_EQ(drops(1).count(DropReason::NotFromMember), 2u);

    sim.inject(memberPort(3), memberPort(1), makeHeaderOnly(cmd::PathProbe, 1, 3, Kind::PeerToPeer));
    EXPECT_EQ(sim.trafficWhere([](const Datagram& d) {
                     return d.fromNode == 1 && d.is(cmd::PathConfirm, Kind::PeerToPeer) && d.toNode == 3;
                 }).size(),
              1u);
    sim.inject(memberPort(3), memberPort(1), makeHeaderOnly(cmd::PathConfirm, 1, 3, Kind::PeerToPeer));
    EXPECT_TRUE(sim.session(1).status(3).pathOpen);
}

// Paths, text and voice across the whole group still work with every check in place, and no
// datagram of the group's own is dropped on the way.
TEST_F(GroupSource, TheGroupsOwnTrafficIsNeverDropped)
{
    for (int from = 0; from < sim.size(); ++from) {
        const int to = (from + 1) % sim.size();
        sim.act(from, [to](MemberSession& s) {
            s.tick(to, true);
            s.select(to);
            s.voiceButton();
        });
        sim.sendText(from, "hi");
        sim.talk(from, 1);
    }
    sim.advanceBy(MemberSession::PathWaitMs);
    for (int i = 0; i < sim.size(); ++i) {
        EXPECT_EQ(sim.chats(i).size(), 1u) << "node " << i;
        EXPECT_EQ(drops(i).total(), 0u) << "node " << i;
        EXPECT_TRUE(sim.session(i).status((i + 1) % sim.size()).pathOpen) << "node " << i;
    }
    EXPECT_EQ(sim.host().dropCounts().count(DropReason::NotAMember), 0u);
    EXPECT_EQ(sim.host().dropCounts().count(DropReason::RateLimited), 0u);
}

// Whatever a client refuses, receive says why: one datagram per reason, each from where it
// would come, and the reason the session or the host table gave is the one the log will name.
TEST_F(GroupSource, EachRefusalSaysWhy)
{
    using R = DropReason;
    const Endpoint host{HostAddress, HostPort};
    MemberEntry stranger;
    stranger.setName("x");
    stranger.id = 5;
    const Bytes rosterRequest = makeEntryDatagram(cmd::RosterRequest, 5, 0, Kind::ToHost, stranger);
    struct Case {
        const char* what;
        Endpoint from, to;
        Bytes bytes;
        DropReason why;
    };
    const Case cases[] = {
        {"shorter than a header", memberPort(3), memberPort(1), {15, 1, 3}, R::TooShort},
        {"a command no peer of ours speaks", memberPort(3), memberPort(1), {99, 1, 3, 2}, R::UnknownMessage},
        {"voice cut short", memberPort(3), memberPort(1), {25, 1, 3, 2, 0}, R::BadLength},
        {"the host introducing an id the roster lacks", host, memberPort(1), makeHeaderOnly(cmd::PathProbe, 1, 9, Kind::FromHost), R::UnknownMember},
        {"a roster not from the host", Outsider, memberPort(1), makeHeaderOnly(cmd::Ack, 1, 0, Kind::FromHost), R::NotFromHost},
        {"text not from its sender", Outsider, memberPort(1), makeChatText(1, 3, "forged"), R::NotFromMember},
        {"a roster request from nowhere recorded", Outsider, host, rosterRequest, R::NotAMember},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int to = c.to == host ? 0 : 1;
        sim.node(to).drops.clear();
        sim.inject(c.from, c.to, c.bytes);
        EXPECT_EQ(sim.node(to).drops, std::vector<DropReason>{c.why});
    }

    // Past its burst a source is refused unanswered; past four records it may not join again.
    sim.node(0).drops.clear();
    for (int i = 0; i <= HostTable::RequestBurst; ++i) sim.inject(Outsider, host, rosterRequest);
    EXPECT_EQ(sim.node(0).drops.back(), R::RateLimited);
    const Endpoint crowded{0x0D000002, 5000};
    for (int i = 0; i <= HostTable::MaxRecordsPerAddress; ++i) {
        sim.advanceBy(HostTable::JoinEveryMs);
        stranger.id = UnassignedId;
        stranger.localAddress = 0x0B000000 + Ipv4(i);
        sim.inject(crowded, host, makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, stranger));
    }
    EXPECT_EQ(sim.node(0).drops.back(), R::SourceFull);
}
