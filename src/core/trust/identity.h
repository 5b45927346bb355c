// A LUMO install's identity: a long-term signing key pair (libsodium's crypto_sign, Ed25519),
// the text of its fingerprint, and the small text file that keeps its seed. Randomness comes in
// as a seed, so tests make the same identity every run; the program draws the seed once at
// first start and keeps it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumo {

using SigningPublicKey = std::array<std::uint8_t, 32>;
using KeySeed = std::array<std::uint8_t, 32>;

// libsodium must be initialised once before use; safe to call from anywhere, any number of times.
void ensureSodium();

// 32 random bytes from the system's generator (the program's only source of key material).
KeySeed randomSeed();

class Identity {
public:
    static Identity fromSeed(const KeySeed& seed);

    const SigningPublicKey& publicKey() const { return publicKey_; }
    const KeySeed& seed() const { return seed_; }
    // A detached signature of `message`.
    std::array<std::uint8_t, 64> sign(const std::uint8_t* message, std::size_t size) const;

private:
    KeySeed seed_{};
    SigningPublicKey publicKey_{};
    std::array<std::uint8_t, 64> secretKey_{};
};

// What a player reads out to another to compare keys: a 128-bit hash of the public key as eight
// groups of four hex digits, "3F2A 91C0 ...".
std::string fingerprintText(const SigningPublicKey& key);

// The identity file: "lumo-identity 1\nseed <64 hex digits>\n". Anything else is refused.
std::string identityFileText(const Identity& identity);
std::optional<Identity> parseIdentityFile(std::string_view text);

// Lowercase hex, and its strict reverse (nullopt for odd lengths or non-hex digits).
std::string hexText(const std::uint8_t* bytes, std::size_t size);
std::optional<std::string> bytesFromHex(std::string_view hex);

}  // namespace lumo
