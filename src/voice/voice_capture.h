// The microphone side of voice: drops quiet blocks, numbers and encodes the others into
// VoiceRecords and hands each finished record to the block sink, all on the capture thread.
// One VoiceCapture lives as long as the main window; its sequence counter is never reset, so
// numbers continue across any number of stops and starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "core/wire/wire.h"
#include "core/voice/sound_choices.h"
#include "core/voice/voice_codec.h"
#include "voice/wave_recorder.h"

namespace lumo {

class VoiceCapture : public WaveRecorder {
public:
    using BlockSink = std::function<void(const VoiceRecord&)>;
    using LostSink = std::function<void()>;

    explicit VoiceCapture(AudioSystem& audio);
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
    // The gate level of the latest block captured (talking or not), and how many were seen.
    int lastLevel() const { return lastLevel_.load(); }
    std::uint64_t blocksSeen() const { return blocksSeen_.load(); }

    // Talking on or off; read by the capture thread without a lock.
    void setEnabled(bool enabled) { enabled_.store(enabled); }
    bool enabled() const { return enabled_.load(); }

    // The last sequence number used (0 before the first record).
    std::uint32_t sequence() const;

    // Decodes one record with this object's own decoder state, on the caller's thread (the
    // first record of a newly heard member). The encoder state is separate, so this does not
    // disturb capture running at the same time. pcm receives 480 samples.
    bool DecodeRecord(const VoiceRecord& record, std::int16_t* pcm, int* outLength);

    // Drops the block when talking is off or the block is quiet; otherwise numbers it, encodes
    // it and hands the record to the sink. A block that cannot be encoded (not 960 bytes) is
    // dropped too and takes no number.
    void OnBlock(const std::uint8_t* data, int length) override;
    void OnDeviceLost() override;

private:
    std::atomic<bool> enabled_{false};
    std::atomic<int> quietLimit_{DefaultQuietLimit};
    std::atomic<int> lastLevel_{0};
    std::atomic<std::uint64_t> blocksSeen_{0};
    std::mutex lostLock_;
    LostSink lost_;
    mutable std::mutex lock_;  // numbering and encoding
    std::uint32_t sequence_ = 0;
    VoiceCodec codec_;
    std::mutex sinkLock_;
    BlockSink sink_;
};

}  // namespace lumo
