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
            } else if (!to.trust.refusesPlain(fromId, source)) {
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

// ann opens a path to bob and their first handshake seals; what it raised in ann is taken.
void sealFirstContact(Lumo& ann, Lumo& bob, Wire& wire)
{
    ann.trust.pathOpened(1, BobAt, 0);
    wire.run(ann, bob, 0);
    ASSERT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
    ann.trust.takeEvents();
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
    EXPECT_TRUE(bob.trust.refusesPlain(0, AnnAt));
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
    EXPECT_FALSE(ann.trust.refusesPlain(1, BobAt));
    EXPECT_FALSE(ann.trust.nextDeadline());
}

TEST(MemberTrustTest, AChangedKeyIsShownAndNothingPassesUntilThePlayerAcceptsIt)
{
    Lumo ann(1, 0), bob(2, 1);
    Wire wire;
    ASSERT_NO_FATAL_FAILURE(sealFirstContact(ann, bob, wire));

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
    EXPECT_TRUE(fresh.trust.refusesPlain(1, BobAt));
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

// Plain text and voice from a member that speaks keys: taken only once it is known to speak
// plain, or, before any handshake, from where the host saw it join.
TEST(MemberTrustTest, PlainTextFromAMemberThatSpeaksKeysIsTakenOnlyWhereItJoinedOrOnceItSpeaksPlain)
{
    const Endpoint bobOtherPort{BobAt.address, 40002};
    struct Row {
        const char* what;
        bool marked;
        int handshake;  // 0 none, 1 under way, 2 fell back to plain
        Endpoint source;
        bool refused;
    };
    const Row rows[] = {
        {"unmarked, no handshake, other port", false, 0, bobOtherPort, false},
        {"marked, no handshake, where it joined", true, 0, BobAt, false},
        {"marked, no handshake, other port", true, 0, bobOtherPort, true},
        {"marked, handshake under way, where it joined", true, 1, BobAt, true},
        {"marked, handshake under way, other port", true, 1, bobOtherPort, true},
        {"marked, speaks plain", true, 2, BobAt, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        MemberTrust trust(Identity::fromSeed(seedOf(1)), counterSeeds(16));
        trust.setGroup(Group);
        Roster roster = annAndBob();
        if (!row.marked) roster.records[1].reserved = 0;
        trust.rosterChanged(roster, 0);
        if (row.handshake > 0) trust.pathOpened(1, BobAt, 0);
        if (row.handshake > 1)
            for (Millis now = 0; now <= 2000; now += 100) trust.advance(now);
        EXPECT_EQ(trust.refusesPlain(1, row.source), row.refused);
    }
}

// Path takeover by a neighbour on another port of bob's address: the path answered there, but
// nobody there proves bob's key. ann never takes that port for a plain bob: the handshake starts
// again where bob joined, his held text waits for it, and goes sealed to bob alone.
TEST(MemberTrustTest, AMemberSilentOnAnotherPortIsNeverTakenForPlainTheHandshakeGoesWhereItJoined)
{
    const Endpoint neighbour{BobAt.address, 40002};
    Lumo ann(1, 0), bob(2, 1);
    ann.trust.pathOpened(1, neighbour, 0);
    ann.trust.outgoing(Outgoing{neighbour, makeChatText(1, 0, "meet at the north gate")}, 0);
    std::vector<Outgoing> toNeighbour = ann.trust.takeSends();
    for (Millis now = 100; now < PeerTrust::PlainAfterMs; now += 100) {
        ann.trust.advance(now);
        for (Outgoing& out : ann.trust.takeSends()) toNeighbour.push_back(std::move(out));
    }
    EXPECT_TRUE(ann.trust.takeUnproved().empty());
    ann.trust.advance(PeerTrust::PlainAfterMs);
    EXPECT_TRUE(ann.trust.takeEvents().empty());  // neither plain nor sealed
    EXPECT_EQ(ann.trust.takeUnproved(), std::vector<int>{1});
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Checking);
    for (const Outgoing& out : toNeighbour) {
        EXPECT_EQ(out.to, neighbour);
        EXPECT_EQ(trustRecordOf(out.bytes), TrustRecord::Hello);  // nothing but Hellos went there
    }
    EXPECT_TRUE(ann.trust.refusesPlain(1, neighbour));
    // The new Hello goes where bob joined; bob answers and the text reaches him sealed.
    const auto again = ann.trust.takeSends();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].to, BobAt);
    Wire wire;
    Wire::carry(again, bob, 0, AnnAt, wire.toBobSession, 1600);
    wire.run(ann, bob, 1600);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
    EXPECT_EQ(wire.toBobSession, std::vector<Bytes>{makeChatText(1, 0, "meet at the north gate")});
}

// A handshake under way follows the path when it answers elsewhere (bob's own probe came from
// where he joined): the Hello is repeated there, not to the port that answered first.
TEST(MemberTrustTest, AHandshakeFollowsThePathToWhereItAnswersNow)
{
    const Endpoint neighbour{BobAt.address, 40002};
    Lumo ann(1, 0), bob(2, 1);
    ann.trust.pathOpened(1, neighbour, 0);
    ann.trust.takeSends();
    ann.trust.pathOpened(1, BobAt, 100);
    ann.trust.advance(500);
    const auto repeated = ann.trust.takeSends();
    ASSERT_EQ(repeated.size(), 1u);
    EXPECT_EQ(repeated[0].to, BobAt);
    Wire wire;
    Wire::carry(repeated, bob, 0, AnnAt, wire.toBobSession, 500);
    wire.run(ann, bob, 500);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
    EXPECT_TRUE(ann.trust.takeUnproved().empty());
}

// One player's settings folder copied to a second machine: both installs have the same identity
// but ephemeral keys of their own. They seal like any two members (only our own Hello sent back
// is refused), rather than failing where only keys are taken.
TEST(MemberTrustTest, TwoInstallsWithOneIdentitySealWithEachOther)
{
    Lumo ann(1, 0);
    Lumo copy(1, 1);
    copy.trust = MemberTrust(Identity::fromSeed(seedOf(1)), counterSeeds(200));
    copy.trust.setGroup(Group);
    copy.trust.rosterChanged(annAndBob(), 1);
    ann.trust.pathOpened(1, BobAt, 0);
    ann.trust.outgoing(Outgoing{BobAt, makeChatText(1, 0, "to my other machine")}, 0);
    Wire wire;
    wire.run(ann, copy, 0);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
    EXPECT_EQ(copy.trust.keyState(0), PeerKeyState::Sealed);
    EXPECT_EQ(wire.toBobSession, std::vector<Bytes>{makeChatText(1, 0, "to my other machine")});
}

namespace {

const JoinCookieValue AnnsCookie{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// The host's vouch to ann (id 0) for the key of the member at `at` with id 1.
Bytes vouchToAnn(const SigningPublicKey& key, Endpoint at = BobAt, const JoinCookieValue& cookie = AnnsCookie)
{
    const VouchedKey entry{1, at, key};
    return makeKeyVouches(0, std::span(&entry, 1), vouchKeyOf(cookie, Identity::fromSeed(seedOf(1)).publicKey())).at(0);
}

}  // namespace

// The first-contact race: a neighbour on another port of bob's address answers ann's Hello first,
// with a key of its own. The host vouched for bob's key, so the neighbour is refused without a
// word against bob, and the handshake goes on to where bob joined and seals with bob.
TEST(MemberTrustVouch, ANeighbourAnsweringFirstWithItsOwnKeyIsRefusedAndTheRealMemberSeals)
{
    Lumo ann(1, 0), bob(2, 1);
    ASSERT_TRUE(ann.trust.takeVouch(vouchToAnn(bob.trust.identity().publicKey()), {JoinCookieValue{}, AnnsCookie}));
    const Endpoint neighbour{BobAt.address, 40002};
    PeerTrust mallory(Identity::fromSeed(seedOf(0x6D)), seedOf(0x45), 0, 1, 0);
    // It opens first, and it answers the Hello sent to the port it won.
    EXPECT_FALSE(ann.trust.receive(1, mallory.hello(), neighbour, 0));
    ann.trust.pathOpened(1, neighbour, 0);
    for (const Outgoing& out : ann.trust.takeSends()) {
        ASSERT_EQ(out.to, neighbour);
        for (const Bytes& bytes : mallory.acceptHello(*readHello(out.bytes)).sends) ann.trust.receive(1, bytes, neighbour, 10);
    }
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Checking);
    EXPECT_FALSE(ann.trust.peerKey(1));
    EXPECT_TRUE(ann.trust.takeSends().empty());  // no Proof went to the neighbour
    EXPECT_TRUE(ann.trust.takeEvents().empty());  // nothing raised against bob
    EXPECT_EQ(mallory.state(), TrustState::Waiting);

    ann.trust.advance(PeerTrust::PlainAfterMs);
    EXPECT_EQ(ann.trust.takeUnproved(), std::vector<int>{1});
    const auto restart = ann.trust.takeSends();
    ASSERT_EQ(restart.size(), 1u);
    EXPECT_EQ(restart[0].to, BobAt);
    Wire wire;
    Wire::carry(restart, bob, 0, AnnAt, wire.toBobSession, PeerTrust::PlainAfterMs);
    wire.run(ann, bob, PeerTrust::PlainAfterMs);
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::Sealed);
    EXPECT_EQ(ann.trust.rememberedKey(1), bob.trust.identity().publicKey());
}

// What a vouch does, by what ann already knows of bob.
TEST(MemberTrustVouch, AVouchIsTakenOnlyFromTheJoinAndAKeyOtherThanTheRememberedOneShowsAsChanged)
{
    const SigningPublicKey bobKey = Identity::fromSeed(seedOf(2)).publicKey();
    const SigningPublicKey otherKey = Identity::fromSeed(seedOf(7)).publicKey();
    struct Row {
        const char* what;
        std::optional<SigningPublicKey> remembered;
        Bytes vouch;
        bool taken;
        std::optional<SigningPublicKey> vouched;
        std::vector<TrustEvent::Kind> events;
        PeerKeyState state;
    };
    const Row rows[] = {
        {"first meeting", {}, vouchToAnn(bobKey), true, bobKey, {}, PeerKeyState::None},
        {"another key than remembered", otherKey, vouchToAnn(bobKey), true, bobKey, {TrustEvent::Kind::KeyChanged},
         PeerKeyState::KeyChanged},
        {"made for another join", {}, vouchToAnn(bobKey, BobAt, JoinCookieValue{}), false, {}, {}, PeerKeyState::None},
        {"for a record bob no longer has", {}, vouchToAnn(bobKey, {BobAt.address, 40009}), true, {}, {}, PeerKeyState::None},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Lumo ann(1, 0);
        if (row.remembered) ann.trust.store().accept(Group, "bob", *row.remembered);
        EXPECT_EQ(ann.trust.takeVouch(row.vouch, {AnnsCookie}), row.taken);
        EXPECT_EQ(ann.trust.vouchedKey(1), row.vouched);
        EXPECT_EQ(kinds(ann.trust.takeEvents()), row.events);
        EXPECT_EQ(ann.trust.keyState(1), row.state);
        EXPECT_FALSE(ann.trust.nextDeadline());  // a changed key waits for the player, not for time
        if (row.state == PeerKeyState::KeyChanged) {
            EXPECT_EQ(ann.trust.peerKey(1), bobKey);
            ann.trust.acceptChangedKey(1);  // the player takes the host's word: bob's key is remembered
            EXPECT_EQ(ann.trust.rememberedKey(1), bobKey);
        }
    }
}

// A first handshake that sealed with a key before the vouch came (a lost vouch) is shown as a
// changed key when the host's word differs.
TEST(MemberTrustVouch, AKeySealedBeforeADifferingVouchIsShownAsChanged)
{
    Lumo ann(1, 0), bob(2, 1);
    Wire wire;
    ASSERT_NO_FATAL_FAILURE(sealFirstContact(ann, bob, wire));
    ASSERT_TRUE(ann.trust.takeVouch(vouchToAnn(Identity::fromSeed(seedOf(7)).publicKey()), {AnnsCookie}));
    EXPECT_EQ(kinds(ann.trust.takeEvents()), std::vector{TrustEvent::Kind::KeyChanged});
    EXPECT_EQ(ann.trust.keyState(1), PeerKeyState::KeyChanged);
}
