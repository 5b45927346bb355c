// How the voice tests judge what a listener played: against the test phrase as it sounds after
// coding and decoding alone.
#pragma once

#include "unit/voice_test_support.h"
#include "voice/silence_gate.h"
#include "voice/voice_codec.h"

#include <algorithm>
#include <vector>

namespace lumo::test {

// The phrase's blocks as a talker sends them: quiet blocks dropped, the rest through one encoder
// and one decoder.
inline std::vector<std::vector<std::int16_t>> codedPhrase(const std::vector<std::int16_t>& phrase)
{
    VoiceCodec encoder, decoder;
    std::vector<std::vector<std::int16_t>> out;
    for (const auto& block : blocksOf(phrase)) {
        if (IsQuietBlock(reinterpret_cast<const std::uint8_t*>(block.data()), BlockBytes)) continue;
        std::uint8_t coded[VoiceSpeechSize];
        std::vector<std::int16_t> decoded(BlockSamples);
        encoder.Encode(block.data(), BlockBytes, coded, nullptr);
        decoder.Decode(coded, int(VoiceSpeechSize), decoded.data(), nullptr);
        out.push_back(std::move(decoded));
    }
    return out;
}

// The best loudness correlation of `heard` with the coded phrase from some block on: a listener
// starts playing where its player picks the stream up.
inline double loudnessMatch(const std::vector<std::vector<std::int16_t>>& reference, const std::vector<std::int16_t>& heard)
{
    std::vector<std::int16_t> expected;
    for (const auto& block : reference) expected.insert(expected.end(), block.begin(), block.end());
    double best = 0;
    for (std::size_t lag = 0; lag + heard.size() <= expected.size() + BlockSamples; lag += BlockSamples) {
        const std::vector<std::int16_t> part(expected.begin() + std::min(lag, expected.size()), expected.end());
        best = std::max(best, correlation(envelope(part), envelope(heard), 0));
    }
    return best;
}

}  // namespace lumo::test
