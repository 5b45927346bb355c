#include "core/trust/key_vouch.h"

#include <sodium.h>

#include <cstring>
#include <string_view>

namespace lumo {

namespace {

constexpr std::string_view VouchContext = "lumo vouch 1";

std::array<std::uint8_t, VouchTagSize> tagOf(const VouchKey& key, const std::uint8_t* data, std::size_t size)
{
    std::array<std::uint8_t, VouchTagSize> tag;
    crypto_generichash(tag.data(), tag.size(), data, size, key.data(), key.size());
    return tag;
}

}  // namespace

VouchKey vouchKeyOf(const JoinCookieValue& cookie, const SigningPublicKey& member)
{
    ensureSodium();
    Bytes input(VouchContext.begin(), VouchContext.end());
    input.insert(input.end(), member.begin(), member.end());
    VouchKey key;
    crypto_generichash(key.data(), key.size(), input.data(), input.size(), cookie.data(), cookie.size());
    return key;
}

bool isKeyVouch(ByteView datagram)
{
    return datagram.size() >= HeaderSize && datagram[0] == cmd::KeyVouch && datagram[3] == std::uint8_t(Kind::FromHost);
}

std::vector<Bytes> makeKeyVouches(std::uint8_t recipientId, std::span<const VouchedKey> entries, const VouchKey& key)
{
    ensureSodium();
    std::vector<Bytes> records;
    for (std::size_t first = 0; first < entries.size(); first += MaxVouchEntries) {
        const std::size_t count = std::min(MaxVouchEntries, entries.size() - first);
        Bytes bytes = makeHeaderOnly(cmd::KeyVouch, recipientId, 0, Kind::FromHost);
        bytes.push_back(std::uint8_t(count));
        for (const VouchedKey& entry : entries.subspan(first, count)) {
            bytes.push_back(entry.memberId);
            for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(std::uint8_t(entry.at.address >> shift));
            bytes.push_back(std::uint8_t(entry.at.port));
            bytes.push_back(std::uint8_t(entry.at.port >> 8));
            bytes.insert(bytes.end(), entry.key.begin(), entry.key.end());
        }
        const auto tag = tagOf(key, bytes.data(), bytes.size());
        bytes.insert(bytes.end(), tag.begin(), tag.end());
        records.push_back(std::move(bytes));
    }
    return records;
}

std::optional<std::vector<VouchedKey>> readKeyVouch(ByteView datagram, const VouchKey& key)
{
    if (datagram.size() < VouchFixedSize + VouchEntrySize || !isKeyVouch(datagram) || datagram[2] != 0) return std::nullopt;
    const std::size_t count = datagram[HeaderSize];
    if (count == 0 || count > MaxVouchEntries || datagram.size() != VouchFixedSize + count * VouchEntrySize)
        return std::nullopt;
    ensureSodium();
    const std::size_t body = datagram.size() - VouchTagSize;
    const auto expected = tagOf(key, datagram.data(), body);
    if (sodium_memcmp(expected.data(), datagram.data() + body, VouchTagSize) != 0) return std::nullopt;
    std::vector<VouchedKey> entries(count);
    const std::uint8_t* at = datagram.data() + HeaderSize + 1;
    for (VouchedKey& entry : entries) {
        entry.memberId = at[0];
        entry.at.address = Ipv4(at[1]) << 24 | Ipv4(at[2]) << 16 | Ipv4(at[3]) << 8 | Ipv4(at[4]);
        entry.at.port = std::uint16_t(at[5] | at[6] << 8);
        std::memcpy(entry.key.data(), at + 7, entry.key.size());
        at += VouchEntrySize;
    }
    return entries;
}

}  // namespace lumo
