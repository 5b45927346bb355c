// Joining a LUMO host with the identity key: the host's stateless cookie and the signed join
// that answers it. Pure logic: time and the cookie secrets come in.
//
// A LUMO joiner's JoinRequest shows KeysMark in its record. A LUMO host answers it with a
// JoinCookie alone (20 bytes, smaller than the 36-byte request): a keyed hash of the source
// address and port under a secret that changes every RotateEveryMs, so the host keeps nothing
// for a joiner until it shows it receives there. The joiner answers with a KeyedJoin: its
// record, its identity key, the cookie and its signature over all of that. Only then is it
// entered, acknowledged and sent the roster, and its record remembers the key: a rejoin from
// another port moves that record only with a KeyedJoin signed by the same key.
//
//   JoinCookie [43, joiner's id, 0, 1] cookie(16)                                      =  20 B
//   KeyedJoin  [44, own id, 0, 3] record(32) identity key(32) cookie(16) signature(64) = 148 B
//
// A plain host does not define either command and answers the marked JoinRequest with its
// roster, as the plain protocol has it; a plain joiner's JoinRequest shows no mark and gets its
// roster at once from a LUMO host.
#pragma once

#include "core/trust/handshake.h"  // KeysMark
#include "core/trust/identity.h"
#include "core/wire/wire.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace lumo {

using Millis = std::int64_t;

namespace cmd {
inline constexpr std::uint8_t JoinCookie = 43;  // kind 1, LUMO hosts to LUMO joiners only
inline constexpr std::uint8_t KeyedJoin = 44;   // kind 3, LUMO joiners to LUMO hosts only
}  // namespace cmd

using JoinCookieValue = std::array<std::uint8_t, 16>;

inline constexpr std::size_t JoinCookieSize = HeaderSize + 16;                                // 20
inline constexpr std::size_t KeyedJoinSize = HeaderSize + MemberEntrySize + 32 + 16 + 64;     // 148

// By the header alone (command and kind); the length is not judged here.
bool isJoinCookie(ByteView datagram);
bool isKeyedJoin(ByteView datagram);

Bytes makeJoinCookie(std::uint8_t joinerId, const JoinCookieValue& cookie);
// nullopt unless the datagram is exactly a JoinCookie.
std::optional<JoinCookieValue> readJoinCookie(ByteView datagram);

Bytes makeKeyedJoin(const Identity& identity, const MemberEntry& own, const JoinCookieValue& cookie);

// A KeyedJoin whose signature is its identity key's.
struct KeyedJoin {
    MemberEntry entry;
    SigningPublicKey identity{};
    JoinCookieValue cookie{};
};
// nullopt unless the datagram is exactly a KeyedJoin signed by the key it carries.
std::optional<KeyedJoin> readKeyedJoin(ByteView datagram);

// The host's cookies: a keyed BLAKE2b of the source under a secret drawn every RotateEveryMs;
// a cookie of the previous secret is still taken, so one lives RotateEveryMs at least.
class JoinCookies {
public:
    static constexpr Millis RotateEveryMs = 30'000;

    explicit JoinCookies(std::function<KeySeed()> secrets);

    JoinCookieValue cookieFor(Endpoint source, Millis now);
    bool valid(const JoinCookieValue& cookie, Endpoint source, Millis now);

private:
    void rotate(Millis now);
    static JoinCookieValue hash(const KeySeed& secret, Endpoint source);

    std::function<KeySeed()> secrets_;
    std::optional<KeySeed> current_;
    std::optional<KeySeed> previous_;
    Millis rotatedAt_ = 0;
};

// The joiner's side: a cookie is answered only while a join is under way, only when it comes
// from the host joined, and only a few times per join, so a forged cookie cannot make this
// client send anything anywhere else, or keep sending.
class KeyedJoiner {
public:
    static constexpr int AnswersPerJoin = 3;

    void joinSent()
    {
        answers_ = 0;
        answered_.clear();
    }
    // The KeyedJoin answering `datagram`, to go to the host; nullopt when it is not answered.
    std::optional<Bytes> answer(ByteView datagram, Endpoint source, Endpoint host, bool joining, const Identity& identity,
                                const MemberEntry& own);

    // The cookies answered in this join: one of them is the one the host took, and keys the
    // host's vouches to this member.
    const std::vector<JoinCookieValue>& answered() const { return answered_; }

private:
    int answers_ = 0;
    std::vector<JoinCookieValue> answered_;
};

}  // namespace lumo
