// The handshake records as a LUMO member receives them from one peer: Hellos, Proofs and Sealed
// records made up by the fuzzer, mixed with real ones from the peer (bob), some of them altered,
// replayed or out of order, and time passing. Whatever arrives, what opens is only ever a
// datagram bob sealed, each at most once, and a made-up record never proves a key.
// The host's key vouches go through the same input: each made-up record is also read as a vouch
// under ann's join key, once as it is and once with its last 16 bytes made the right tag, so the
// reading of counts and entries is reached; what reads back is exactly what makeKeyVouches makes
// of it, and ann's member trust takes a vouched key only for a record its roster holds there.
#include "fuzz_support.h"

#include "core/trust/handshake.h"
#include "core/trust/key_vouch.h"
#include "core/trust/member_trust.h"

#include <sodium.h>

#include <set>
#include <string>

using namespace lumo;

namespace {

KeySeed seedOf(std::uint8_t value)
{
    KeySeed seed;
    seed.fill(value);
    return seed;
}

const Identity& annIdentity()
{
    static const Identity identity = Identity::fromSeed(seedOf(1));
    return identity;
}
const Identity& bobIdentity()
{
    static const Identity identity = Identity::fromSeed(seedOf(2));
    return identity;
}

const JoinCookieValue AnnsCookie{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};

// Reads `datagram` as a vouch to ann, as it is and with its tag made right.
void vouchToAnn(ByteView datagram)
{
    const VouchKey key = vouchKeyOf(AnnsCookie, annIdentity().publicKey());
    Bytes tagged(datagram.begin(), datagram.end());
    if (tagged.size() >= VouchTagSize)
        crypto_generichash(tagged.data() + tagged.size() - VouchTagSize, VouchTagSize, tagged.data(),
                           tagged.size() - VouchTagSize, key.data(), key.size());
    // A group of ann (0) and bob (1) at their records' endpoints.
    Roster roster;
    roster.count = 2;
    for (int i = 0; i < 2; ++i) {
        roster.records[std::size_t(i)].id = std::uint16_t(i);
        roster.records[std::size_t(i)].publicAddress = 0x0A000001 + Ipv4(i);
        roster.records[std::size_t(i)].publicPort = MemberPort;
        roster.records[std::size_t(i)].reserved = KeysMark;
    }
    for (const ByteView record : {datagram, ByteView(tagged)}) {
        const auto entries = readKeyVouch(record, key);
        if (entries) {
            FUZZ_CHECK(!entries->empty() && entries->size() <= MaxVouchEntries);
            const auto remade = makeKeyVouches(record[1], *entries, key);
            FUZZ_CHECK(remade.size() == 1 && remade[0] == Bytes(record.begin(), record.end()));
        }
        MemberTrust ann(annIdentity(), [] { return seedOf(11); });
        ann.setGroup("group");
        ann.rosterChanged(roster, 0);
        FUZZ_CHECK(ann.takeVouch(record, {AnnsCookie}) == entries.has_value());
        bool named = false;
        for (const VouchedKey& entry : entries.value_or(std::vector<VouchedKey>{}))
            named = named || (entry.memberId == 1 && entry.at == Endpoint{0x0A000002, MemberPort});
        FUZZ_CHECK(ann.vouchedKey(1).has_value() == named);
        FUZZ_CHECK(!ann.vouchedKey(0));
        FUZZ_CHECK(ann.keyState(1) == PeerKeyState::None);  // nothing remembered: no changed key
    }
}

}  // namespace

// Control byte of each record, bits 0-1: 0 the bytes go to ann as they are; 1 bob and ann run
// the handshake (bob's Hello, every answer delivered); 2 one of bob's sealed records, picked and
// altered by the bytes [index, offset low, offset high, xor] (xor 0: a replay); 3 time passes
// (the first byte in tenths of a second).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    Millis now = 0;
    PeerTrust ann{annIdentity(), seedOf(11), 1, 0, now};
    PeerTrust bob{bobIdentity(), seedOf(12), 0, 1, now};
    std::vector<Bytes> bobSealed;        // every record bob sealed, in order
    std::set<std::string> bobPlain;      // what they carried
    std::set<std::string> openedByAnn;   // what ann opened: each at most once
    int bobProofsDelivered = 0;

    auto deliverToAnn = [&](ByteView datagram, bool fromBob) {
        const auto record = trustRecordOf(datagram);
        if (!record) return;
        const TrustState before = ann.state();
        PeerTrust::Step step;
        Bytes opened;
        switch (*record) {
        case TrustRecord::Hello:
            if (const auto hello = readHello(datagram)) step = ann.acceptHello(*hello);
            break;
        case TrustRecord::Proof: step = ann.receiveProof(datagram); break;
        case TrustRecord::Sealed:
            step = ann.openSealed(datagram, opened);
            if (step.fault == TrustFault::None) {
                const std::string text(opened.begin(), opened.end());
                FUZZ_CHECK(bobPlain.count(text) == 1);
                FUZZ_CHECK(openedByAnn.insert(text).second);
            }
            break;
        }
        if (step.becameSealed) FUZZ_CHECK(fromBob && bobProofsDelivered > 0);
        if (before == TrustState::Sealed) FUZZ_CHECK(ann.state() == TrustState::Sealed);
        for (const Bytes& answer : step.sends) {
            FUZZ_CHECK(answer.size() <= MaxDatagramSize);
            if (!fromBob) continue;
            if (const auto hello = readHello(answer)) {
                const auto back = bob.acceptHello(*hello);
                for (const Bytes& proof : back.sends)
                    if (trustRecordOf(proof) == TrustRecord::Proof) ann.receiveProof(proof);
            } else if (trustRecordOf(answer) == TrustRecord::Proof) {
                bob.receiveProof(answer);
            }
        }
    };

    while (!input.empty()) {
        const auto [control, bytes] = input.datagram();
        switch (control & 3) {
        case 0:
            deliverToAnn(bytes, false);
            vouchToAnn(bytes);
            break;
        case 1: {
            const Bytes hello = bob.hello();
            ++bobProofsDelivered;  // bob's answers to ann's Hello carry his Proof
            deliverToAnn(hello, true);
            break;
        }
        case 2: {
            if (bob.state() == TrustState::Sealed) {
                const std::string text = "bob " + std::to_string(bobSealed.size());
                const Bytes plain = makeChatText(0, 1, text);
                if (auto sealed = bob.seal(plain)) {
                    bobSealed.push_back(*sealed);
                    bobPlain.insert(std::string(plain.begin(), plain.end()));
                }
            }
            if (bobSealed.empty() || bytes.size() < 4) break;
            Bytes record = bobSealed[bytes[0] % bobSealed.size()];
            const std::size_t offset = (bytes[1] | (std::size_t(bytes[2]) << 8)) % record.size();
            record[offset] ^= bytes[3];
            deliverToAnn(record, bytes[3] == 0);
            break;
        }
        case 3:
            now += Millis(bytes.empty() ? 0 : bytes[0]) * 100;
            for (const Bytes& out : ann.advance(now).sends)
                FUZZ_CHECK(readHello(out).has_value());
            break;
        }
        if (ann.state() == TrustState::Sealed) {
            const auto sealed = ann.seal(makeChatText(1, 0, "ann"));
            FUZZ_CHECK(sealed && sealed->size() <= MaxDatagramSize);
        }
    }
    return 0;
}
