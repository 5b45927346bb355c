// The voice receive side: records of one remote member, in whatever order, numbering and timing
// the input gives. First the playout step alone on a simulated sound card, checking its own
// promises (records played in strictly rising order and never twice unless the talker
// restarted, chunks within their sizes, memory bounded); then the same records through a
// VoicePlayer on a fake output device, checking the buffers it writes and its bound on
// outstanding output. The player's clock is the input's; nothing waits on real time.
//
// Each record: a control byte (bit 0: gain boost; bit 1: a raw 32-bit sequence number follows,
// otherwise the next byte is a signed step from the previous number; bit 2: the device first
// returns its oldest buffer; bit 3: it returns all of them; bits 4-7: 10 ms ticks that pass
// before the record arrives), then up to 60 bytes of speech.
#include "fuzz_support.h"

#include "voice/audio_device.h"
#include "core/voice/playout.h"
#include "voice/voice_player.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using namespace lumo;

namespace {

class FakeOutput final : public AudioDevice {
public:
    explicit FakeOutput(NotifyTarget notify) : held(std::move(notify), AudioEvent::OutputDone) {}
    ~FakeOutput() override { FUZZ_CHECK(held.size() == 0); }  // the player returned every buffer first

    int Queue(AudioBuffer* buffer) override
    {
        FUZZ_CHECK(buffer && !buffer->samples.empty() &&
                   buffer->samples.size() <= std::size_t(VoicePlayer::BufferSamples));
        return held.add(buffer);
    }
    int Start() override { return AudioOk; }
    int Reset() override
    {
        held.completeAll();
        return AudioOk;
    }
    int Close() override { return held.size() ? int(AudioStillBusy) : int(AudioOk); }

    HeldBuffers held;
};

class FakeAudio final : public AudioSystem {
public:
    int QueryInput(const AudioFormat&) override { return AudioNoDevice; }
    int OpenInput(const AudioFormat&, NotifyTarget, std::unique_ptr<AudioDevice>*) override { return AudioNoDevice; }
    int QueryOutput(const AudioFormat&) override { return AudioOk; }
    int OpenOutput(const AudioFormat&, int, NotifyTarget notify, std::unique_ptr<AudioDevice>* device) override
    {
        auto opened = std::make_unique<FakeOutput>(std::move(notify));
        output = opened.get();
        *device = std::move(opened);
        return AudioOk;
    }
    FakeOutput* output = nullptr;  // owned by the player
};

struct Arrival {
    VoiceRecord record;
    std::uint8_t control = 0;
};

std::vector<Arrival> readArrivals(fuzz::Input& input)
{
    std::vector<Arrival> out;
    VoiceRecord record;
    while (!input.empty() && out.size() < 2000) {
        const std::uint8_t control = input.byte();
        if (control & 2)
            record.sequence = input.u32();
        else
            record.sequence += static_cast<std::uint32_t>(static_cast<std::int8_t>(input.byte()));
        const ByteView speech = input.take(VoiceSpeechSize);
        record.speech.fill(0);
        std::copy(speech.begin(), speech.end(), record.speech.begin());
        out.push_back({record, control});
    }
    return out;
}

// The step on a card that plays 10 ms per tick and asks for more at 20 ms or less.
class Card {
public:
    void tick()
    {
        pump();
        now += 10;
        queuedMs = std::max<std::int64_t>(0, queuedMs - 10);
    }
    void pump()
    {
        for (int guard = 0; queuedMs <= PlayoutStep::LeadMs; ++guard) {
            FUZZ_CHECK(guard < 100);
            const PlayoutStep::Chunk c = step.pull(now, int(queuedMs));
            if (c.kind == PlayoutStep::Kind::Nothing || c.kind == PlayoutStep::Kind::Wait) return;
            switch (c.kind) {
            case PlayoutStep::Kind::Record: {
                FUZZ_CHECK(c.frames == PlayoutStep::FramesPerBlock);
                const std::uint64_t restarts = step.counters().restarts;
                // Strictly rising: in order and never twice, within one numbering of the talker.
                if (lastPlayed && restarts == restartsAtLast)
                    FUZZ_CHECK(static_cast<std::int32_t>(c.record.sequence - *lastPlayed) > 0);
                lastPlayed = c.record.sequence;
                restartsAtLast = restarts;
                break;
            }
            case PlayoutStep::Kind::Conceal:
                FUZZ_CHECK(c.frames >= 1 && c.frames <= PlayoutStep::FramesPerBlock);
                break;
            case PlayoutStep::Kind::Silence:
                FUZZ_CHECK(c.frames >= 1 && c.frames <= PlayoutStep::MaxPrerollFrames);
                break;
            default:
                break;
            }
            queuedMs += c.frames * PlayoutStep::FrameMs;
        }
    }

    PlayoutStep step;
    std::int64_t now = 0;
    std::int64_t queuedMs = 0;
    std::optional<std::uint32_t> lastPlayed;
    std::uint64_t restartsAtLast = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::vector<Arrival> arrivals = readArrivals(input);

    Card card;
    std::uint64_t stored = 0;
    for (const Arrival& a : arrivals) {
        for (int t = 0; t < (a.control >> 4); ++t) card.tick();
        const PlayoutStep::Received r = card.step.push(a.record, card.now);
        if (r == PlayoutStep::Received::Stored || r == PlayoutStep::Received::FarAhead) ++stored;
        card.pump();
    }
    for (int t = 0; t < 200; ++t) card.tick();  // play out
    const PlayoutStep::Counters& c = card.step.counters();
    FUZZ_CHECK(c.played <= stored);
    FUZZ_CHECK(!card.step.active());  // a stream that stops always ends its spurt

    FakeAudio audio;
    auto now = std::make_shared<std::atomic<std::int64_t>>(0);
    {
        VoicePlayer player(audio, 3);
        player.setClock([now] { return now->load() * 1000; });  // in microseconds
        FUZZ_CHECK(player.StartAll() && audio.output);
        FakeOutput& device = *audio.output;
        for (const Arrival& a : arrivals) {
            now->fetch_add(10 * (a.control >> 4));
            if (a.control & 4) device.held.completeFront();
            if (a.control & 8) device.held.completeAll();
            const std::uint64_t passes = player.passCount();
            FUZZ_CHECK(player.Submit(a.record, a.control & 1));
            while (player.passCount() == passes) std::this_thread::yield();
            FUZZ_CHECK(player.queuedSamples() <= VoicePlayer::MaxQueuedSamples);
        }
    }
    return 0;
}
