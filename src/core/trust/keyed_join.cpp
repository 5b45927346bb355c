#include "core/trust/keyed_join.h"

#include <sodium.h>

#include <cstring>
#include <string_view>

namespace lumo {

namespace {

constexpr std::string_view JoinContext = "lumo join 1";
constexpr std::size_t SignedSize = KeyedJoinSize - 64;

bool hasHeader(ByteView datagram, std::uint8_t command, Kind kind)
{
    return datagram.size() >= HeaderSize && datagram[0] == command && datagram[3] == std::uint8_t(kind);
}

// What the joiner signs: the context, then everything before the signature.
Bytes signedPart(ByteView datagram)
{
    Bytes message(JoinContext.size() + SignedSize);
    std::memcpy(message.data(), JoinContext.data(), JoinContext.size());
    std::memcpy(message.data() + JoinContext.size(), datagram.data(), SignedSize);
    return message;
}

}  // namespace

bool isJoinCookie(ByteView datagram) { return hasHeader(datagram, cmd::JoinCookie, Kind::FromHost); }
bool isKeyedJoin(ByteView datagram) { return hasHeader(datagram, cmd::KeyedJoin, Kind::ToHost); }

Bytes makeJoinCookie(std::uint8_t joinerId, const JoinCookieValue& cookie)
{
    Bytes bytes = makeHeaderOnly(cmd::JoinCookie, joinerId, 0, Kind::FromHost);
    bytes.insert(bytes.end(), cookie.begin(), cookie.end());
    return bytes;
}

std::optional<JoinCookieValue> readJoinCookie(ByteView datagram)
{
    if (datagram.size() != JoinCookieSize || !isJoinCookie(datagram)) return std::nullopt;
    JoinCookieValue cookie;
    std::memcpy(cookie.data(), datagram.data() + HeaderSize, cookie.size());
    return cookie;
}

Bytes makeKeyedJoin(const Identity& identity, const MemberEntry& own, const JoinCookieValue& cookie)
{
    Bytes bytes(KeyedJoinSize);
    const Bytes header = makeHeaderOnly(cmd::KeyedJoin, idByte(own.id), 0, Kind::ToHost);
    std::memcpy(bytes.data(), header.data(), HeaderSize);
    encodeMemberEntry(own, bytes.data() + HeaderSize);
    std::memcpy(bytes.data() + HeaderSize + MemberEntrySize, identity.publicKey().data(), 32);
    std::memcpy(bytes.data() + HeaderSize + MemberEntrySize + 32, cookie.data(), cookie.size());
    const Bytes message = signedPart(bytes);
    const auto signature = identity.sign(message.data(), message.size());
    std::memcpy(bytes.data() + SignedSize, signature.data(), signature.size());
    return bytes;
}

std::optional<KeyedJoin> readKeyedJoin(ByteView datagram)
{
    if (datagram.size() != KeyedJoinSize || !isKeyedJoin(datagram)) return std::nullopt;
    ensureSodium();
    KeyedJoin join;
    join.entry = decodeMemberEntry(datagram.data() + HeaderSize);
    std::memcpy(join.identity.data(), datagram.data() + HeaderSize + MemberEntrySize, 32);
    std::memcpy(join.cookie.data(), datagram.data() + HeaderSize + MemberEntrySize + 32, join.cookie.size());
    const Bytes message = signedPart(datagram);
    if (crypto_sign_verify_detached(datagram.data() + SignedSize, message.data(), message.size(), join.identity.data()) != 0)
        return std::nullopt;
    return join;
}

JoinCookies::JoinCookies(std::function<KeySeed()> secrets) : secrets_(std::move(secrets)) {}

void JoinCookies::rotate(Millis now)
{
    if (!current_) {
        current_ = secrets_();
        rotatedAt_ = now;
        return;
    }
    if (now - rotatedAt_ < RotateEveryMs) return;
    // Quiet for two periods or more: the old secret has nothing left to vouch for.
    previous_ = now - rotatedAt_ < 2 * RotateEveryMs ? current_ : std::nullopt;
    current_ = secrets_();
    rotatedAt_ = now;
}

JoinCookieValue JoinCookies::hash(const KeySeed& secret, Endpoint source)
{
    ensureSodium();
    std::array<std::uint8_t, 6> input{std::uint8_t(source.address >> 24), std::uint8_t(source.address >> 16),
                                      std::uint8_t(source.address >> 8),  std::uint8_t(source.address),
                                      std::uint8_t(source.port >> 8),     std::uint8_t(source.port)};
    JoinCookieValue cookie;
    crypto_generichash(cookie.data(), cookie.size(), input.data(), input.size(), secret.data(), secret.size());
    return cookie;
}

JoinCookieValue JoinCookies::cookieFor(Endpoint source, Millis now)
{
    rotate(now);
    return hash(*current_, source);
}

bool JoinCookies::valid(const JoinCookieValue& cookie, Endpoint source, Millis now)
{
    rotate(now);
    for (const auto& secret : {current_, previous_}) {
        if (!secret) continue;
        const JoinCookieValue expected = hash(*secret, source);
        if (sodium_memcmp(expected.data(), cookie.data(), cookie.size()) == 0) return true;
    }
    return false;
}

std::optional<Bytes> KeyedJoiner::answer(ByteView datagram, Endpoint source, Endpoint host, bool joining,
                                         const Identity& identity, const MemberEntry& own)
{
    const auto cookie = readJoinCookie(datagram);
    if (!cookie || !joining || source != host || answers_ >= AnswersPerJoin) return std::nullopt;
    ++answers_;
    answered_.push_back(*cookie);
    return makeKeyedJoin(identity, own, *cookie);
}

}  // namespace lumo
