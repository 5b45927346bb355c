// Keys trusted on first use, per group and member name: the first key a member proves is kept;
// a later, different key under the same name in the same group is reported and never taken in
// its place unless the player accepts it. Kept as a small text file (the caller reads and writes
// it, 0600): one line per member, "<group hex> <name hex> <key hex>".
#pragma once

#include "core/trust/identity.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace lumo {

enum class KeyVerdict {
    FirstSeen,  // nothing known under this name in this group: take it and remember it
    Known,      // the key remembered for this name
    Changed,    // another key than the one remembered: show it, do not take it
};

class TrustStore {
public:
    // More members than this are not remembered (the file stays small whatever it is fed).
    static constexpr std::size_t MaxEntries = 4096;

    // Judges a key a member proved; FirstSeen also remembers it (when there is room).
    KeyVerdict meet(const std::string& group, const std::string& name, const SigningPublicKey& key);
    // The player accepted a changed key: it replaces the one remembered.
    void accept(const std::string& group, const std::string& name, const SigningPublicKey& key);
    std::optional<SigningPublicKey> known(const std::string& group, const std::string& name) const;
    std::size_t size() const { return keys_.size(); }

    std::string toText() const;
    // Lines that are not three well-formed fields are skipped and counted in `badLines`.
    static TrustStore fromText(std::string_view text, int* badLines = nullptr);

private:
    std::map<std::pair<std::string, std::string>, SigningPublicKey> keys_;
};

}  // namespace lumo
