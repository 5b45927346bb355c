// Decides what one remote member's player sounds, from the records the network delivered. Pure
// logic: the player gives it each record with its arrival time, and asks it for the next stretch
// to play whenever its sound card runs low, saying how much the card still holds.
//
// What it guarantees:
//  - every record that arrives in time is played exactly once, in sequence order; a record is
//    never played twice, and a record whose turn has passed is dropped, never played late;
//  - a record missing inside the talk (a newer one has come) is concealed with the codec's
//    frame-erasure output, fading to a low level after a few frames, never zeros; a record that
//    never comes takes one block of the stream's time, less the frames already concealed while
//    it was awaited;
//  - while nothing newer has come after speech (a late record, or records lost in a row) the
//    erasure output of a copy of the decoder stands in, so that a late record still decodes
//    exactly, fading to the talker's background level, until a newer record comes or the spurt
//    is taken as ended: the voice is never cut to zeros by a late or lost record. After a quiet
//    record (a gate ends every spurt with its quiet hang-over, and a sender whose gate closed
//    sends nothing) the card plays silence: the end of a spurt is not padded with invented sound;
//  - the delay follows the network: how late records come against the best recent schedule is
//    kept as a histogram that forgets (a few seconds of memory), and the target is its 95th
//    percentile above the card's own buffer; a new talker, or one that restarted, starts from
//    the smallest delay a clean line needs;
//  - each record carries how many milliseconds the player should take out of it (play faster)
//    or put into it (slower), without changing pitch, to bring the delay to the target: this
//    drains a spike while the member keeps talking and follows a talker whose clock runs fast
//    or slow; inside the dead band records play exactly as decoded;
//  - a record is awaited until just before the card would need it (DecideAheadMs before the
//    card's period that would find nothing): the step says when to ask again, so that the delay
//    a clean line needs is a few milliseconds, not a period;
//  - memory and lag stay bounded whatever the network sends: at most Capacity records are held,
//    and a stream that runs further ahead moves the play point up.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "core/wire/wire.h"

namespace lumo {

// How late records come against the best schedule of the recent ones, as a histogram whose
// old entries fade, and its percentiles.
class LatenessHistogram {
public:
    static constexpr int BinMs = 2;
    static constexpr int Bins = 200;            // up to 400 ms; later counts as 400
    static constexpr double Keep = 1.0 - 1.0 / 200;  // each record fades the others: ~12 s of speech

    void add(int latenessMs);
    // The lateness that `share` (0..1) of recent records did not exceed; 0 when empty.
    int percentile(double share) const;
    void clear();
    double weight() const { return total_; }

private:
    std::array<double, Bins> weights_{};
    double total_ = 0;
};

class PlayoutStep {
public:
    static constexpr int FrameMs = 10;               // one codec frame
    static constexpr int FramesPerBlock = 6;         // one record
    static constexpr int BlockMs = FrameMs * FramesPerBlock;
    static constexpr std::uint32_t Capacity = 16;    // records held ahead of the play point
    static constexpr int LeadMs = 20;                // the player asks while the card holds this or less
    static constexpr int CardFloorMs = 10;           // below this the card would run dry at its next period
    // How long before the card's period the player decides what goes into it: the time the
    // player's wake-up may come late, and the card take early, without the card finding nothing.
    static constexpr int DecideAheadMs = 3;
    static constexpr int MarginMs = 2;               // the target: the percentile and this
    static constexpr int MaxTargetMs = 300;
    static constexpr double TargetShare = 0.95;
    static constexpr int SpeedUpAboveMs = 20;        // beyond a whole period and this over the target: play faster
    static constexpr int SpareRecords = 3;           // records in a row with a period to spare: play faster
    static constexpr int DriftLeadRecords = 4;       // a slow talker's drift over this many records: put in sooner
    static constexpr int MaxAdjustMs = 30;           // the most asked of one block either way
    static constexpr int MaxPrerollFrames = 30;
    static constexpr int MinSwapWaitMs = 50;         // how long a gap may wait for a swapped record
    static constexpr int SwapGraceMs = 20;           // past its successor, beyond what lateness taught
    static constexpr int FadeAfterFrames = 6;        // a block concealed in a row: then it fades
    static constexpr int FadeFrames = 4;             // the fade down to its floor
    static constexpr int FadeFloorPermille = 125;
    static constexpr int EndAfterFrames = 60;        // nothing newer for 600 ms: the spurt ended
    // A talker's gate closes only after this many quiet records in a row (its hang-over).
    static constexpr int HangOverRecords = 4;
    static constexpr int PauseMs = 20;               // three arrivals this late alike: the talker paused
    static constexpr std::uint32_t TransitWindow = 16;
    static constexpr int DriftBlock = 16;            // arrivals whose least transit is one point of the drift line
    static constexpr int DriftBlocks = 4;            // points on the line: about four seconds of talk
    static constexpr double MaxDriftMs = 1.5;        // per record: a talker's clock 2.5 % off at most
    static constexpr int RestartGapMs = 1000;        // a number from the past after this long: a new stream
    static constexpr std::int32_t MaxJumpAhead = 1000;   // a minute of speech: further is a new stream

    enum class Received { Stored, Duplicate, Late, FarAhead };

    enum class Kind {
        Nothing,  // no talk spurt: the player queues nothing, the card plays its own silence
        Wait,     // in a spurt, the card holds enough: queue nothing now, ask again by `askAtMs`
        Silence,  // `frames` frames of silence (the pre-roll of a spurt)
        Conceal,  // `frames` frames of the decoder's frame-erasure output
        Record,   // decode and play `record` (six frames)
    };
    struct Chunk {
        Kind kind = Kind::Nothing;
        int frames = 0;
        VoiceRecord record{};
        int adjustMs = 0;           // Record: ms to take out of it (> 0, faster) or put in (< 0)
        int gainPermille = 1000;    // the level this chunk ends at (a fading concealment)
        // Conceal: nothing newer has come, so the awaited record may still come and must then
        // decode exactly as the talker's encoder meant: conceal with a copy of the decoder.
        bool aside = false;
        // Wait: the latest moment (the clock of pull) to ask again, the card's or the network's
        // event may come sooner; a player woken only by those would decide a period too early.
        std::int64_t askAtMs = 0;
    };

    struct Counters {
        std::uint64_t played = 0;        // records handed out to play
        std::uint64_t concealed = 0;     // records declared lost and concealed (or skipped)
        std::uint64_t fillFrames = 0;    // frames concealed while a record was awaited
        std::uint64_t duplicates = 0;
        std::uint64_t late = 0;          // arrived after their turn
        std::uint64_t skippedAhead = 0;  // passed over because the stream ran too far ahead
        std::uint64_t restarts = 0;      // the talker's numbering started again
        std::uint64_t fasterRecords = 0; // records asked to play faster
        std::uint64_t slowerRecords = 0; // records asked to play slower
    };

    // What the player's sound card holds when it asks.
    struct Card {
        int queuedMs = 0;       // whole periods handed to the card and not yet taken
        int heldMs = 0;         // a part-period kept for the card, to go out before what comes next
        int sincePeriodMs = 0;  // since the card last took a period (it takes one every FrameMs)
        int scalerMs = 0;       // sound the time-scaler still holds, to go out before what comes next
    };

    // A record delivered at nowMs (any monotonic millisecond clock, the same for pull).
    Received push(const VoiceRecord& record, std::int64_t nowMs);
    // The next stretch to play; the player calls it while its card holds LeadMs or less, and
    // again at a Wait's askAtMs if nothing else made it call sooner.
    Chunk pull(std::int64_t nowMs, const Card& card);
    // The same for a card that holds queuedMs and takes its next period now: for a caller that
    // asks once a period, just before the card takes it.
    Chunk pull(std::int64_t nowMs, int queuedMs);
    // Whether the record just played was quiet (the talker's background, such as the hang-over
    // a gate sends after the last word): nothing newer after it most likely ends the spurt.
    void notePlayedQuiet(bool quiet)
    {
        lastPlayedQuiet_ = quiet;
        quietRun_ = quiet ? quietRun_ + 1 : 0;
    }

    bool active() const { return active_; }
    std::uint32_t next() const { return next_; }
    // The slack the step aims at: how long before it would be too late an on-time record should
    // come (what records have lately come later than the best schedule, and a margin).
    int targetMs() const { return targetMs_; }
    const LatenessHistogram& lateness() const { return lateness_; }
    const Counters& counters() const { return counters_; }

private:
    struct Slot {
        bool held = false;
        VoiceRecord record{};
        std::int64_t arrivedMs = 0;
    };
    // Recent records that came, or whose turn passed without them: a number from the past that
    // is neither is a restarted talker's, not a network's copy or straggler.
    struct Arrival {
        bool known = false;
        std::uint32_t sequence = 0;
        std::int64_t atMs = 0;
        bool lost = false;
        std::uint64_t digest = 0;  // of the speech: a network's copy is the same record
    };
    static constexpr std::uint32_t ArrivalRing = 64;

    void startSpurt(std::uint32_t sequence);
    void freshStream();
    void noteTransit(std::uint32_t sequence, std::int64_t nowMs);
    std::int64_t transitOf(std::uint32_t sequence, std::int64_t atMs) const;
    void noteDrift(std::uint32_t sequence, std::int64_t transitMs);
    void restartDriftBlocks();
    std::int64_t scheduleFloor() const;
    const Arrival* recently(std::uint32_t sequence, std::int64_t nowMs) const;
    void markLost(std::uint32_t sequence, std::int64_t nowMs);
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
    Received store(const VoiceRecord& record, std::int64_t nowMs);
    Chunk conceal(int frames);
    // How long from now until the player must have handed the card what comes next.
    static int decideWithinMs(const Card& card);
    Chunk play(Slot& s, std::int64_t nowMs, const Card& card);
    // Ms to take out of (> 0) or put into (< 0) the record now played, from its slack over the
    // target and the part-period kept for the card.
    int adjustFor(int surplusMs, int heldMs);
    // How much sooner than at the target the step puts time in for a talker whose clock is slow.
    int driftLeadMs() const;

    std::array<Slot, Capacity> slots_{};
    std::array<Arrival, ArrivalRing> arrivals_{};
    std::uint32_t heldCount_ = 0;
    bool started_ = false;        // any record seen yet
    bool active_ = false;         // in a talk spurt
    bool prerollDue_ = false;
    bool paused_ = false;         // nothing came for longer than a block: the talker paused
    bool spurtPlayed_ = false;    // a record of this spurt has been played
    std::uint32_t spurtFloor_ = 0;  // the spurt may still start back to here (a swapped first record)
    std::uint32_t next_ = 0;      // the record whose turn is next
    std::int64_t lastArrivalMs_ = 0;
    int waitedFrames_ = 0;        // frames concealed in place of next_ while it was awaited
    int tailFrames_ = 0;          // frames played in a row while nothing newer had come
    bool lastPlayedQuiet_ = false;
    int quietRun_ = 0;            // quiet records played in a row
    bool tailSilent_ = false;     // nothing newer came after a quiet record: silence is playing
    int prerollLeft_ = 0;         // frames of a pre-roll inside a spurt still to be concealed
    // Records that come together with a spurt's first one are the talker's gate's look-back,
    // sent late on purpose: their slack is not given back by playing the words faster.
    bool lookBackDue_ = false;    // measure it when the spurt's first record plays
    int lookBackMs_ = 0;
    // The gate's batch is coded block by block, so its records may still be arriving while its
    // first ones play: it is counted again at each of them while it goes on.
    bool batchOpen_ = false;
    bool openingBatch_ = false;  // the stream's first arrivals, each right behind the one before
    std::uint32_t batchStart_ = 0;        // the spurt's first record
    std::int64_t batchLastArrivedMs_ = 0;  // when the batch's latest record played so far came
    int concealRun_ = 0;          // frames concealed in a row (for the fade and the spurt's end)
    // Transit (arrival minus the stream's own 60 ms clock) of the latest arrivals, oldest first;
    // the least is the best recent schedule. The newest two are not yet in the histogram: a
    // talker who paused shows as three arrivals late alike, and then the schedule moves instead.
    struct Transit {
        std::uint32_t sequence = 0;
        std::int64_t ms = 0;
        bool queuedBehind = false;  // came right after its predecessor: held up by it, not late by itself
    };
    static constexpr int BurstMs = 5;
    std::array<Transit, TransitWindow> transits_{};
    std::uint32_t transitCount_ = 0;
    std::uint32_t transitBase_ = 0;  // the sequence the stream's clock counts from
    std::int64_t transitBaseMs_ = 0;
    std::uint32_t lastSequence_ = 0;
    std::int64_t lastSequenceAtMs_ = 0;
    // How much later than BlockMs after its predecessor each record comes on the talker's clock.
    double driftMs_ = 0;
    struct DriftBlockLeast {
        double sequence = 0;   // the block's mean, counted from transitBase_
        std::int64_t transitMs = 0;
    };
    std::array<DriftBlockLeast, DriftBlocks> blocks_{};
    int blockCount_ = 0;
    int blockFill_ = 0;
    std::int64_t blockLeast_ = 0;
    double blockSequenceSum_ = 0;
    LatenessHistogram lateness_;
    int targetMs_ = MarginMs;
    int lastExcessMs_ = 0;        // the latest record's slack over the target
    int spareRun_ = 0;            // records in a row that had a period to spare
    bool draining_ = false;       // giving back a spike's delay, down to a period over the target
    // Concealment played while a record was awaited, which then came and played after it: time
    // put into the talk that the records after it give back as soon as they have it to spare.
    int fillDebtMs_ = 0;
    Counters counters_;
};

// Where the sound card's periods fall, from when it gives buffers back. A return is seen when
// the player's thread gets to it, which may be late but never early: the earliest returns mark
// the periods, and a later one moves the estimate only a little each time (enough to follow a
// card whose clock runs slow against ours), so that one return handled late never makes the
// card's next period look further off than it is.
class CardPeriods {
public:
    static constexpr std::int64_t PeriodUs = PlayoutStep::FrameMs * 1000;
    static constexpr std::int64_t CreepUs = 100;  // per return: follows a card 1 % slow
    static constexpr std::int64_t EarlyUs = 2000;  // a return this much before a period: it is there

    void noteReturn(std::int64_t atUs);
    // Milliseconds since the card took its latest period, a part counted whole; a whole period
    // before the first return (the card may take one at any moment).
    int sinceMs(std::int64_t nowUs) const;

private:
    bool known_ = false;
    std::int64_t anchorUs_ = 0;  // a moment the card took a period
};

// How loud the talker's background is: the quietest 10 ms of its recent records (about two
// seconds of them), so that a concealment that has faded, or a decoder's erasure output that has
// died away, can be kept at that level instead of falling to digital silence inside a spurt.
class BackgroundLevel {
public:
    static constexpr int Blocks = 32;       // records remembered
    static constexpr int MaxRms = 100;      // a talker with no quiet frame lately: no louder than this

    // A decoded record of `count` samples (10 ms frames of 80).
    void note(const std::int16_t* samples, int count);
    // The background's RMS level; 0 before any record.
    int rms() const;

private:
    std::array<int, Blocks> quietest_{};
    int noted_ = 0;
};

// Whether no 10 ms frame of `samples` is louder than BackgroundMultiple times `backgroundRms`:
// the talker's background (a gate's hang-over after the last word), not speech.
constexpr int BackgroundMultiple = 3;
bool hardlyAboveBackground(const std::int16_t* samples, int count, int backgroundRms);

// Adds noise to each 10 ms frame quieter than `floorRms`, bringing it to about that level;
// louder frames are left as they are. `seed` carries the noise from call to call.
void keepAboveFloor(std::int16_t* samples, int count, int floorRms, std::uint32_t* seed);

// Speed (output faster than input above 1) that takes `adjustMs` out of a 60 ms block, within
// what sounds natural: a fifth of speech, half of a quiet block.
double playSpeed(int adjustMs, bool quietBlock);

// Scales samples by 2 when `on`, saturating at the 16-bit limits (never wrapping).
void applyGain(std::int16_t* samples, int count, bool on);

}  // namespace lumo
