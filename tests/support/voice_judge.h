// How the voice tests judge what a listener played: against the test phrase as it sounds after
// coding and decoding alone.
#pragma once

#include "unit/voice_test_support.h"
#include "voice/silence_gate.h"
#include "voice/voice_codec.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <cmath>
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

// Pearson correlation of two loudness contours over their common length: how well the rise and
// fall of one follows the other, whatever their overall level.
inline double contourCorrelation(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b)
{
    const std::size_t n = std::min(a.size(), b.size());
    if (n < 2) return 0;
    double meanA = 0, meanB = 0;
    for (std::size_t i = 0; i < n; ++i) meanA += a[i], meanB += b[i];
    meanA /= double(n);
    meanB /= double(n);
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = a[i] - meanA, y = b[i] - meanB;
        ab += x * y, aa += x * x, bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// The best loudness-contour correlation of `heard` with the coded phrase from some block on: a
// listener starts playing where its player picks the stream up.
inline double loudnessMatch(const std::vector<std::vector<std::int16_t>>& reference, const std::vector<std::int16_t>& heard)
{
    std::vector<std::int16_t> expected;
    for (const auto& block : reference) expected.insert(expected.end(), block.begin(), block.end());
    const auto heardContour = envelope(heard);
    double best = 0;
    for (std::size_t lag = 0; lag < expected.size(); lag += BlockSamples) {
        const std::vector<std::int16_t> part(expected.begin() + lag, expected.end());
        if (part.size() < heard.size() / 2) break;  // too little left to compare fairly
        best = std::max(best, contourCorrelation(envelope(part), heardContour));
    }
    return best;
}

// For a stream that lost blocks on the way the whole no longer lines up with the talk: each
// audible 60 ms block the listener played is looked up among the talk's blocks (within a few
// milliseconds of codec delay either way) by waveform correlation. Returns the share of played
// blocks that match some block of the talk at `threshold` or better.
inline double matchedBlockShare(const std::vector<std::vector<std::int16_t>>& reference,
                                const std::vector<std::int16_t>& heard, double threshold = 0.6)
{
    int audible = 0, matched = 0;
    for (std::size_t at = 0; at + BlockSamples <= heard.size(); at += BlockSamples) {
        const std::vector<std::int16_t> block(heard.begin() + at, heard.begin() + at + BlockSamples);
        if (IsQuietBlock(reinterpret_cast<const std::uint8_t*>(block.data()), BlockBytes)) continue;
        ++audible;
        double best = 0;
        for (const auto& candidate : reference)
            for (int lag = -40; lag <= 40 && best < threshold; lag += 2)
                best = std::max(best, correlation(candidate, block, lag));
        if (best >= threshold) ++matched;
    }
    return audible ? double(matched) / audible : 0;
}

// Writes `ms` milliseconds of silence as an 8 kHz 16-bit mono WAV file (a microphone for a
// listener that says nothing), without starting another program.
inline bool writeSilentWav(const std::string& path, int ms = 100)
{
    const std::uint32_t dataBytes = std::uint32_t(ms) * 16;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);      // PCM
    u16(1);      // mono
    u32(8000);   // samples per second
    u32(16000);  // bytes per second
    u16(2);      // block alignment
    u16(16);     // bits per sample
    out.write("data", 4);
    u32(dataBytes);
    const std::vector<char> zeros(dataBytes, 0);
    out.write(zeros.data(), std::streamsize(zeros.size()));
    return bool(out);
}

}  // namespace lumo::test
