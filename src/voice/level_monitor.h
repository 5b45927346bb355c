// The sound dialog's own look at the microphone while the player is not talking: a recorder
// that only measures each block on the silence gate's scale and sends nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/voice/sound_choices.h"
#include "voice/wave_recorder.h"

namespace lumo {

class LevelMonitor final : public WaveRecorder {
public:
    explicit LevelMonitor(AudioSystem& audio) : WaveRecorder(audio) {}
    ~LevelMonitor() override { shutdown(); }

    int lastLevel() const { return level_.load(); }
    std::uint64_t blocksSeen() const { return blocks_.load(); }
    bool deviceLost() const { return lost_.load(); }

    void OnBlock(const std::uint8_t* data, int length) override
    {
        level_.store(gateLevel(data, length));
        blocks_.fetch_add(1);
    }
    void OnDeviceLost() override { lost_.store(true); }

private:
    std::atomic<int> level_{0};
    std::atomic<std::uint64_t> blocks_{0};
    std::atomic<bool> lost_{false};
};

}  // namespace lumo
