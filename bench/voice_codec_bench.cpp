// Encoding and decoding one 60 ms block: VoiceCodec against the same six bcg729 calls made
// directly, on the same samples in the same run. The framing's overhead is printed as a ratio.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

#include "core/voice/voice_codec.h"

namespace {

using namespace lumo;

// 32 blocks of a voiced, vowel-like signal with a slowly moving pitch.
const std::vector<std::array<std::int16_t, BlockSamples>>& blocks()
{
    static const auto samples = [] {
        std::vector<std::array<std::int16_t, BlockSamples>> out(32);
        double phase = 0;
        for (std::size_t b = 0; b < out.size(); ++b) {
            for (int i = 0; i < BlockSamples; ++i) {
                const double pitch = 120 + 40 * std::sin(double(b * BlockSamples + i) / 4000.0);
                phase += 2 * M_PI * pitch / 8000.0;
                double v = 0;
                for (int h = 1; h <= 8; ++h)
                    v += std::sin(h * phase) / h;
                out[b][i] = static_cast<std::int16_t>(5000 * v);
            }
        }
        return out;
    }();
    return samples;
}

std::vector<std::array<std::uint8_t, CodedBlockSize>> codedBlocks()
{
    VoiceCodec codec;
    std::vector<std::array<std::uint8_t, CodedBlockSize>> coded(blocks().size());
    for (std::size_t b = 0; b < coded.size(); ++b)
        codec.Encode(blocks()[b].data(), BlockBytes, coded[b].data(), nullptr);
    return coded;
}

void BM_EncodeBlock_VoiceCodec(benchmark::State& state)
{
    VoiceCodec codec;
    std::array<std::uint8_t, CodedBlockSize> out;
    std::size_t b = 0;
    for (auto _ : state) {
        codec.Encode(blocks()[b].data(), BlockBytes, out.data(), nullptr);
        benchmark::DoNotOptimize(out);
        b = (b + 1) % blocks().size();
    }
}

void BM_EncodeBlock_RawBcg729(benchmark::State& state)
{
    auto* encoder = initBcg729EncoderChannel(0);
    std::array<std::uint8_t, CodedBlockSize> out;
    std::size_t b = 0;
    for (auto _ : state) {
        for (int k = 0; k < FramesPerBlock; ++k) {
            std::uint8_t length = 0;
            bcg729Encoder(encoder, blocks()[b].data() + k * SamplesPerFrame, out.data() + k * CodedFrameSize,
                          &length);
        }
        benchmark::DoNotOptimize(out);
        b = (b + 1) % blocks().size();
    }
    closeBcg729EncoderChannel(encoder);
}

void BM_DecodeBlock_VoiceCodec(benchmark::State& state)
{
    const auto coded = codedBlocks();
    VoiceCodec codec;
    std::array<std::int16_t, BlockSamples> out;
    std::size_t b = 0;
    for (auto _ : state) {
        codec.Decode(coded[b].data(), CodedBlockSize, out.data(), nullptr);
        benchmark::DoNotOptimize(out);
        b = (b + 1) % coded.size();
    }
}

void BM_DecodeBlock_RawBcg729(benchmark::State& state)
{
    const auto coded = codedBlocks();
    auto* decoder = initBcg729DecoderChannel();
    std::array<std::int16_t, BlockSamples> out;
    std::size_t b = 0;
    for (auto _ : state) {
        for (int k = 0; k < FramesPerBlock; ++k)
            bcg729Decoder(decoder, coded[b].data() + k * CodedFrameSize, CodedFrameSize, 0, 0, 0,
                          out.data() + k * SamplesPerFrame);
        benchmark::DoNotOptimize(out);
        b = (b + 1) % coded.size();
    }
    closeBcg729DecoderChannel(decoder);
}

BENCHMARK(BM_EncodeBlock_VoiceCodec);
BENCHMARK(BM_EncodeBlock_RawBcg729);
BENCHMARK(BM_DecodeBlock_VoiceCodec);
BENCHMARK(BM_DecodeBlock_RawBcg729);

// Prints as usual and keeps each benchmark's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const char* op : {"Encode", "Decode"}) {
        const auto framed = reporter.times.find(std::string("BM_") + op + "Block_VoiceCodec");
        const auto raw = reporter.times.find(std::string("BM_") + op + "Block_RawBcg729");
        if (framed != reporter.times.end() && raw != reporter.times.end() && raw->second > 0)
            std::printf("%s: VoiceCodec / raw bcg729 = %.3f (per 60 ms block)\n", op,
                        framed->second / raw->second);
    }
    return 0;
}
