#include "core/trust/identity.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>

namespace lumo {

void ensureSodium()
{
    // sodium_init is itself safe to call repeatedly and from several threads; -1 means the
    // library cannot work on this machine at all, and nothing sealed could be trusted.
    if (sodium_init() < 0) std::abort();
}

KeySeed randomSeed()
{
    ensureSodium();
    KeySeed seed;
    randombytes_buf(seed.data(), seed.size());
    return seed;
}

Identity Identity::fromSeed(const KeySeed& seed)
{
    ensureSodium();
    Identity identity;
    identity.seed_ = seed;
    crypto_sign_seed_keypair(identity.publicKey_.data(), identity.secretKey_.data(), seed.data());
    return identity;
}

std::array<std::uint8_t, 64> Identity::sign(const std::uint8_t* message, std::size_t size) const
{
    std::array<std::uint8_t, 64> signature{};
    crypto_sign_detached(signature.data(), nullptr, message, size, secretKey_.data());
    return signature;
}

std::string fingerprintText(const SigningPublicKey& key)
{
    ensureSodium();
    std::array<std::uint8_t, 16> hash{};
    static constexpr char Context[] = "lumo fingerprint";
    crypto_generichash(hash.data(), hash.size(), key.data(), key.size(),
                       reinterpret_cast<const unsigned char*>(Context), sizeof Context - 1);
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < hash.size(); ++i) {
        if (i > 0 && i % 2 == 0) text += ' ';
        text += Digits[hash[i] >> 4];
        text += Digits[hash[i] & 15];
    }
    return text;
}

std::string hexText(const std::uint8_t* bytes, std::size_t size)
{
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 15];
    }
    return text;
}

namespace {
int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<std::string> bytesFromHex(std::string_view hex)
{
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

static constexpr std::string_view IdentityHeader = "lumo-identity 1\n";
static constexpr std::string_view SeedPrefix = "seed ";

std::string identityFileText(const Identity& identity)
{
    return std::string(IdentityHeader) + std::string(SeedPrefix) +
           hexText(identity.seed().data(), identity.seed().size()) + "\n";
}

std::optional<Identity> parseIdentityFile(std::string_view text)
{
    if (text.substr(0, IdentityHeader.size()) != IdentityHeader) return std::nullopt;
    text.remove_prefix(IdentityHeader.size());
    if (text.substr(0, SeedPrefix.size()) != SeedPrefix) return std::nullopt;
    text.remove_prefix(SeedPrefix.size());
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const auto bytes = bytesFromHex(text);
    if (!bytes || bytes->size() != KeySeed{}.size()) return std::nullopt;
    KeySeed seed;
    std::memcpy(seed.data(), bytes->data(), seed.size());
    return Identity::fromSeed(seed);
}

}  // namespace lumo
