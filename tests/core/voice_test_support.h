// Helpers shared by the voice tests: the test phrase, WAV reading, correlation and polling.
// The fake audio system whose devices a test drives by hand is in tests/support/fake_audio.h.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/voice/silence_gate.h"
#include "core/voice/voice_codec.h"

namespace lumo::test {

inline std::filesystem::path phrasePath()
{
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "voice_phrase.wav";
}

struct Wav {
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    std::vector<std::int16_t> samples;
};

// Reads a 16-bit PCM WAV file (enough for the files the tests produce); false if it is not one.
inline bool readWav(const std::filesystem::path& path, Wav* wav)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    auto u16 = [&](std::size_t at) { return bytes[at] | (bytes[at + 1] << 8); };
    auto u32 = [&](std::size_t at) {
        return std::uint32_t(u16(at)) | (std::uint32_t(u16(at + 2)) << 16);
    };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return false;
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::uint32_t size = u32(at + 4);
        const std::size_t body = at + 8;
        const std::size_t end = std::min<std::size_t>(bytes.size(), body + size);
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && end - body >= 16) {
            if (u16(body) != 1)
                return false;
            wav->channels = u16(body + 2);
            wav->sampleRate = static_cast<int>(u32(body + 4));
            wav->bitsPerSample = u16(body + 14);
            haveFormat = true;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            if (!haveFormat || wav->bitsPerSample != 16)
                return false;
            wav->samples.resize((end - body) / 2);
            std::memcpy(wav->samples.data(), bytes.data() + body, wav->samples.size() * 2);
            return true;
        }
        at = body + size + (size & 1);
    }
    return false;
}

inline std::vector<std::int16_t> phraseSamples()
{
    Wav wav;
    if (!readWav(phrasePath(), &wav) || wav.sampleRate != 8000 || wav.channels != 1)
        return {};
    return wav.samples;
}

// The phrase cut into 480-sample blocks, the last one padded with silence.
inline std::vector<std::vector<std::int16_t>> blocksOf(const std::vector<std::int16_t>& samples)
{
    std::vector<std::vector<std::int16_t>> blocks;
    for (std::size_t at = 0; at < samples.size(); at += BlockSamples) {
        std::vector<std::int16_t> block(BlockSamples, 0);
        std::copy_n(samples.begin() + at, std::min<std::size_t>(BlockSamples, samples.size() - at),
                    block.begin());
        blocks.push_back(std::move(block));
    }
    return blocks;
}

// Normalised correlation of b against a, shifted by lag samples (b[i + lag] against a[i]).
inline double correlation(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b,
                          int lag)
{
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) + lag;
        if (j < 0 || j >= static_cast<std::ptrdiff_t>(b.size()))
            continue;
        ab += double(a[i]) * b[j];
        aa += double(a[i]) * a[i];
        bb += double(b[j]) * b[j];
    }
    return (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
}

inline double bestCorrelation(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b,
                              int maxLag, int* bestLag = nullptr)
{
    double best = -1;
    for (int lag = 0; lag <= maxLag; ++lag) {
        const double c = correlation(a, b, lag);
        if (c > best) {
            best = c;
            if (bestLag)
                *bestLag = lag;
        }
    }
    return best;
}

// Loudness per 10 ms (mean absolute sample), starting lag samples into s.
inline std::vector<std::int16_t> envelope(const std::vector<std::int16_t>& s, int lag = 0)
{
    std::vector<std::int16_t> out;
    for (std::size_t at = static_cast<std::size_t>(lag); at + 80 <= s.size(); at += 80) {
        long sum = 0;
        for (int k = 0; k < 80; ++k)
            sum += std::abs(s[at + k]);
        out.push_back(static_cast<std::int16_t>(sum / 80));
    }
    return out;
}

inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(3000))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace lumo::test
