// Turns what the playout step decides into samples for one member's sound card: a record decoded
// (time-scaled with Sonic, pitch kept, when the step asks for it), the decoder's erasure output
// for a record that is not there (fading after a block, never below the talker's background
// level; from a copy of the decoder while nothing newer has come), or the silence before a spurt; then the member's volume and "增溢". No thread and no
// clock: the player calls it on its thread, and a bench can run it on simulated time.
//
// Records to time-scale go through one Sonic stream for as long as they follow one another, so
// that Sonic takes out or puts in pitch periods at the rate asked across block boundaries instead
// of starting afresh (and cutting its work short) at each block. While it scales, Sonic keeps
// back up to about two pitch periods of input (under 32 ms) for its next period search; the step
// is told how much sound that still is (scalerHeldSamples). The stream ends (what it holds goes
// out unscaled, in order) before anything played at normal speed: a record the step asks to play
// as it is, a concealment, silence, or the end of the spurt. A time-scaled block is
// not a whole number of 10 ms periods: the renderer hands out whole periods only and keeps the
// rest (under 10 ms) in front of the next chunk, so that every buffer the card gets is one period
// and the card never finds a buffer that ends part-way through a period. A block at normal speed
// never touches Sonic: a clean line plays exactly what the codec decodes. Every buffer is made in
// the constructor.
#pragma once

#include <array>
#include <cstdint>

#include "core/voice/playout.h"
#include "core/voice/voice_codec.h"

struct sonicStreamStruct;

namespace lumo {

class PlayoutRenderer {
public:
    // The longest chunk: a pre-roll of 30 frames, or a block slowed to half speed.
    static constexpr int MaxSamples = 2400;
    static constexpr int PeriodSamples = 80;  // what the card takes at a time

    PlayoutRenderer();
    ~PlayoutRenderer();
    PlayoutRenderer(const PlayoutRenderer&) = delete;
    PlayoutRenderer& operator=(const PlayoutRenderer&) = delete;

    // Renders `chunk` at the member's volume (per cent, doubled when `doubled`); returns how
    // many samples are at samples(), whole periods only (0 for Wait, and for Nothing unless a
    // kept part-period is let out, padded with silence, as the spurt ends). Valid until the
    // next call.
    int render(const PlayoutStep::Chunk& chunk, int volumePercent, bool doubled);
    // Ends a stretch of time-scaling early, for a card about to run dry while the next record is
    // not there yet: what Sonic holds goes out, in whole periods as render does (the rest kept).
    int release();
    const std::int16_t* samples() const { return out_.data(); }
    // Samples rendered but kept for the next call (less than one period): the card's level is
    // what it holds plus these.
    int heldSamples() const { return held_; }
    // About how many samples of sound the time-scaler still holds (at the speed it plays them):
    // they go out before whatever comes next, but are not ready for the card yet.
    int scalerHeldSamples() const { return int(scalerOwed_ + 0.5); }

    // Whether the last record rendered was quiet: the talker's background (its loudest 10 ms
    // hardly above the quietest of recent records) or near silence, as a gate's hang-over is.
    bool lastRecordQuiet() const { return lastQuiet_; }

    // Records that went through the time-scaler (for benches).
    std::uint64_t scaledRecords() const { return scaledRecords_; }

private:
    // Time-scales count samples at pcm_ (speed 1: plays them as they are, after what the
    // time-scaler still held), returning where the result is and its length.
    const std::int16_t* scale(int count, double speed, int* produced);
    // Ends a stretch of time-scaling: what Sonic holds is appended, unscaled, at scaled_ + at.
    int endScaling(int at);

    // A concealment while the awaited record may still come, from a second decoder brought to
    // where the first one is (it decodes the latest records again), so that the first decoder's
    // state stays untouched.
    void concealAside(int frames);

    VoiceCodec codec_;
    VoiceCodec aside_;
    static constexpr int AsideRecords = 2;  // enough for a G.729 decoder's memory (12 frames)
    std::array<std::array<std::uint8_t, CodedBlockSize>, AsideRecords> recent_{};
    int recentCount_ = 0;     // records decoded, up to AsideRecords, latest at recent_[0]
    bool asideInStep_ = false;
    sonicStreamStruct* scaler_ = nullptr;
    std::array<std::int16_t, MaxSamples> pcm_{};
    // What Sonic may hold back at most: two of its longest pitch periods (65 Hz at 8 kHz), and
    // room to spare.
    static constexpr int ScalerHoldSamples = 512;
    std::array<std::int16_t, MaxSamples + ScalerHoldSamples> scaled_{};
    std::array<std::int16_t, MaxSamples + ScalerHoldSamples + PeriodSamples> out_{};
    std::array<std::int16_t, PeriodSamples> carry_{};
    int held_ = 0;  // samples in carry_
    int levelPermille_ = 1000;  // where a fading concealment left the level
    BackgroundLevel background_;
    std::uint32_t noiseSeed_ = 1;
    std::uint64_t scaledRecords_ = 0;
    bool scaling_ = false;     // a stretch of time-scaled records is going on in Sonic
    double scalerOwed_ = 0;    // samples Sonic is expected to give for what it holds
    bool lastQuiet_ = false;
};

}  // namespace lumo
