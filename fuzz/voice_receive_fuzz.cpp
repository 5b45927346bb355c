// The voice receive side: records of one remote member, in whatever order and numbering the
// input gives, handed to a VoicePlayer on a fake output device, one pass at a time, as the
// socket hands them over. A reorder store beside it takes the same records, so each pass's plan
// is known: the checks are the plan's own rules and that the device gets exactly the blocks the
// plan plays while no more than 10 buffers are outstanding. The device returns buffers only when
// the input says so; nothing waits on real time.
//
// Each record: a control byte (bit 0: gain boost; bit 1: a raw 32-bit sequence number follows,
// otherwise the next byte is a signed step from the previous number; bit 2: the device first
// returns its oldest buffer; bit 3: it returns all of them), then up to 60 bytes of speech.
#include "fuzz_support.h"

#include "voice/audio_device.h"
#include "voice/reorder_store.h"
#include "voice/voice_player.h"

#include <thread>

using namespace lumo;

namespace {

class FakeOutput final : public AudioDevice {
public:
    explicit FakeOutput(NotifyTarget notify) : held(std::move(notify), AudioEvent::OutputDone) {}
    ~FakeOutput() override { FUZZ_CHECK(held.size() == 0); }  // the player returned every buffer first

    int Queue(AudioBuffer* buffer) override
    {
        FUZZ_CHECK(buffer && (buffer->samples.size() == 480 || buffer->samples.size() == 960));
        ++queued;
        lastSamples = buffer->samples.size();
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
    int queued = 0;  // buffers the player handed over, in all
    std::size_t lastSamples = 0;
};

class FakeAudio final : public AudioSystem {
public:
    int QueryInput(const AudioFormat&) override { return AudioNoDevice; }
    int OpenInput(const AudioFormat&, NotifyTarget, std::unique_ptr<AudioDevice>*) override { return AudioNoDevice; }
    int QueryOutput(const AudioFormat&) override { return AudioOk; }
    int OpenOutput(const AudioFormat&, int, NotifyTarget notify, std::unique_ptr<AudioDevice>* device) override
    {
        auto output = std::make_unique<FakeOutput>(std::move(notify));
        this->output = output.get();
        *device = std::move(output);
        return AudioOk;
    }
    FakeOutput* output = nullptr;  // owned by the player
};

void checkPlan(const ReorderStore::Plan& plan, std::uint32_t lastBefore, std::uint32_t lastAfter,
               const VoiceRecord& record)
{
    FUZZ_CHECK(plan.decodeCount >= 0 && plan.decodeCount <= 2);
    FUZZ_CHECK(plan.playBytes == 0 || plan.playBytes == 960 || plan.playBytes == 1920);
    // Something is played exactly when the stream moved on: by one or two records, or by a jump
    // to the record just received.
    FUZZ_CHECK((plan.playBytes > 0) == (lastAfter != lastBefore));
    FUZZ_CHECK((plan.decodeCount > 0) == (plan.playBytes > 0));
    const std::uint32_t step = lastAfter - lastBefore;
    FUZZ_CHECK(step <= 2 || lastAfter == record.sequence);
    if (plan.decodeCount == 2)
        FUZZ_CHECK(plan.decodes[0].half == ReorderStore::Half::A && plan.decodes[1].half == ReorderStore::Half::B);
    if (plan.playBytes == 1920) FUZZ_CHECK(plan.decodes[plan.decodeCount - 1].half == ReorderStore::Half::B);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    FakeAudio audio;
    VoicePlayer player(audio, 3);
    FUZZ_CHECK(player.StartAll() && audio.output);
    FakeOutput& device = *audio.output;
    ReorderStore model;

    VoiceRecord record;
    while (!input.empty()) {
        const std::uint8_t control = input.byte();
        const bool gain = control & 1;
        if (control & 2)
            record.sequence = input.u32();
        else
            record.sequence += static_cast<std::uint32_t>(static_cast<std::int8_t>(input.byte()));
        const ByteView speech = input.take(VoiceSpeechSize);
        record.speech.fill(0);
        std::copy(speech.begin(), speech.end(), record.speech.begin());
        if (control & 4) device.held.completeFront();
        if (control & 8) device.held.completeAll();

        // The buffers returned above reach the player's queue before this record does.
        const std::size_t outstanding = device.held.size();
        const std::uint32_t lastBefore = model.last();
        const ReorderStore::Plan plan = model.Step(record);
        checkPlan(plan, lastBefore, model.last(), record);

        const std::uint64_t passes = player.passCount();
        const int queuedBefore = device.queued;
        FUZZ_CHECK(player.Submit(record, gain));
        while (player.passCount() == passes) std::this_thread::yield();

        // Played when there is something to play and the device is not too far behind.
        const bool plays = plan.playBytes > 0 && outstanding <= VoicePlayer::MaxQueued;
        FUZZ_CHECK(device.queued == queuedBefore + (plays ? 1 : 0));
        if (plays) FUZZ_CHECK(device.lastSamples == static_cast<std::size_t>(plan.playBytes / 2));
        FUZZ_CHECK(player.queued() <= VoicePlayer::MaxQueued + 1);
    }
    return 0;
}
