// The player's work per 60 ms block: the playout step's decisions beside the decoder's cost
// (decoding a record, or concealing a lost one with frame erasure), on a clean stream and on a
// lossy one; and a whole hand-over through a VoicePlayer (Submit, wake-up of its thread, the
// step, decoding and output to a device that returns buffers at once).
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <random>
#include <vector>

#include "bench_audio.h"
#include "core/voice/playout.h"
#include "core/voice/voice_codec.h"
#include "voice/voice_player.h"

#include <sonic.h>

namespace {

using namespace lumo;

std::vector<VoiceRecord> records(int count)
{
    VoiceCodec codec;
    std::vector<VoiceRecord> out(count);
    std::array<std::int16_t, BlockSamples> pcm;
    for (int r = 0; r < count; ++r) {
        for (int i = 0; i < BlockSamples; ++i)
            pcm[i] = static_cast<std::int16_t>(((r * BlockSamples + i) * 97 % 4000) - 2000);
        codec.Encode(pcm.data(), BlockBytes, out[r].speech.data(), nullptr);
    }
    return out;
}

void BM_DecodeBlock(benchmark::State& state)
{
    auto stream = records(64);
    VoiceCodec codec;
    std::array<std::int16_t, BlockSamples> pcm{};
    std::size_t i = 0;
    for (auto _ : state) {
        codec.Decode(stream[i++ % stream.size()].speech.data(), CodedBlockSize, pcm.data(), nullptr);
        benchmark::DoNotOptimize(pcm);
    }
}

void BM_ConcealBlock(benchmark::State& state)
{
    auto stream = records(1);
    VoiceCodec codec;
    std::array<std::int16_t, BlockSamples> pcm{};
    codec.Decode(stream[0].speech.data(), CodedBlockSize, pcm.data(), nullptr);
    for (auto _ : state) {
        codec.Conceal(pcm.data(), FramesPerBlock);
        benchmark::DoNotOptimize(pcm);
    }
}

// What the player adds to a record when the step asks to time-scale it: the Sonic call on the
// decoded block (here 20 % faster, then 17 % slower, by turns), to set beside BM_DecodeBlock.
void BM_TimeScaleBlock(benchmark::State& state)
{
    auto stream = records(64);
    VoiceCodec codec;
    std::vector<std::array<std::int16_t, BlockSamples>> decoded(stream.size());
    for (std::size_t i = 0; i < stream.size(); ++i) codec.Decode(stream[i].speech.data(), CodedBlockSize, decoded[i].data(), nullptr);
    sonicStream scaler = sonicCreateStream(8000, 1);
    std::array<std::int16_t, 2400> out{};
    std::size_t i = 0;
    for (auto _ : state) {
        sonicSetSpeed(scaler, i % 2 ? 1.25f : 0.85f);
        sonicWriteShortToStream(scaler, decoded[i++ % decoded.size()].data(), BlockSamples);
        while (sonicReadShortFromStream(scaler, out.data(), int(out.size())) > 0) benchmark::DoNotOptimize(out);
    }
    sonicDestroyStream(scaler);
}

// The step alone for one block: the record's arrival, then the pulls a sound card makes in
// 60 ms (every 10 ms, while 20 ms or less is queued), on a simulated clock.
struct SimulatedCard {
    PlayoutStep step;
    std::int64_t now = 0;
    std::int64_t queuedMs = 0;
    int pulls = 0;

    void block(const VoiceRecord* arriving)
    {
        if (arriving) step.push(*arriving, now);
        for (int tick = 0; tick < 6; ++tick) {
            while (queuedMs <= PlayoutStep::LeadMs) {
                const PlayoutStep::Chunk c = step.pull(now, int(queuedMs));
                ++pulls;
                if (c.kind == PlayoutStep::Kind::Nothing || c.kind == PlayoutStep::Kind::Wait) break;
                queuedMs += c.frames * PlayoutStep::FrameMs;
            }
            now += 10;
            queuedMs = queuedMs > 10 ? queuedMs - 10 : 0;
        }
    }
};

void BM_PlayoutStep_InOrder(benchmark::State& state)
{
    SimulatedCard card;
    VoiceRecord r;
    r.sequence = 100;
    for (auto _ : state) {
        card.block(&r);
        ++r.sequence;
    }
    state.counters["pulls/block"] = double(card.pulls) / double(state.iterations());
}

// 10 % lost, one in ten swapped with its successor.
void BM_PlayoutStep_Lossy(benchmark::State& state)
{
    SimulatedCard card;
    std::mt19937 random(5);
    VoiceRecord r, held;
    bool holding = false;
    r.sequence = 100;
    for (auto _ : state) {
        const bool lost = random() % 10 == 0;
        if (holding) {
            card.block(lost ? nullptr : &r);
            card.step.push(held, card.now);
            holding = false;
        } else if (!lost && random() % 10 == 0) {
            held = r;
            holding = true;
            card.block(nullptr);
        } else {
            card.block(lost ? nullptr : &r);
        }
        ++r.sequence;
    }
    state.counters["concealed"] = double(card.step.counters().concealed);
    state.counters["late"] = double(card.step.counters().late);
}

class InstantAudio final : public AudioSystem {
public:
    int QueryInput(const AudioFormat&) override { return AudioNoDevice; }
    int OpenInput(const AudioFormat&, NotifyTarget, std::unique_ptr<AudioDevice>*) override
    {
        return AudioNoDevice;
    }
    int QueryOutput(const AudioFormat&) override { return AudioOk; }
    int OpenOutput(const AudioFormat&, int, NotifyTarget notify, std::unique_ptr<AudioDevice>* device) override
    {
        *device = std::make_unique<bench::InstantOutput>(std::move(notify));
        return AudioOk;
    }
};

void BM_PlayerHandOver(benchmark::State& state)
{
    auto stream = records(64);
    InstantAudio audio;
    VoicePlayer player(audio, 1);
    if (!player.StartAll()) {
        state.SkipWithError("player did not start");
        return;
    }
    std::uint32_t sequence = 100;
    for (auto _ : state) {
        VoiceRecord r = stream[sequence % stream.size()];
        r.sequence = sequence++;
        const std::uint64_t passes = player.passCount();
        player.Submit(r, false);
        while (player.passCount() == passes) {
        }
    }
}

BENCHMARK(BM_DecodeBlock);
BENCHMARK(BM_ConcealBlock);
BENCHMARK(BM_TimeScaleBlock);
BENCHMARK(BM_PlayoutStep_InOrder);
BENCHMARK(BM_PlayoutStep_Lossy);
BENCHMARK(BM_PlayerHandOver)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
