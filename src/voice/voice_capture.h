// The microphone side of voice, all on the capture thread: cleans each block (echo, noise, gain:
// see VoiceProcessor, switched by the audio system's choice), gates it (see SpeechGate: held back
// while quiet, with the blocks just before a word and a moment after it kept), numbers and
// encodes the blocks that go into VoiceRecords and hands each finished record to the block sink.
// One VoiceCapture lives as long as the main window; its sequence counter is never reset, so
// numbers continue across any number of stops and starts.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "core/wire/wire.h"
#include "core/voice/sound_choices.h"
#include "core/voice/speech_gate.h"
#include "core/voice/voice_codec.h"
#include "voice/far_end_reference.h"
#include "voice/voice_processor.h"
#include "voice/wave_recorder.h"

namespace lumo {

class VoiceCapture : public WaveRecorder {
public:
    using BlockSink = std::function<void(const VoiceRecord&)>;
    using LostSink = std::function<void()>;

    // The voice detector hears 10 ms frames: a block counts as speech from this many on.
    static constexpr int VoicedFramesForSpeech = 2;

    // The gate's look-back and hang-over are its defaults unless given (benches compare).
    explicit VoiceCapture(AudioSystem& audio, SpeechGate::Timing gateTiming = {});
    ~VoiceCapture() override;

    // Where finished records go; called on the capture thread. Setting it waits for a record
    // being handed over at that moment, so the old sink is not called afterwards.
    void setBlockSink(BlockSink sink);

    // Called on the capture thread when the input device stops working while capture runs.
    // Setting it waits for a call under way, so the old one is not called afterwards.
    void setLostSink(LostSink sink);

    // The silence gate's limit (DefaultQuietLimit; negative: every block is sent).
    void setQuietLimit(int limit) { quietLimit_.store(limit); }
    int quietLimit() const { return quietLimit_.load(); }
    // The gate level of the latest block captured (talking or not), after cleaning, and how many
    // were seen.
    int lastLevel() const { return lastLevel_.load(); }
    std::uint64_t blocksSeen() const { return blocksSeen_.load(); }

    // Talking on or off; read by the capture thread without a lock. Blocks captured while it is
    // off are never sent later as look-back.
    void setEnabled(bool enabled) { enabled_.store(enabled); }
    bool enabled() const { return enabled_.load(); }

    // The last sequence number used (0 before the first record).
    std::uint32_t sequence() const { return sequence_.load(); }

    // Decodes one record with this object's own decoder state, on the caller's thread (the
    // first record of a newly heard member). The encoder state is separate, so this does not
    // disturb capture running at the same time. pcm receives 480 samples.
    bool DecodeRecord(const VoiceRecord& record, std::int16_t* pcm, int* outLength);

    // Cleans the block and measures it; when talking is on, the gate decides what goes: each
    // block sent is numbered, encoded and handed to the sink, oldest first. A block of another
    // length than 960 bytes is only measured: it takes no number and is never sent.
    void OnBlock(const std::uint8_t* data, int length) override;
    void OnDeviceLost() override;

private:
    using Block = std::array<std::int16_t, BlockSamples>;
    void send(const Block& samples);

    std::atomic<bool> enabled_{false};
    std::atomic<int> quietLimit_{DefaultQuietLimit};
    std::atomic<int> lastLevel_{0};
    std::atomic<std::uint64_t> blocksSeen_{0};
    std::mutex lostLock_;
    LostSink lost_;
    std::atomic<std::uint32_t> sequence_{0};  // written by the capture thread only
    VoiceCodec codec_;  // encodes on the capture thread, decodes on the caller's (separate states)
    std::mutex sinkLock_;
    BlockSink sink_;

    // The capture thread's own.
    FarEndReference::Reader farEnd_;
    VoiceProcessor processor_;
    SpeechGate gate_;
    std::array<Block, SpeechGate::MaxLookBackBlocks> recent_{};  // the latest blocks, for look-back
    int recentNext_ = 0;
};

}  // namespace lumo
