// The handshake between two LUMO peers, sealing, the replay window and how a plain peer meets
// the new records, all in memory with fixed seeds and simulated time.
#include "core/group/host_table.h"
#include "core/trust/handshake.h"
#include "core/trust/trust_store.h"
#include "trust_seeds.h"

#include <gtest/gtest.h>

using namespace lumo;

namespace {

// Two peers, ann (id 0) and bob (id 1), each with its own identity and ephemeral seed.
struct Pair {
    Identity annId = Identity::fromSeed(seedOf(1));
    Identity bobId = Identity::fromSeed(seedOf(2));
    PeerTrust ann{annId, seedOf(11), 1, 0, 0};
    PeerTrust bob{bobId, seedOf(12), 0, 1, 0};
};

// Delivers each datagram to `to` as the session would, collecting what it answers.
std::vector<Bytes> deliver(PeerTrust& to, const std::vector<Bytes>& datagrams, TrustFault* lastFault = nullptr)
{
    std::vector<Bytes> answers;
    for (const Bytes& datagram : datagrams) {
        PeerTrust::Step step;
        switch (*trustRecordOf(datagram)) {
        case TrustRecord::Hello: {
            const auto hello = readHello(datagram);
            if (!hello) {
                step.fault = TrustFault::BadSignature;
                break;
            }
            step = to.acceptHello(*hello);
            break;
        }
        case TrustRecord::Proof: step = to.receiveProof(datagram); break;
        case TrustRecord::Sealed: {
            Bytes opened;
            step = to.openSealed(datagram, opened);
            break;
        }
        }
        if (lastFault) *lastFault = step.fault;
        answers.insert(answers.end(), step.sends.begin(), step.sends.end());
    }
    return answers;
}

// Runs the exchange until neither side has anything more to say.
void shake(PeerTrust& a, PeerTrust& b, std::vector<Bytes> fromA, std::vector<Bytes> fromB = {})
{
    for (int round = 0; round < 8 && (!fromA.empty() || !fromB.empty()); ++round) {
        std::vector<Bytes> answersOfB = deliver(b, fromA);
        std::vector<Bytes> answersOfA = deliver(a, fromB);
        fromA = std::move(answersOfA);
        fromB = std::move(answersOfB);
    }
}

Bytes chat(std::uint8_t to, std::uint8_t from, const char* text) { return makeChatText(to, from, text); }

Bytes voice(std::uint8_t to, std::uint8_t from, std::uint32_t sequence)
{
    VoiceRecord record;
    record.sequence = sequence;
    record.speech.fill(std::uint8_t(sequence));
    return makeVoiceDatagram(cmd::VoiceGroup, to, from, record);
}

}  // namespace

TEST(TrustHandshake, TwoLumoPeersSealTextAndVoiceBothWaysWhoeverStarts)
{
    for (const bool bothStart : {false, true}) {
        SCOPED_TRACE(bothStart ? "both send a Hello at once" : "ann starts");
        Pair p;
        shake(p.ann, p.bob, {p.ann.hello()}, bothStart ? std::vector<Bytes>{p.bob.hello()} : std::vector<Bytes>{});
        ASSERT_EQ(p.ann.state(), TrustState::Sealed);
        ASSERT_EQ(p.bob.state(), TrustState::Sealed);
        EXPECT_EQ(*p.ann.peerKey(), p.bobId.publicKey());
        EXPECT_EQ(*p.bob.peerKey(), p.annId.publicKey());

        for (const Bytes& plain : {chat(1, 0, "meet at the north gate"), voice(1, 0, 7)}) {
            const auto sealed = p.ann.seal(plain);
            ASSERT_TRUE(sealed);
            EXPECT_EQ(sealed->size(), plain.size() + SealedOverhead);
            // Nothing of the text travels in the clear.
            EXPECT_EQ(std::search(sealed->begin(), sealed->end(), plain.begin() + 4, plain.end()), sealed->end());
            Bytes opened;
            EXPECT_EQ(p.bob.openSealed(*sealed, opened).fault, TrustFault::None);
            EXPECT_EQ(opened, plain);
        }
        Bytes opened;
        EXPECT_EQ(p.ann.openSealed(*p.bob.seal(chat(0, 1, "ok")), opened).fault, TrustFault::None);
        EXPECT_EQ(opened, chat(0, 1, "ok"));
    }
}

TEST(TrustHandshake, APeerThatNeverAnswersAHelloIsTakenForPlainAfterTheRepeats)
{
    Pair p;
    int hellos = 1;  // the first one, sent when the path opened
    bool becamePlain = false;
    for (Millis now = 0; now <= PeerTrust::PlainAfterMs + 1000 && !becamePlain; now += 100) {
        const auto step = p.ann.advance(now);
        hellos += int(step.sends.size());
        becamePlain = step.becamePlain;
        if (!becamePlain) {
            EXPECT_EQ(p.ann.state(), TrustState::Waiting);
        }
    }
    EXPECT_TRUE(becamePlain);
    EXPECT_EQ(p.ann.state(), TrustState::Plain);
    EXPECT_EQ(hellos, 3);  // at 0, 0.5 s and 1 s; at 1.5 s it gives up
    EXPECT_FALSE(p.ann.seal(chat(1, 0, "hi")));
    EXPECT_FALSE(p.ann.nextDeadline());
    // A LUMO peer that answers late still seals.
    shake(p.ann, p.bob, {}, {p.bob.hello()});
    EXPECT_EQ(p.ann.state(), TrustState::Sealed);
}

TEST(TrustHandshake, APlainPeersDispatchAndHostTableDropTheNewRecordsUnread)
{
    Pair p;
    shake(p.ann, p.bob, {p.ann.hello()});
    const std::vector<Bytes> records{p.ann.hello(), p.ann.hello(true), *p.ann.seal(chat(1, 0, "x")),
                                     makeHeaderOnly(cmd::TrustProof, 1, 0, Kind::PeerToPeer)};
    HostTable host;
    for (const Bytes& record : records) {
        const WireRead read = readMessage(record);
        EXPECT_FALSE(read.message);
        EXPECT_EQ(read.fault, WireFault::UnknownMessage);
        const HostReply reply = host.handle(record, Endpoint{0x0A000001, 3550}, 0);
        EXPECT_TRUE(reply.sends.empty());
        EXPECT_EQ(reply.dropped, DropReason::UnknownMessage);
    }
    // And no plain datagram is taken for a handshake record.
    for (const Bytes& plain : {chat(1, 0, "x"), voice(1, 0, 1), makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer)})
        EXPECT_FALSE(trustRecordOf(plain));
}

TEST(TrustHandshake, AlteredReplayedAndLateRecordsAreRefused)
{
    Pair p;
    shake(p.ann, p.bob, {p.ann.hello()});
    const Bytes first = *p.ann.seal(voice(1, 0, 1));
    Bytes opened;
    ASSERT_EQ(p.bob.openSealed(first, opened).fault, TrustFault::None);

    struct Case {
        const char* what;
        std::size_t flippedByte;
        TrustFault fault;
    };
    const Bytes second = *p.ann.seal(voice(1, 0, 2));
    for (const Case& c : {Case{"recipient id", 1, TrustFault::BadTag}, Case{"sender id", 2, TrustFault::BadTag},
                          Case{"sequence", 4, TrustFault::BadTag}, Case{"sealed speech", 20, TrustFault::BadTag},
                          Case{"tag", second.size() - 1, TrustFault::BadTag}}) {
        SCOPED_TRACE(c.what);
        Bytes altered = second;
        altered[c.flippedByte] ^= 0x01;
        EXPECT_EQ(p.bob.openSealed(altered, opened).fault, c.fault);
    }
    EXPECT_EQ(p.bob.openSealed(first, opened).fault, TrustFault::Replayed);
    EXPECT_EQ(p.bob.openSealed(second, opened).fault, TrustFault::None);  // the alterations took nothing
    EXPECT_EQ(p.bob.openSealed(second, opened).fault, TrustFault::Replayed);
    Bytes cut = second;
    cut.resize(SealedOverhead + 3);
    EXPECT_EQ(p.bob.openSealed(cut, opened).fault, TrustFault::Malformed);

    // Out of order within the window is taken once; older than 64 records is refused.
    std::vector<Bytes> later;
    for (int i = 3; i < 80; ++i)
        later.push_back(*p.ann.seal(voice(1, 0, std::uint32_t(i))));
    EXPECT_EQ(p.bob.openSealed(later[10], opened).fault, TrustFault::None);
    EXPECT_EQ(p.bob.openSealed(later[5], opened).fault, TrustFault::None);
    EXPECT_EQ(p.bob.openSealed(later.back(), opened).fault, TrustFault::None);
    EXPECT_EQ(p.bob.openSealed(later[0], opened).fault, TrustFault::Replayed);
}

TEST(TrustHandshake, ARecordSealedByBobForAnnCannotBeReplayedToAnnAsHerOwnAnswer)
{
    Pair p;
    shake(p.ann, p.bob, {p.ann.hello()});
    // Each direction has its own key: ann's own record reflected back to her does not open.
    const Bytes own = *p.ann.seal(chat(1, 0, "x"));
    Bytes opened;
    EXPECT_EQ(p.ann.openSealed(own, opened).fault, TrustFault::BadTag);
    EXPECT_EQ(deliver(p.ann, {p.ann.hello()}).size(), 0u);
}

TEST(TrustHandshake, AHelloWithAnyByteChangedIsRefused)
{
    Pair p;
    const Bytes hello = p.ann.hello();
    ASSERT_TRUE(readHello(hello));
    for (const std::size_t at : {std::size_t(4), std::size_t(5), std::size_t(40), std::size_t(70), std::size_t(132)}) {
        SCOPED_TRACE(at);
        Bytes altered = hello;
        altered[at] ^= 0x80;
        EXPECT_FALSE(readHello(altered));
    }
    Bytes longer = hello;
    longer.push_back(0);
    EXPECT_FALSE(readHello(longer));
    EXPECT_FALSE(readHello(Bytes(hello.begin(), hello.end() - 1)));
}

TEST(TrustHandshake, AnEavesdropperWithBobsOldHelloCannotProveItself)
{
    Pair p;
    const Bytes bobsHello = p.bob.hello();
    // Mallory replays bob's Hello to ann and makes up a Proof: ann stays waiting.
    PeerTrust ann{p.annId, seedOf(21), 1, 0, 0};
    const auto answers = ann.acceptHello(*readHello(bobsHello));
    EXPECT_EQ(answers.sends.size(), 2u);  // ann's Hello and her Proof, towards bob's endpoint
    Bytes forged = makeHeaderOnly(cmd::TrustProof, 0, 1, Kind::PeerToPeer);
    forged.resize(ProofSize, 0x5A);
    EXPECT_EQ(ann.receiveProof(forged).fault, TrustFault::BadTag);
    Bytes forgedRecord = makeHeaderOnly(cmd::TrustSealed, 0, 1, Kind::PeerToPeer);
    forgedRecord.resize(SealedOverhead + 68, 0x11);
    Bytes opened;
    EXPECT_EQ(ann.openSealed(forgedRecord, opened).fault, TrustFault::BadTag);
    EXPECT_EQ(ann.state(), TrustState::Waiting);
}

TEST(TrustHandshake, ARestartedPeerResealsAndAReplayedOldHelloChangesNothing)
{
    Pair p;
    const Bytes bobsOldHello = p.bob.hello();
    shake(p.ann, p.bob, {p.ann.hello()});
    ASSERT_EQ(p.ann.state(), TrustState::Sealed);

    // A replay of bob's Hello: ann answers, but keeps the keys in use.
    deliver(p.ann, {bobsOldHello});
    Bytes opened;
    EXPECT_EQ(p.ann.openSealed(*p.bob.seal(chat(0, 1, "still")), opened).fault, TrustFault::None);

    // bob restarts: a new ephemeral key under the same identity, records from 1 again.
    PeerTrust bob2{p.bobId, seedOf(13), 0, 1, 5000};
    shake(bob2, p.ann, {bob2.hello()});
    ASSERT_EQ(bob2.state(), TrustState::Sealed);
    EXPECT_EQ(p.ann.openSealed(*bob2.seal(chat(0, 1, "back")), opened).fault, TrustFault::None);
    EXPECT_EQ(opened, chat(0, 1, "back"));
    EXPECT_EQ(bob2.openSealed(*p.ann.seal(chat(1, 0, "welcome")), opened).fault, TrustFault::None);
}

TEST(TrustHandshake, SealingTakesWholeDatagramsThatFitOneRecord)
{
    Pair p;
    shake(p.ann, p.bob, {p.ann.hello()});
    EXPECT_FALSE(p.ann.seal(Bytes{1, 2}));                        // shorter than a header
    EXPECT_FALSE(p.ann.seal(Bytes(MaxSealedInner + 1, 0x02)));    // would not fit one datagram
    EXPECT_TRUE(p.ann.seal(Bytes(MaxSealedInner, 0x02)));
}

TEST(TrustReplayWindow, TakesEachNumberOnceWithinTheLast64)
{
    ReplayWindow window;
    struct Step {
        std::uint64_t sequence;
        bool taken;
    };
    for (const Step& s : {Step{0, false}, Step{1, true}, Step{1, false}, Step{3, true}, Step{2, true}, Step{2, false},
                          Step{100, true}, Step{37, true}, Step{36, false}, Step{99, true}, Step{37, false},
                          Step{1000, true}, Step{937, true}, Step{936, false}, Step{UINT64_MAX, true},
                          Step{UINT64_MAX, false}}) {
        SCOPED_TRACE(s.sequence);
        EXPECT_EQ(window.take(s.sequence), s.taken);
    }
}
