// The capture side's gate, which keeps words whole. A 60 ms block is worth sending when it is
// loud enough (the silence gate's level above the player's threshold) and, when the player asks
// for it, when the voice detector also hears speech in it. Words begin softer than their loudest
// part, so when the gate opens the blocks held back just before go out first (look-back; the
// listener's playout absorbs the short burst). Words also end softly, and a short pause inside a
// word or between two must not cut it, so the gate stays open for a while after the level falls
// (hang-over).
#pragma once

namespace lumo {

class SpeechGate {
public:
    // The most blocks a capture keeps for the look-back.
    static constexpr int MaxLookBackBlocks = 4;

    struct Timing {
        int lookBackBlocks = 2;  // 120 ms before the first loud block
        int hangOverBlocks = 4;  // 240 ms after the last one
    };

    SpeechGate() = default;
    // Look-back is kept within 0..MaxLookBackBlocks, hang-over at 0 or more.
    explicit SpeechGate(Timing timing);

    // Decides about the block just captured: how many blocks to send now, the oldest first, the
    // last of them being this block. 0: hold it back. More than 1: the gate opens, and the blocks
    // held back just before this one (never more than were held since the gate last closed or
    // was reset) go out first. A negative quietLimit turns the gate off: every block goes, alone.
    // `voice` counts only when `askVoice` is set.
    int next(int level, bool voice, int quietLimit, bool askVoice);

    // Talking starts again: nothing is held back and the gate is closed, so that nothing captured
    // before counts as look-back.
    void reset();

    bool open() const { return open_; }
    const Timing& timing() const { return timing_; }

private:
    Timing timing_;
    bool open_ = false;
    int held_ = 0;      // blocks held back since the gate closed, up to the look-back
    int hangLeft_ = 0;  // quiet blocks still sent before the gate closes
};

}  // namespace lumo
