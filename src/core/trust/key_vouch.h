// The host telling each LUMO member the identity keys of the other LUMO members, so that a
// member's first handshake with another is taken only from the key the host saw that member
// join with, not from whoever answers a Hello first on the member's address.
//
//   KeyVouch [45, recipient id, 0, 1] count(1) count x entry(39) tag(16)   = 21 + 39n B (n <= 25)
//   entry:   member id(1) public address(4) public port(2, little-endian) identity key(32)
//
// Only the host the member joined can make one: the tag is a keyed BLAKE2b of the whole record
// under a key both derive from the cookie the host gave that member's join (16 bytes only the
// host and the member saw) and the member's identity key. The host keeps the cookie with the
// record once the KeyedJoin was taken; the member keeps the cookies it answered in this join.
// A plain host never sends one and a plain member drops it unread (command 45 is not defined).
#pragma once

#include "core/trust/identity.h"
#include "core/trust/keyed_join.h"
#include "core/wire/wire.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lumo {

namespace cmd {
inline constexpr std::uint8_t KeyVouch = 45;  // kind 1, LUMO hosts to LUMO members that joined keyed
}  // namespace cmd

inline constexpr std::size_t VouchEntrySize = 1 + 4 + 2 + 32;  // 39
inline constexpr std::size_t VouchTagSize = 16;
inline constexpr std::size_t VouchFixedSize = HeaderSize + 1 + VouchTagSize;  // 21
inline constexpr std::size_t MaxVouchEntries = (MaxDatagramSize - VouchFixedSize) / VouchEntrySize;  // 25

struct VouchedKey {
    std::uint8_t memberId = 0;
    Endpoint at;  // the member's record's public endpoint: the entry names that record only
    SigningPublicKey key{};
    bool operator==(const VouchedKey&) const = default;
};

using VouchKey = std::array<std::uint8_t, 32>;

// The key of one member's vouches, from the cookie its join answered and its identity key.
VouchKey vouchKeyOf(const JoinCookieValue& cookie, const SigningPublicKey& member);

// By the header alone; the length is not judged here.
bool isKeyVouch(ByteView datagram);

// The entries in as few records as they fit (none for no entries).
std::vector<Bytes> makeKeyVouches(std::uint8_t recipientId, std::span<const VouchedKey> entries, const VouchKey& key);

// nullopt unless the datagram is a whole KeyVouch (secondId 0, its length matches its count,
// 1..25 entries) whose tag opens under `key`.
std::optional<std::vector<VouchedKey>> readKeyVouch(ByteView datagram, const VouchKey& key);

}  // namespace lumo
