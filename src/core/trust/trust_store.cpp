#include "core/trust/trust_store.h"

#include <cstring>

namespace lumo {

KeyVerdict TrustStore::meet(const std::string& group, const std::string& name, const SigningPublicKey& key)
{
    const auto found = keys_.find({group, name});
    if (found == keys_.end()) {
        if (keys_.size() < MaxEntries) keys_.emplace(std::make_pair(group, name), key);
        return KeyVerdict::FirstSeen;
    }
    return found->second == key ? KeyVerdict::Known : KeyVerdict::Changed;
}

void TrustStore::accept(const std::string& group, const std::string& name, const SigningPublicKey& key)
{
    const auto found = keys_.find({group, name});
    if (found != keys_.end()) found->second = key;
    else if (keys_.size() < MaxEntries) keys_.emplace(std::make_pair(group, name), key);
}

std::optional<SigningPublicKey> TrustStore::known(const std::string& group, const std::string& name) const
{
    const auto found = keys_.find({group, name});
    if (found == keys_.end()) return std::nullopt;
    return found->second;
}

std::string TrustStore::toText() const
{
    std::string text;
    for (const auto& [who, key] : keys_) {
        text += hexText(reinterpret_cast<const std::uint8_t*>(who.first.data()), who.first.size());
        text += ' ';
        text += hexText(reinterpret_cast<const std::uint8_t*>(who.second.data()), who.second.size());
        text += ' ';
        text += hexText(key.data(), key.size());
        text += '\n';
    }
    return text;
}

TrustStore TrustStore::fromText(std::string_view text, int* badLines)
{
    TrustStore store;
    int bad = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) continue;
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
            ++bad;
            continue;
        }
        const auto group = bytesFromHex(line.substr(0, first));
        const auto name = bytesFromHex(line.substr(first + 1, second - first - 1));
        const auto key = bytesFromHex(line.substr(second + 1));
        if (!group || !name || name->empty() || !key || key->size() != SigningPublicKey{}.size() ||
            store.keys_.size() >= MaxEntries) {
            ++bad;
            continue;
        }
        SigningPublicKey publicKey;
        std::memcpy(publicKey.data(), key->data(), publicKey.size());
        store.keys_[{*group, *name}] = publicKey;
    }
    if (badLines) *badLines = bad;
    return store;
}

}  // namespace lumo
