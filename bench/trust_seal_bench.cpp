// The cost of sealing voice between two LUMO peers, beside what the voice already costs: one
// 60 ms block G.729-encoded (VoiceCodec, the floor measured in the same run), then its 68-byte
// datagram sealed by the sender and opened by the receiver. Prints sealing and opening as a
// share of encoding; the goal is under 5 %.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "core/trust/handshake.h"
#include "core/voice/voice_codec.h"

namespace {

using namespace lumo;

std::array<std::int16_t, BlockSamples> voicedBlock()
{
    std::array<std::int16_t, BlockSamples> samples{};
    double phase = 0;
    for (int i = 0; i < BlockSamples; ++i) {
        phase += 2 * M_PI * 140 / 8000.0;
        double v = 0;
        for (int h = 1; h <= 8; ++h)
            v += std::sin(h * phase) / h;
        samples[std::size_t(i)] = static_cast<std::int16_t>(5000 * v);
    }
    return samples;
}

KeySeed seedOf(std::uint8_t value)
{
    KeySeed seed;
    seed.fill(value);
    return seed;
}

// Two peers after their handshake.
struct SealedPair {
    PeerTrust ann{Identity::fromSeed(seedOf(1)), seedOf(11), 1, 0, 0};
    PeerTrust bob{Identity::fromSeed(seedOf(2)), seedOf(12), 0, 1, 0};
    SealedPair()
    {
        const auto answers = bob.acceptHello(*readHello(ann.hello()));
        for (const Bytes& b : answers.sends) {
            if (const auto hello = readHello(b)) {
                for (const Bytes& proof : ann.acceptHello(*hello).sends) bob.receiveProof(proof);
            } else {
                ann.receiveProof(b);
            }
        }
        if (ann.state() != TrustState::Sealed || bob.state() != TrustState::Sealed) std::abort();
    }
};

Bytes voiceDatagram(std::uint32_t sequence)
{
    VoiceRecord record;
    record.sequence = sequence;
    record.speech.fill(0x5A);
    return makeVoiceDatagram(cmd::VoiceGroup, 1, 0, record);
}

void BM_EncodeBlock(benchmark::State& state)
{
    const auto samples = voicedBlock();
    VoiceCodec codec;
    std::array<std::uint8_t, CodedBlockSize> out;
    for (auto _ : state) {
        codec.Encode(samples.data(), BlockBytes, out.data(), nullptr);
        benchmark::DoNotOptimize(out);
    }
}

void BM_SealVoiceDatagram(benchmark::State& state)
{
    SealedPair pair;
    const Bytes plain = voiceDatagram(1);
    for (auto _ : state) {
        auto sealed = pair.ann.seal(plain);
        benchmark::DoNotOptimize(sealed);
    }
}

void BM_OpenVoiceDatagram(benchmark::State& state)
{
    SealedPair pair;
    // Fresh records each time (a replay is refused before its cost would count the same).
    std::vector<Bytes> sealed;
    for (std::uint32_t i = 1; i <= 4096; ++i) sealed.push_back(*pair.ann.seal(voiceDatagram(i)));
    std::size_t next = 0;
    Bytes opened;
    for (auto _ : state) {
        if (next == sealed.size()) {
            state.PauseTiming();
            pair = SealedPair();
            sealed.clear();
            for (std::uint32_t i = 1; i <= 4096; ++i) sealed.push_back(*pair.ann.seal(voiceDatagram(i)));
            next = 0;
            state.ResumeTiming();
        }
        const auto step = pair.bob.openSealed(sealed[next++], opened);
        benchmark::DoNotOptimize(step);
    }
}

BENCHMARK(BM_EncodeBlock);
BENCHMARK(BM_SealVoiceDatagram);
BENCHMARK(BM_OpenVoiceDatagram);

class ShareReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ShareReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto encode = reporter.times.find("BM_EncodeBlock");
    if (encode == reporter.times.end() || encode->second <= 0) return 0;
    for (const char* name : {"BM_SealVoiceDatagram", "BM_OpenVoiceDatagram"}) {
        const auto it = reporter.times.find(name);
        if (it != reporter.times.end())
            std::printf("%s / encoding one 60 ms block = %.2f %% (goal: under 5 %%)\n", name + 3,
                        100.0 * it->second / encode->second);
    }
    return 0;
}
