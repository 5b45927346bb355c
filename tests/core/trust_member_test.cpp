// Keys between the members of a group: two LUMO members seal their text and voice, a LUMO and
// a plain member fall back to the plain protocol byte for byte, a changed key is shown and
// nothing passes until the player accepts it. In memory, with simulated time.
#include "core/trust/member_trust.h"
#include "trust_seeds.h"

#include <gtest/gtest.h>

using namespace lumo;

namespace {

std::function<KeySeed()> counterSeeds(std::uint8_t start)
{
    return [next = start]() mutable { return seedOf(next++); };
}

MemberEntry member(const char* name, Ipv4 address)
{
    MemberEntry e;
    e.setName(name);
    e.publicAddress = e.localAddress = address;
    e.publicPort = e.localPort = MemberPort;
    return e;
}

const Endpoint AnnAt{0x0A000001, MemberPort};
const Endpoint BobAt{0x0A000002, MemberPort};
const char* Group = "10.0.0.9";

Roster annAndBob()
{
    Roster roster;
    roster.count = 2;
    roster.records[0] = member("ann", AnnAt.address);
    roster.records[1] = member("bob", BobAt.address);
    roster.records[0].reserved = roster.records[1].reserved = KeysMark;  // both speak keys
    return roster;
}

// A LUMO member of the two-member group.
struct Lumo {
    MemberTrust trust;
    int ownId;
    Lumo(std::uint8_t identitySeed, int id) : trust(Identity::fromSeed(seedOf(identitySeed)), counterSeeds(std::uint8_t(identitySeed * 16))), ownId(id)
    {
        trust.setGroup(Group);
        trust.rosterChanged(annAndBob(), ownId);
    }
};

// Carries what each side sends to the other until both are quiet; returns what reached the
// other's member session (opened records and plain datagrams).
struct Wire {
    std::vector<Bytes> toAnnSession, toBobSession;
    void run(Lumo& ann, Lumo& bob, Millis now)
    {
        for (int round = 0; round < 10; ++round) {
            const auto fromAnn = ann.trust.takeSends();
            const auto fromBob = bob.trust.takeSends();
            if (fromAnn.empty() && fromBob.empty()) return;
            carry(fromAnn, bob, 0, AnnAt, toBobSession, now);
            carry(fromBob, ann, 1, BobAt, toAnnSession, now);
        }
    }
    static void carry(const std::vector<Outgoing>& sends, Lumo& to, int fromId, Endpoint source,
                      std::vector<Bytes>& session, Millis now)
    {
        for (const Outgoing& out : sends) {
            if (trustRecordOf(out.bytes)) {
                if (auto opened = to.trust.receive(fromId, out.bytes, source, now)) session.push_back(*opened);
            } else if (!to.trust.refusesPlain(fromId)) {
                session.push_back(out.bytes);
            }
        }
    }
};

std::vector<TrustEvent::Kind> kinds(const std::vector<TrustEvent>& events)
{
    std::vector<TrustEvent::Kind> out;
    for (const TrustEvent& e : events) out.push_back(e.kind);
    return out;
}

}  // namespace

TEST(MemberTrustTest, TwoLumoMembersSealTextHeldDuringTheHandshakeAndRefuseForgedPlainText)
{
    Lumo ann(1, 0), bob(2, 1);
    ann.trust.pathOpened(1, BobAt, 0);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Checking);
    // Text written while the keys are checked waits, and goes sealed once they are.
    ann.trust.outgoing(Outgoing{BobAt, makeChatText(1, 0, "early")}, 0);
    Wire wire;
    const auto firstSends = ann.trust.takeSends();
    ASSERT_EQ(firstSends.size(), 1u);  // the Hello alone: the text is held
    Wire::carry(firstSends, bob, 0, AnnAt, wire.toBobSession, 0);
    wire.run(ann, bob, 0);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
    EXPECT_EQ(bob.trust.keyState(0), PeerKeyState::Sealed);
    EXPECT_EQ(kinds(ann.trust.takeEvents()), std::vector{TrustEvent::Kind::Sealed});
    EXPECT_EQ(wire.toBobSession, std::vector<Bytes>{makeChatText(1, 0, "early")});

    ann.trust.outgoing(Outgoing{BobAt, makeChatText(1, 0, "north gate")}, 10);
    const auto sends = ann.trust.takeSends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(trustRecordOf(sends[0].bytes), TrustRecord::Sealed);
    Wire::carry(sends, bob, 0, AnnAt, wire.toBobSession, 10);
    EXPECT_EQ(wire.toBobSession.back(), makeChatText(1, 0, "north gate"));
    // A forger on ann's address sending plain text or voice gets nothing in.
    EXPECT_TRUE(bob.trust.refusesPlain(0));
    EXPECT_FALSE(bob.trust.voiceGoesPlain(0));
    VoiceRecord record;
    record.sequence = 9;
    const auto sealedVoice = bob.trust.sealVoice(0, makeVoiceDatagram(cmd::VoiceGroup, 0, 1, record));
    ASSERT_TRUE(sealedVoice);
    EXPECT_EQ(ann.trust.receive(1, *sealedVoice, BobAt, 20), makeVoiceDatagram(cmd::VoiceGroup, 0, 1, record));
    EXPECT_FALSE(ann.trust.receive(1, *sealedVoice, BobAt, 20));  // a replay
    // Both remembered the other's key for its name in this group.
    EXPECT_EQ(ann.trust.rememberedKey(1), Identity::fromSeed(seedOf(2)).publicKey());
}

TEST(MemberTrustTest, ALumoAndAPlainMemberSpeakThePlainProtocolByteForByteAndItIsShown)
{
    Lumo ann(1, 0);
    ann.trust.pathOpened(1, BobAt, 0);
    const Bytes text = makeChatText(1, 0, "hello plain");
    ann.trust.outgoing(Outgoing{BobAt, text}, 100);
    VoiceRecord record;
    ann.trust.outgoing(Outgoing{BobAt, makeVoiceDatagram(cmd::VoiceGroup, 1, 0, record)}, 100);
    EXPECT_EQ(ann.trust.takeSends().size(), 1u);  // the Hello: the text waits, the voice is not kept
    EXPECT_FALSE(ann.trust.voiceGoesPlain(1));
    // The plain member drops the Hellos; after their repeats ann speaks plain.
    std::vector<Outgoing> sends;
    for (Millis now = 100; now <= 2000; now += 100) {
        ann.trust.advance(now);
        for (Outgoing& out : ann.trust.takeSends()) sends.push_back(std::move(out));
    }
    EXPECT_EQ(kinds(ann.trust.takeEvents()), std::vector{TrustEvent::Kind::Plain});
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Plain);
    ASSERT_FALSE(sends.empty());
    EXPECT_EQ(sends.back().bytes, text);  // the held text, as the plain protocol has it
    EXPECT_EQ(sends.size(), 3u);         // two repeated Hellos, then the text
    ann.trust.outgoing(Outgoing{BobAt, text}, 2100);
    EXPECT_EQ(ann.trust.takeSends()[0].bytes, text);
    EXPECT_TRUE(ann.trust.voiceGoesPlain(1));
    EXPECT_FALSE(ann.trust.refusesPlain(1));
    EXPECT_FALSE(ann.trust.nextDeadline());
}

TEST(MemberTrustTest, AChangedKeyIsShownAndNothingPassesUntilThePlayerAcceptsIt)
{
    Lumo ann(1, 0), bob(2, 1);
    ann.trust.pathOpened(1, BobAt, 0);
    Wire wire;
    wire.run(ann, bob, 0);
    ASSERT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
    ann.trust.takeEvents();

    // "bob" comes back with another key (a new install, or someone else under his name).
    Lumo other(7, 1);
    ann.trust.rosterChanged(annAndBob(), 0);
    MemberTrust& a = ann.trust;
    Lumo fresh(1, 0);  // ann restarted: same identity, same remembered keys
    fresh.trust.store() = a.store();
    fresh.trust.pathOpened(1, BobAt, 1000);
    wire.run(fresh, other, 1000);
    EXPECT_EQ(kinds(fresh.trust.takeEvents()), std::vector{TrustEvent::Kind::KeyChanged});
    EXPECT_EQ(fresh.trust.keyState(1), PeerKeyState::KeyChanged);
    EXPECT_EQ(fresh.trust.peerKey(1), Identity::fromSeed(seedOf(7)).publicKey());
    EXPECT_EQ(fresh.trust.rememberedKey(1), Identity::fromSeed(seedOf(2)).publicKey());
    EXPECT_TRUE(fresh.trust.refusesPlain(1));
    fresh.trust.outgoing(Outgoing{BobAt, makeChatText(1, 0, "is it you?")}, 1100);
    EXPECT_TRUE(fresh.trust.takeSends().empty());
    // Time passing does not turn it into a plain peer either.
    fresh.trust.advance(5000);
    fresh.trust.takeSends();
    EXPECT_EQ(fresh.trust.keyState(1), PeerKeyState::KeyChanged);

    fresh.trust.acceptChangedKey(1);
    other.trust.advance(5000);  // its Hello repeats
    wire.run(fresh, other, 5000);
    EXPECT_EQ(fresh.trust.keyState(1), PeerKeyState::Sealed);
    EXPECT_EQ(fresh.trust.rememberedKey(1), Identity::fromSeed(seedOf(7)).publicKey());
    EXPECT_EQ(wire.toBobSession.back(), makeChatText(1, 0, "is it you?"));
}

TEST(MemberTrustTest, AMemberWithoutTheMarkIsSpokenToPlainAtOnceUnlessItsKeyIsRemembered)
{
    Lumo ann(1, 0), bob(2, 1);
    Roster roster = annAndBob();
    roster.records[1].reserved = 0;  // bob's record as a plain client writes it
    ann.trust.rosterChanged(roster, 0);
    ann.trust.pathOpened(1, BobAt, 0);
    const Bytes text = makeChatText(1, 0, "plain at once");
    ann.trust.outgoing(Outgoing{BobAt, text}, 0);
    const auto sends = ann.trust.takeSends();
    ASSERT_EQ(sends.size(), 1u);  // no Hello: the text alone, as it is
    EXPECT_EQ(sends[0].bytes, text);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Plain);
    EXPECT_TRUE(ann.trust.voiceGoesPlain(1));
    EXPECT_FALSE(ann.trust.nextDeadline());

    // Once bob's key is remembered in this group, a record without the mark does not hide him.
    ann.trust.store().meet(Group, "bob", Identity::fromSeed(seedOf(2)).publicKey());
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::None);
    ann.trust.pathOpened(1, BobAt, 0);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Checking);
    Wire wire;
    wire.run(ann, bob, 0);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
}

TEST(MemberTrustTest, ClosingSendsTextStillWaitingForAHandshake)
{
    Lumo ann(1, 0);
    const Bytes text = makeChatText(1, 0, "bye");
    ann.trust.outgoing(Outgoing{BobAt, text}, 0);
    EXPECT_EQ(ann.trust.takeSends().size(), 1u);  // the Hello
    ann.trust.leaving();
    const auto sends = ann.trust.takeSends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].bytes, text);
}

TEST(MemberTrustTest, TextBeforeThePathOpenedStartsTheHandshakeAndWaitsForIt)
{
    Lumo ann(1, 0), bob(2, 1);
    ann.trust.outgoing(Outgoing{BobAt, makeChatText(1, 0, "first")}, 0);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Checking);
    Wire wire;
    wire.run(ann, bob, 0);
    EXPECT_EQ(wire.toBobSession, std::vector<Bytes>{makeChatText(1, 0, "first")});
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
}

TEST(MemberTrustTest, AMemberThatHadAKeyAndNowAnswersPlainIsShownAsChanged)
{
    Lumo ann(1, 0), bob(2, 1);
    ann.trust.pathOpened(1, BobAt, 0);
    Wire wire;
    wire.run(ann, bob, 0);
    Lumo fresh(1, 0);
    fresh.trust.store() = ann.trust.store();
    fresh.trust.pathOpened(1, BobAt, 0);  // bob's Hellos are dropped on the way now
    for (Millis now = 0; now <= 2000; now += 100) fresh.trust.advance(now);
    EXPECT_EQ(kinds(fresh.trust.takeEvents()), std::vector{TrustEvent::Kind::KeyChanged});
    EXPECT_EQ(fresh.trust.keyState(1), PeerKeyState::KeyChanged);
    EXPECT_FALSE(fresh.trust.voiceGoesPlain(1));
}

TEST(MemberTrustTest, HandshakesFollowTheirMembersWhenTheRosterRenumbers)
{
    Lumo ann(1, 0), bob(2, 1);
    ann.trust.pathOpened(1, BobAt, 0);
    Wire wire;
    wire.run(ann, bob, 0);
    Roster renumbered;
    renumbered.count = 3;
    renumbered.records[0] = member("cyd", 0x0A000003);
    renumbered.records[1] = member("ann", AnnAt.address);
    renumbered.records[2] = member("bob", BobAt.address);
    renumbered.records[1].reserved = renumbered.records[2].reserved = KeysMark;
    ann.trust.rosterChanged(renumbered, 1);
    EXPECT_EQ(ann.trust.keyState(2), PeerKeyState::Sealed);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::None);
    EXPECT_EQ(ann.trust.keyState(0), PeerKeyState::Plain);  // cyd shows no keys mark
    ann.trust.outgoing(Outgoing{BobAt, makeChatText(2, 1, "x")}, 10);
    EXPECT_EQ(trustRecordOf(ann.trust.takeSends()[0].bytes), TrustRecord::Sealed);
    // A roster without bob forgets his handshake.
    Roster without = renumbered;
    without.count = 2;
    ann.trust.rosterChanged(without, 1);
    EXPECT_EQ(ann.trust.keyState(2), PeerKeyState::None);
}
