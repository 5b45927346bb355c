// The handshake between two LUMO peers and the sealed records that follow it, as pure logic:
// datagrams and the time go in, datagrams and the state come out.
//
// Three datagrams of kind 2 with command numbers the plain protocol does not define, so a peer
// that speaks only the plain protocol drops them unread (and LUMO then speaks plain to it):
//
//   Hello  [40, to, from, 2] flags(1) identity key(32) ephemeral key(32) signature(64)  = 133 B
//   Proof  [41, to, from, 2] tag(16)                                                    =  20 B
//   Sealed [42, to, from, 2] sequence(8, little-endian) sealed datagram + tag(16)        = 28 B + n
//
// A Hello carries a fresh crypto_kx key signed (crypto_sign) by the sender's identity key. From
// the two ephemeral keys crypto_kx gives one key per direction, each then keyed with a hash of
// both identities and both ephemeral keys, so the session belongs to exactly these two
// identities. A Proof is an AEAD tag (ChaCha20-Poly1305, IETF) over that hash: it opens only for
// whoever holds the ephemeral secret behind a signed Hello, that is the identity key's holder,
// now. A Sealed record carries a whole plain datagram, its header repeated outside as
// associated data; the nonce is the sequence number, and a window of the last 64 numbers refuses
// replays and late duplicates.
#pragma once

#include "core/trust/identity.h"
#include "core/wire/wire.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumo {

using Millis = std::int64_t;
using KxPublicKey = std::array<std::uint8_t, 32>;
using SessionKey = std::array<std::uint8_t, 32>;

namespace cmd {
inline constexpr std::uint8_t TrustHello = 40;   // kind 2, LUMO peers only
inline constexpr std::uint8_t TrustProof = 41;   // kind 2, LUMO peers only
inline constexpr std::uint8_t TrustSealed = 42;  // kind 2, LUMO peers only
}  // namespace cmd

// A LUMO member writes this into the reserved field of its own member record (the join), and
// the host's roster carries it to the others: only members that show it (or whose key is
// remembered) are sent a Hello, so a peer that speaks only the plain protocol never sees one.
inline constexpr std::uint16_t KeysMark = 0x4B4C;  // "LK"

inline constexpr std::size_t HelloSize = HeaderSize + 1 + 32 + 32 + 64;  // 133
inline constexpr std::size_t ProofSize = HeaderSize + 16;                // 20
inline constexpr std::size_t SealedOverhead = HeaderSize + 8 + 16;       // 28
// The largest plain datagram a Sealed record carries within the 1,024 bytes a receiver reads.
inline constexpr std::size_t MaxSealedInner = MaxDatagramSize - SealedOverhead;  // 996

enum class TrustRecord { Hello, Proof, Sealed };
// Which handshake record a datagram is, by its header; nullopt for everything else (plain
// datagrams included). The length is not judged here.
std::optional<TrustRecord> trustRecordOf(ByteView datagram);

// A Hello whose signature checked out.
struct Hello {
    DatagramHeader header;
    bool answer = false;  // sent in answer to a Hello: it is not answered with another
    SigningPublicKey identity{};
    KxPublicKey ephemeral{};
};
// nullopt unless the datagram is exactly a Hello and its signature is the identity key's.
std::optional<Hello> readHello(ByteView datagram);

// Refuses a sequence number seen before or older than the last 64 taken.
class ReplayWindow {
public:
    // Whether `sequence` may be taken (0 never is); takes it when so.
    bool take(std::uint64_t sequence);
    bool seen(std::uint64_t sequence) const;

private:
    std::uint64_t highest_ = 0;
    std::uint64_t bits_ = 0;  // bit i: highest_ - i was taken
};

// Where the handshake with one peer stands.
enum class TrustState {
    Waiting,  // our Hello is out, the peer has not proved its key yet
    Sealed,   // the peer proved its key: text and voice travel sealed
    Plain,    // no Hello came back in time: the peer speaks only the plain protocol
};

// Why a handshake datagram was not taken.
enum class TrustFault { None, Malformed, BadSignature, Reflected, NoSession, BadTag, Replayed, HeaderMismatch };

// The handshake and sealing with one peer. One per peer pair and path; made with the own
// identity, a fresh ephemeral seed and the ids both sides carry in headers.
class PeerTrust {
public:
    // Hellos are repeated while the peer has not proved its key; a peer from which no Hello at
    // all came within PlainAfterMs is taken for a plain peer.
    static constexpr Millis HelloRepeatMs = 500;
    static constexpr Millis PlainAfterMs = 1500;

    PeerTrust(const Identity& own, const KeySeed& ephemeralSeed, std::uint8_t peerId, std::uint8_t ownId, Millis now);

    // The first Hello (and its repeats, from advance()).
    Bytes hello(bool answer = false) const;

    struct Step {
        std::vector<Bytes> sends;   // to the peer, in order
        TrustFault fault = TrustFault::None;
        bool becameSealed = false;  // the peer proved its key with this datagram
        bool becamePlain = false;   // advance(): no Hello came in time, the peer speaks plain
    };
    // A Hello whose key the caller has accepted (its trust store knows it or meets it first).
    Step acceptHello(const Hello& hello);
    // A Proof, or a Sealed record: `opened` gets the plain datagram it carried.
    Step receiveProof(ByteView datagram);
    Step openSealed(ByteView datagram, Bytes& opened);
    // Repeats the Hello while waiting, and gives up on a peer that never answered with one.
    Step advance(Millis now);
    // When advance() next has something to do; nullopt once sealed or plain.
    std::optional<Millis> nextDeadline() const;

    // A whole plain datagram as a Sealed record; nullopt unless sealed (or when it is too long).
    std::optional<Bytes> seal(ByteView plain);

    // A roster that renumbered the group: the ids our records carry from now on.
    void setIds(std::uint8_t peerId, std::uint8_t ownId)
    {
        peerId_ = peerId;
        ownId_ = ownId;
    }

    TrustState state() const { return state_; }
    // The peer's identity key, once a Hello was accepted.
    const std::optional<SigningPublicKey>& peerKey() const { return peerKey_; }

private:
    struct Keys {
        KxPublicKey peerEphemeral{};
        SigningPublicKey peerIdentity{};
        SessionKey send{};
        SessionKey receive{};
        std::array<std::uint8_t, 32> transcript{};
        ReplayWindow window;
        std::uint64_t nextSequence = 1;
    };
    std::optional<Keys> derive(const Hello& hello) const;
    Bytes proofFor(const Keys& keys) const;
    void prove(Keys keys, Step& step);
    DatagramHeader outgoingHeader(std::uint8_t command) const;

    Identity own_;
    KxPublicKey ephemeralPublic_{};
    std::array<std::uint8_t, 32> ephemeralSecret_{};
    std::uint8_t peerId_;
    std::uint8_t ownId_;
    TrustState state_ = TrustState::Waiting;
    Millis startedAt_;
    Millis nextHelloAt_;
    bool helloHeard_ = false;
    std::optional<SigningPublicKey> peerKey_;
    std::optional<Keys> current_;  // proved
    std::optional<Keys> pending_;  // from the latest Hello, not proved yet
};

const char* describe(TrustFault fault);

}  // namespace lumo
