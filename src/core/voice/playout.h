// Decides what one remote member's player sounds, 10 ms at a time, from the records the network
// delivered. Pure logic: the player gives it each record with its arrival time, and asks it for
// the next stretch to play whenever its sound card is about to run dry.
//
// What it guarantees:
//  - every record that arrives in time is played exactly once, in sequence order; a record is
//    never played twice, and a record whose turn has passed is dropped, never played late;
//  - a record that never comes is concealed with the codec's frame-erasure decoding (speech
//    fading out), never with a repeat; while nothing newer has come either, the step cannot
//    tell a loss from the talker pausing and waits in silence, which keeps the decoder exact;
//  - the playout delay adapts: a talk spurt starts with a pre-roll near one block, the step
//    waits (and so grows the delay) only when the record it needs has not come, and gives the
//    delay back when a lost record's concealment can be shortened and at each pause; the
//    estimate of how late records come grows with measured jitter and decays when calm;
//  - memory and lag stay bounded whatever the network sends: at most Capacity records are held,
//    and a stream that runs further ahead moves the play point up.
#pragma once

#include <array>
#include <cstdint>

#include "core/wire/wire.h"

namespace lumo {

class PlayoutStep {
public:
    static constexpr int FrameMs = 10;               // one codec frame
    static constexpr int FramesPerBlock = 6;         // one record
    static constexpr int BlockMs = FrameMs * FramesPerBlock;
    static constexpr std::uint32_t Capacity = 16;    // records held ahead of the play point
    static constexpr int InitialJitterMs = 30;       // start: pre-roll near one block
    static constexpr int MaxJitterMs = 200;          // bounds the delay to a few blocks
    static constexpr int MarginMs = 10;
    static constexpr int LeadMs = 20;                // the player asks this far ahead of need
    static constexpr int MinSwapWaitMs = 50;         // how long a gap waits for a swapped record
    static constexpr int EndAfterFrames = 24;        // nothing to play for 240 ms: the spurt ended
    static constexpr int RestartGapMs = 1000;        // a number from the past after this long: a new stream
    static constexpr std::int32_t MaxJumpAhead = 1000;  // a minute of speech: further is a new stream

    enum class Received { Stored, Duplicate, Late, FarAhead };

    enum class Kind {
        Nothing,  // no talk spurt: the player queues nothing, the card plays its own silence
        Silence,  // `frames` frames of silence (the pre-roll of a spurt, a long wait)
        Conceal,  // `frames` frames of the decoder's frame-erasure output
        Record,   // decode and play `record` (six frames)
    };
    struct Chunk {
        Kind kind = Kind::Nothing;
        int frames = 0;
        VoiceRecord record{};
    };

    struct Counters {
        std::uint64_t played = 0;        // records handed out to play
        std::uint64_t concealed = 0;     // records declared lost and concealed (or skipped)
        std::uint64_t fillFrames = 0;    // frames played while waiting
        std::uint64_t duplicates = 0;
        std::uint64_t late = 0;          // arrived after their turn
        std::uint64_t skippedAhead = 0;  // passed over because the stream ran too far ahead
        std::uint64_t restarts = 0;      // the talker's numbering started again
    };

    // A record delivered at nowMs (any monotonic millisecond clock, the same for pull).
    Received push(const VoiceRecord& record, std::int64_t nowMs);
    // The next stretch to play; the player calls it while its card holds LeadMs or less.
    Chunk pull(std::int64_t nowMs);

    bool active() const { return active_; }
    std::uint32_t next() const { return next_; }
    int jitterMs() const { return jitterMs_; }
    // Pre-roll a talk spurt starting now would get.
    int prerollFrames() const;
    const Counters& counters() const { return counters_; }

private:
    struct Slot {
        bool held = false;
        VoiceRecord record{};
        std::int64_t arrivedMs = 0;
    };
    // Arrival times of recent records, for the jitter measured between neighbours.
    struct Arrival {
        bool known = false;
        std::uint32_t sequence = 0;
        std::int64_t atMs = 0;
    };
    static constexpr std::uint32_t ArrivalRing = 64;

    void startSpurt(std::uint32_t sequence);
    void noteArrival(std::uint32_t sequence, std::int64_t nowMs);
    const Arrival* arrival(std::uint32_t sequence) const;
    Slot& slot(std::uint32_t sequence) { return slots_[sequence % Capacity]; }
    bool holds(std::uint32_t sequence) const
    {
        const Slot& s = slots_[sequence % Capacity];
        return s.held && s.record.sequence == sequence;
    }
    // The first held record after next_ (distance in records), or 0 if none.
    std::uint32_t firstLaterDistance() const;
    // Whether every held record lies within Capacity from `first` (so slots never collide).
    bool fitsFrom(std::uint32_t first) const;
    void clearStore();
    Chunk fill(bool missing);
    Chunk play(Slot& s, std::int64_t nowMs);

    std::array<Slot, Capacity> slots_{};
    std::array<Arrival, ArrivalRing> arrivals_{};
    std::uint32_t heldCount_ = 0;
    bool started_ = false;        // any record seen yet
    bool active_ = false;         // in a talk spurt
    bool prerollDue_ = false;
    bool spurtPlayed_ = false;    // a record of this spurt has been played
    std::uint32_t spurtFloor_ = 0;  // the spurt may still start back to here (a swapped first record)
    int waitedFrames_ = 0;        // frames filled while waiting for next_
    std::uint32_t next_ = 0;      // the record whose turn is next
    std::int64_t lastArrivalMs_ = 0;
    int jitterMs_ = InitialJitterMs;
    std::uint32_t arrivalsNoted_ = 0;
    int excessMs_ = 0;            // delay beyond what recent records needed (drained at losses)
    int stallFrames_ = 0;         // frames filled in a row
    std::int64_t minSlackMs_ = -1;  // least time a recent record waited before its turn
    Counters counters_;
};

// Scales samples by 2 when `on`, saturating at the 16-bit limits (never wrapping).
void applyGain(std::int16_t* samples, int count, bool on);

}  // namespace lumo
