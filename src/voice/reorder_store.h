// Puts one peer's voice records back into sequence order before they are decoded and played.
// Pure logic: given the record just received, it says which records to decode into which half
// of the 960-sample output block and how many bytes of that block to play. The player carries
// out the decoding (its codec state must see the records in exactly this order).
#pragma once

#include <array>
#include <cstdint>

#include "common/wire.h"

namespace lumo {

class ReorderStore {
public:
    static constexpr int Entries = 8;
    static constexpr int HalfBytes = 960;  // one 60 ms block of 16-bit samples

    enum class Half { A = 0, B = 1 };  // samples 0..479 and 480..959 of the output block

    struct Decode {
        VoiceRecord record;
        Half half = Half::A;
    };

    // What one pass does: decode decodes[0..decodeCount-1] in this order, then play the first
    // playBytes bytes (0, 960 or 1920) of the output block. When only half B is decoded and
    // 1920 bytes are played, half A still holds the samples of the previous pass.
    struct Plan {
        std::array<Decode, 2> decodes{};
        int decodeCount = 0;
        int playBytes = 0;
    };

    // Takes the record most recently handed to the player.
    //  d = cur - last (unsigned 32-bit; a number from the past gives a huge d):
    //  d = 0      the record just played again: nothing.
    //  d = 1      decode it into A; if the store holds cur + 1, that goes into B.
    //  d = 2      if the store holds last + 1: that into A and the record into B; otherwise keep
    //             the record in entry 0 when that entry is stale, and play nothing.
    //  d >= 3     keep the record in the first stale entry; if d >= 8 jump to it and play it,
    //             else play last + 1 (into A) and last + 2 (into B) from the store if present.
    Plan Step(const VoiceRecord& record);

    std::uint32_t last() const { return last_; }
    void setLast(std::uint32_t last) { last_ = last; }
    const std::array<VoiceRecord, Entries>& store() const { return store_; }

private:
    // An entry may be overwritten when its number is not ahead of the last one played.
    bool stale(const VoiceRecord& entry) const { return entry.sequence <= last_; }
    const VoiceRecord* find(std::uint32_t sequence) const;

    std::array<VoiceRecord, Entries> store_{};
    std::uint32_t last_ = 0;
};

// Doubles each of the first `count` samples in 16-bit two's-complement arithmetic, as the
// gain boost does: no saturation, so 16384 becomes -32768 and 20000 becomes -25536.
void doubleWithoutSaturation(std::int16_t* samples, int count);

}  // namespace lumo
