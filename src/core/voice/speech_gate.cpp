#include "core/voice/speech_gate.h"

#include <algorithm>

namespace lumo {

SpeechGate::SpeechGate(Timing timing)
    : timing_{std::clamp(timing.lookBackBlocks, 0, MaxLookBackBlocks), std::max(timing.hangOverBlocks, 0)}
{
}

int SpeechGate::next(int level, bool voice, int quietLimit, bool askVoice)
{
    if (quietLimit < 0) {
        // Everything goes; when the gate comes back, it starts closed with nothing held.
        reset();
        return 1;
    }
    const bool loud = level > quietLimit && (!askVoice || voice);
    if (loud) {
        const int send = open_ ? 1 : held_ + 1;
        open_ = true;
        held_ = 0;
        hangLeft_ = timing_.hangOverBlocks;
        return send;
    }
    if (open_ && hangLeft_ > 0) {
        --hangLeft_;
        return 1;
    }
    open_ = false;
    held_ = std::min(held_ + 1, timing_.lookBackBlocks);
    return 0;
}

void SpeechGate::reset()
{
    open_ = false;
    held_ = 0;
    hangLeft_ = 0;
}

}  // namespace lumo
