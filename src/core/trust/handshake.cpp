#include "core/trust/handshake.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace lumo {

namespace {

constexpr std::uint8_t AnswerFlag = 0x01;
constexpr char HelloContext[] = "lumo hello 1";
constexpr char TranscriptContext[] = "lumo transcript 1";
constexpr char ProofContext[] = "lumo proof 1";

constexpr std::size_t TagSize = crypto_aead_chacha20poly1305_ietf_ABYTES;
static_assert(TagSize == 16);
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12);

using Nonce = std::array<std::uint8_t, 12>;

// Data records use the sequence number, its top four bytes zero; a Proof's nonce is all ones
// and so never meets one of theirs under the same key.
Nonce sequenceNonce(std::uint64_t sequence)
{
    Nonce nonce{};
    for (int i = 0; i < 8; ++i)
        nonce[std::size_t(i)] = std::uint8_t(sequence >> (8 * i));
    return nonce;
}

const Nonce ProofNonce = [] {
    Nonce nonce;
    nonce.fill(0xFF);
    return nonce;
}();

// What the identity key signs in a Hello: the context, the identity key and the ephemeral key.
std::array<std::uint8_t, sizeof HelloContext - 1 + 64> signedPart(const SigningPublicKey& identity,
                                                                   const KxPublicKey& ephemeral)
{
    std::array<std::uint8_t, sizeof HelloContext - 1 + 64> message{};
    std::memcpy(message.data(), HelloContext, sizeof HelloContext - 1);
    std::memcpy(message.data() + sizeof HelloContext - 1, identity.data(), 32);
    std::memcpy(message.data() + sizeof HelloContext - 1 + 32, ephemeral.data(), 32);
    return message;
}

std::array<std::uint8_t, sizeof ProofContext - 1 + 32> proofData(const std::array<std::uint8_t, 32>& transcript)
{
    std::array<std::uint8_t, sizeof ProofContext - 1 + 32> data{};
    std::memcpy(data.data(), ProofContext, sizeof ProofContext - 1);
    std::memcpy(data.data() + sizeof ProofContext - 1, transcript.data(), 32);
    return data;
}

std::uint64_t readSequence(const std::uint8_t* in8)
{
    std::uint64_t sequence = 0;
    for (int i = 7; i >= 0; --i)
        sequence = (sequence << 8) | in8[i];
    return sequence;
}

}  // namespace

std::optional<TrustRecord> trustRecordOf(ByteView datagram)
{
    if (datagram.size() < HeaderSize || datagram[3] != std::uint8_t(Kind::PeerToPeer)) return std::nullopt;
    switch (datagram[0]) {
    case cmd::TrustHello: return TrustRecord::Hello;
    case cmd::TrustProof: return TrustRecord::Proof;
    case cmd::TrustSealed: return TrustRecord::Sealed;
    default: return std::nullopt;
    }
}

std::optional<Hello> readHello(ByteView datagram)
{
    if (datagram.size() != HelloSize || trustRecordOf(datagram) != TrustRecord::Hello) return std::nullopt;
    ensureSodium();
    Hello hello;
    hello.header = DatagramHeader{datagram[0], datagram[1], datagram[2], datagram[3]};
    const std::uint8_t flags = datagram[HeaderSize];
    if ((flags & ~AnswerFlag) != 0) return std::nullopt;  // no other flag is defined yet
    hello.answer = (flags & AnswerFlag) != 0;
    std::memcpy(hello.identity.data(), datagram.data() + HeaderSize + 1, 32);
    std::memcpy(hello.ephemeral.data(), datagram.data() + HeaderSize + 33, 32);
    const auto message = signedPart(hello.identity, hello.ephemeral);
    if (crypto_sign_verify_detached(datagram.data() + HeaderSize + 65, message.data(), message.size(),
                                    hello.identity.data()) != 0)
        return std::nullopt;
    return hello;
}

bool ReplayWindow::seen(std::uint64_t sequence) const
{
    if (sequence == 0) return true;
    if (sequence > highest_) return false;
    const std::uint64_t age = highest_ - sequence;
    return age >= 64 || ((bits_ >> age) & 1) != 0;
}

bool ReplayWindow::take(std::uint64_t sequence)
{
    if (seen(sequence)) return false;
    if (sequence > highest_) {
        const std::uint64_t shift = sequence - highest_;
        bits_ = shift >= 64 ? 0 : bits_ << shift;
        bits_ |= 1;
        highest_ = sequence;
    } else {
        bits_ |= std::uint64_t(1) << (highest_ - sequence);
    }
    return true;
}

PeerTrust::PeerTrust(const Identity& own, const KeySeed& ephemeralSeed, std::uint8_t peerId, std::uint8_t ownId,
                     Millis now)
    : own_(own), peerId_(peerId), ownId_(ownId), startedAt_(now), nextHelloAt_(now + HelloRepeatMs)
{
    ensureSodium();
    crypto_kx_seed_keypair(ephemeralPublic_.data(), ephemeralSecret_.data(), ephemeralSeed.data());
}

DatagramHeader PeerTrust::outgoingHeader(std::uint8_t command) const
{
    return DatagramHeader{command, peerId_, ownId_, std::uint8_t(Kind::PeerToPeer)};
}

Bytes PeerTrust::hello(bool answer) const
{
    Bytes bytes = makeHeaderOnly(cmd::TrustHello, peerId_, ownId_, Kind::PeerToPeer);
    bytes.push_back(answer ? AnswerFlag : 0);
    bytes.insert(bytes.end(), own_.publicKey().begin(), own_.publicKey().end());
    bytes.insert(bytes.end(), ephemeralPublic_.begin(), ephemeralPublic_.end());
    const auto message = signedPart(own_.publicKey(), ephemeralPublic_);
    const auto signature = own_.sign(message.data(), message.size());
    bytes.insert(bytes.end(), signature.begin(), signature.end());
    return bytes;
}

std::optional<PeerTrust::Keys> PeerTrust::derive(const Hello& hello) const
{
    Keys keys;
    keys.peerEphemeral = hello.ephemeral;
    keys.peerIdentity = hello.identity;
    // crypto_kx has a client and a server side; the lower ephemeral key is the client, so both
    // peers agree without a word more.
    const bool client = std::lexicographical_compare(ephemeralPublic_.begin(), ephemeralPublic_.end(),
                                                     hello.ephemeral.begin(), hello.ephemeral.end());
    SessionKey rx{}, tx{};
    const int kx = client ? crypto_kx_client_session_keys(rx.data(), tx.data(), ephemeralPublic_.data(),
                                                          ephemeralSecret_.data(), hello.ephemeral.data())
                          : crypto_kx_server_session_keys(rx.data(), tx.data(), ephemeralPublic_.data(),
                                                          ephemeralSecret_.data(), hello.ephemeral.data());
    if (kx != 0) return std::nullopt;  // a key of low order
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, keys.transcript.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(TranscriptContext),
                              sizeof TranscriptContext - 1);
    const SigningPublicKey& clientIdentity = client ? own_.publicKey() : hello.identity;
    const KxPublicKey& clientEphemeral = client ? ephemeralPublic_ : hello.ephemeral;
    const SigningPublicKey& serverIdentity = client ? hello.identity : own_.publicKey();
    const KxPublicKey& serverEphemeral = client ? hello.ephemeral : ephemeralPublic_;
    crypto_generichash_update(&state, clientIdentity.data(), 32);
    crypto_generichash_update(&state, clientEphemeral.data(), 32);
    crypto_generichash_update(&state, serverIdentity.data(), 32);
    crypto_generichash_update(&state, serverEphemeral.data(), 32);
    crypto_generichash_final(&state, keys.transcript.data(), keys.transcript.size());
    // Each direction's key is bound to both identities through the transcript.
    crypto_generichash(keys.send.data(), 32, tx.data(), tx.size(), keys.transcript.data(), 32);
    crypto_generichash(keys.receive.data(), 32, rx.data(), rx.size(), keys.transcript.data(), 32);
    sodium_memzero(rx.data(), rx.size());
    sodium_memzero(tx.data(), tx.size());
    return keys;
}

Bytes PeerTrust::proofFor(const Keys& keys) const
{
    Bytes bytes = makeHeaderOnly(cmd::TrustProof, peerId_, ownId_, Kind::PeerToPeer);
    bytes.resize(ProofSize);
    const auto data = proofData(keys.transcript);
    unsigned long long tagSize = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(bytes.data() + HeaderSize, &tagSize, nullptr, 0, data.data(),
                                              data.size(), nullptr, ProofNonce.data(), keys.send.data());
    return bytes;
}

PeerTrust::Step PeerTrust::acceptHello(const Hello& hello)
{
    Step step;
    if (hello.ephemeral == ephemeralPublic_ || hello.identity == own_.publicKey()) {
        step.fault = TrustFault::Reflected;  // our own Hello sent back to us
        return step;
    }
    const Keys* keys = nullptr;
    if (current_ && current_->peerEphemeral == hello.ephemeral && current_->peerIdentity == hello.identity)
        keys = &*current_;
    else if (pending_ && pending_->peerEphemeral == hello.ephemeral && pending_->peerIdentity == hello.identity)
        keys = &*pending_;
    else {
        // A new ephemeral key: the peer restarted, or this is its first Hello. What is proved
        // stays in use until the new keys prove themselves, so a replayed old Hello breaks nothing.
        auto derived = derive(hello);
        if (!derived) {
            step.fault = TrustFault::Malformed;
            return step;
        }
        pending_ = std::move(derived);
        keys = &*pending_;
    }
    helloHeard_ = true;
    if (!current_) peerKey_ = hello.identity;
    if (!hello.answer) step.sends.push_back(this->hello(true));
    step.sends.push_back(proofFor(*keys));
    return step;
}

void PeerTrust::prove(Keys keys, Step& step)
{
    const bool wasSealed = state_ == TrustState::Sealed;
    peerKey_ = keys.peerIdentity;
    current_ = std::move(keys);
    pending_.reset();
    state_ = TrustState::Sealed;
    step.becameSealed = !wasSealed;
}

PeerTrust::Step PeerTrust::receiveProof(ByteView datagram)
{
    Step step;
    if (datagram.size() != ProofSize || trustRecordOf(datagram) != TrustRecord::Proof) {
        step.fault = TrustFault::Malformed;
        return step;
    }
    auto verifies = [&](const Keys& keys) {
        const auto data = proofData(keys.transcript);
        return crypto_aead_chacha20poly1305_ietf_decrypt(nullptr, nullptr, nullptr, datagram.data() + HeaderSize,
                                                         TagSize, data.data(), data.size(), ProofNonce.data(),
                                                         keys.receive.data()) == 0;
    };
    if (pending_ && verifies(*pending_)) {
        prove(std::move(*pending_), step);
        return step;
    }
    if (current_ && verifies(*current_)) return step;  // a repeat of a proof already taken
    step.fault = current_ || pending_ ? TrustFault::BadTag : TrustFault::NoSession;
    return step;
}

PeerTrust::Step PeerTrust::openSealed(ByteView datagram, Bytes& opened)
{
    Step step;
    if (datagram.size() < SealedOverhead + HeaderSize || datagram.size() > MaxDatagramSize ||
        trustRecordOf(datagram) != TrustRecord::Sealed) {
        step.fault = TrustFault::Malformed;
        return step;
    }
    const std::uint64_t sequence = readSequence(datagram.data() + HeaderSize);
    const Nonce nonce = sequenceNonce(sequence);
    const std::size_t sealedSize = datagram.size() - HeaderSize - 8;
    Bytes plain(sealedSize - TagSize);
    auto opens = [&](const Keys& keys) {
        unsigned long long plainSize = 0;
        return crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), &plainSize, nullptr,
                                                         datagram.data() + HeaderSize + 8, sealedSize,
                                                         datagram.data(), HeaderSize + 8, nonce.data(),
                                                         keys.receive.data()) == 0;
    };
    Keys* keys = nullptr;
    bool underPending = false;
    if (current_ && opens(*current_)) keys = &*current_;
    else if (pending_ && opens(*pending_)) {
        keys = &*pending_;
        underPending = true;
    }
    if (!keys) {
        step.fault = current_ || pending_ ? TrustFault::BadTag : TrustFault::NoSession;
        return step;
    }
    // The ids inside are the ids outside: a sealed record cannot be passed off as another's.
    if (plain[1] != datagram[1] || plain[2] != datagram[2] || plain[3] != std::uint8_t(Kind::PeerToPeer)) {
        step.fault = TrustFault::HeaderMismatch;
        return step;
    }
    if (!keys->window.take(sequence)) {
        step.fault = TrustFault::Replayed;
        return step;
    }
    if (underPending) {
        // Sealed under the new keys: as good a proof as the Proof itself (which may be lost).
        Keys proved = std::move(*pending_);
        prove(std::move(proved), step);
    }
    opened = std::move(plain);
    return step;
}

std::optional<Bytes> PeerTrust::seal(ByteView plain)
{
    if (state_ != TrustState::Sealed || !current_ || plain.size() < HeaderSize || plain.size() > MaxSealedInner)
        return std::nullopt;
    const std::uint64_t sequence = current_->nextSequence++;
    Bytes bytes = makeHeaderOnly(cmd::TrustSealed, plain[1], plain[2], Kind::PeerToPeer);
    for (int i = 0; i < 8; ++i)
        bytes.push_back(std::uint8_t(sequence >> (8 * i)));
    bytes.resize(HeaderSize + 8 + plain.size() + TagSize);
    const Nonce nonce = sequenceNonce(sequence);
    unsigned long long sealedSize = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(bytes.data() + HeaderSize + 8, &sealedSize, plain.data(), plain.size(),
                                              bytes.data(), HeaderSize + 8, nullptr, nonce.data(),
                                              current_->send.data());
    return bytes;
}

PeerTrust::Step PeerTrust::advance(Millis now)
{
    Step step;
    if (state_ != TrustState::Waiting || now < nextHelloAt_) return step;
    if (!helloHeard_ && now >= startedAt_ + PlainAfterMs) {
        state_ = TrustState::Plain;
        step.becamePlain = true;
        return step;
    }
    step.sends.push_back(hello());
    nextHelloAt_ = now + HelloRepeatMs;
    return step;
}

std::optional<Millis> PeerTrust::nextDeadline() const
{
    if (state_ != TrustState::Waiting) return std::nullopt;
    return nextHelloAt_;
}

const char* describe(TrustFault fault)
{
    switch (fault) {
    case TrustFault::None: return "taken";
    case TrustFault::Malformed: return "not a well-formed handshake record";
    case TrustFault::BadSignature: return "a Hello whose signature does not check out";
    case TrustFault::Reflected: return "our own Hello sent back";
    case TrustFault::NoSession: return "a sealed record before any Hello";
    case TrustFault::BadTag: return "a sealed record that does not open (altered, or not the key's holder)";
    case TrustFault::Replayed: return "a sealed record seen before, or too old";
    case TrustFault::HeaderMismatch: return "a sealed record whose ids inside differ from outside";
    }
    return "?";
}

}  // namespace lumo
