// One player pass: the reorder step, decoding and output of a record. Measured twice: the
// pass's work alone (reorder step plus decoding, in order and with a swapped pair), and a
// whole hand-over through a VoicePlayer (Submit, wake-up of its thread, pass, write to a device
// that returns buffers at once).
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <vector>

#include "voice/reorder_store.h"
#include "voice/voice_codec.h"
#include "voice/voice_player.h"

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

// Carries out a plan as the player thread does, without a device.
int runPass(ReorderStore& store, VoiceCodec& codec, std::array<std::int16_t, 960>& pcm,
            const VoiceRecord& record, bool gain)
{
    const auto plan = store.Step(record);
    for (int i = 0; i < plan.decodeCount; ++i)
        codec.Decode(plan.decodes[i].record.speech.data(), CodedBlockSize,
                     pcm.data() + static_cast<int>(plan.decodes[i].half) * BlockSamples, nullptr);
    if (gain)
        doubleWithoutSaturation(pcm.data(), plan.playBytes / 2);
    return plan.playBytes;
}

void BM_PassWork_InOrder(benchmark::State& state)
{
    auto stream = records(64);
    ReorderStore store;
    VoiceCodec codec;
    std::array<std::int16_t, 960> pcm{};
    std::uint32_t sequence = 100;
    for (auto _ : state) {
        VoiceRecord r = stream[sequence % stream.size()];
        r.sequence = sequence++;
        benchmark::DoNotOptimize(runPass(store, codec, pcm, r, true));
    }
    state.counters["blocks/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Pairs arrive swapped: every other pass stores a record and the next decodes two.
void BM_PassWork_SwappedPairs(benchmark::State& state)
{
    auto stream = records(64);
    ReorderStore store;
    VoiceCodec codec;
    std::array<std::int16_t, 960> pcm{};
    std::uint32_t base = 100;
    store.setLast(base - 1);
    bool second = false;
    for (auto _ : state) {
        const std::uint32_t sequence = second ? base : base + 1;
        VoiceRecord r = stream[sequence % stream.size()];
        r.sequence = sequence;
        benchmark::DoNotOptimize(runPass(store, codec, pcm, r, false));
        if (second)
            base += 2;
        second = !second;
    }
}

class InstantDevice final : public AudioDevice {
public:
    explicit InstantDevice(NotifyTarget notify) : held_(std::move(notify), AudioEvent::OutputDone) {}
    int Queue(AudioBuffer* buffer) override
    {
        const int result = held_.add(buffer);
        held_.completeAll();
        return result;
    }
    int Start() override { return AudioOk; }
    int Reset() override
    {
        held_.completeAll();
        return AudioOk;
    }
    int Close() override { return AudioOk; }

private:
    HeldBuffers held_;
};

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
        *device = std::make_unique<InstantDevice>(std::move(notify));
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

BENCHMARK(BM_PassWork_InOrder);
BENCHMARK(BM_PassWork_SwappedPairs);
BENCHMARK(BM_PlayerHandOver)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
