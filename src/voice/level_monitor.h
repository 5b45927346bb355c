// The sound dialog's own look at the microphone while the player is not talking: a recorder
// that cleans each block as the capture would (the audio system's choice) and measures it on the
// silence gate's scale, sending nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "core/voice/sound_choices.h"
#include "core/voice/voice_codec.h"
#include "voice/far_end_reference.h"
#include "voice/voice_processor.h"
#include "voice/wave_recorder.h"

namespace lumo {

class LevelMonitor final : public WaveRecorder {
public:
    explicit LevelMonitor(AudioSystem& audio) : WaveRecorder(audio), farEnd_(audio.farEnd()) {}
    ~LevelMonitor() override { shutdown(); }

    int lastLevel() const { return level_.load(); }
    std::uint64_t blocksSeen() const { return blocks_.load(); }
    bool deviceLost() const { return lost_.load(); }

    void OnBlock(const std::uint8_t* data, int length) override
    {
        if (data && length == BlockBytes) {
            std::array<std::int16_t, BlockSamples> samples, farEnd;
            std::memcpy(samples.data(), data, BlockBytes);
            farEnd_.read(farEnd.data(), BlockSamples);
            processor_.process(samples.data(), farEnd.data(), audio().voiceProcessing());
            level_.store(gateLevel(reinterpret_cast<const std::uint8_t*>(samples.data()), BlockBytes));
        } else {
            level_.store(gateLevel(data, length));
        }
        blocks_.fetch_add(1);
    }
    void OnDeviceLost() override { lost_.store(true); }

private:
    std::atomic<int> level_{0};
    std::atomic<std::uint64_t> blocks_{0};
    std::atomic<bool> lost_{false};
    FarEndReference::Reader farEnd_;
    VoiceProcessor processor_;
};

}  // namespace lumo
