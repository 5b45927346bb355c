#include "core/voice/playout.h"

#include <algorithm>
#include <cmath>

namespace lumo {

namespace {

// Distance from b to a in sequence numbers, negative when a is before b (numbers wrap).
std::int32_t ahead(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b);
}

std::uint64_t digestOf(const VoiceRecord& record)
{
    std::uint64_t h = 14695981039346656037ull;
    for (std::uint8_t b : record.speech)
        h = (h ^ b) * 1099511628211ull;
    return h;
}

}  // namespace

// --- LatenessHistogram -----------------------------------------------------------------------

void LatenessHistogram::add(int latenessMs)
{
    for (double& w : weights_)
        w *= Keep;
    total_ = total_ * Keep + (1 - Keep);
    const int bin = std::clamp(latenessMs / BinMs, 0, Bins - 1);
    weights_[std::size_t(bin)] += 1 - Keep;
}

int LatenessHistogram::percentile(double share) const
{
    if (total_ <= 0)
        return 0;
    double sum = 0;
    for (int bin = 0; bin < Bins; ++bin) {
        sum += weights_[std::size_t(bin)];
        if (sum >= share * total_)
            return bin * BinMs;
    }
    return (Bins - 1) * BinMs;
}

void LatenessHistogram::clear()
{
    weights_.fill(0);
    total_ = 0;
}

// --- PlayoutStep: arrivals --------------------------------------------------------------------

const PlayoutStep::Arrival* PlayoutStep::recently(std::uint32_t sequence, std::int64_t nowMs) const
{
    const Arrival& a = arrivals_[sequence % ArrivalRing];
    return a.known && a.sequence == sequence && nowMs - a.atMs < RestartGapMs ? &a : nullptr;
}

void PlayoutStep::markLost(std::uint32_t sequence, std::int64_t nowMs)
{
    arrivals_[sequence % ArrivalRing] = Arrival{true, sequence, nowMs, true};
}

void PlayoutStep::freshStream()
{
    lateness_.clear();
    transitCount_ = 0;
    provisional_ = false;
    targetMs_ = CardFloorMs + MarginMs;
    adjusting_ = 0;
    lastExcessMs_ = 0;
    for (Arrival& a : arrivals_)
        a.known = false;
}

void PlayoutStep::clearStore()
{
    for (Slot& s : slots_)
        s.held = false;
    heldCount_ = 0;
}

void PlayoutStep::startSpurt(std::uint32_t sequence)
{
    // A first spurt may start back to a record a little older than this one (arriving swapped).
    spurtFloor_ = started_ ? next_ : sequence - (Capacity - 1);
    started_ = true;
    next_ = sequence;
    active_ = true;
    prerollDue_ = true;
    spurtPlayed_ = false;
    waitedFrames_ = 0;
    concealRun_ = 0;
    dry_ = false;
    adjusting_ = 0;
    // A new spurt keeps what the network taught, but its schedule starts afresh.
    transitCount_ = 0;
    provisional_ = false;
}

std::int64_t PlayoutStep::transitOf(std::uint32_t sequence, std::int64_t atMs) const
{
    return atMs - transitBaseMs_ - std::int64_t(ahead(sequence, transitBase_)) * BlockMs;
}

// The best schedule recent records kept: the least transit of the window, or the one a record
// arriving after a dry wait showed, until later arrivals say whether it holds.
std::int64_t PlayoutStep::scheduleFloor() const
{
    std::int64_t floor = transits_[0].ms;
    for (std::uint32_t i = 1; i < transitCount_; ++i)
        floor = std::min(floor, transits_[i].ms);
    return provisional_ ? std::max(floor, provisionalMs_) : floor;
}

void PlayoutStep::noteTransit(std::uint32_t sequence, std::int64_t nowMs)
{
    if (transitCount_ == 0) {
        transitBase_ = sequence;
        transitBaseMs_ = nowMs;
    }
    // A record that comes right behind its predecessor (the tail of a burst after a delay
    // spike) was held up by it: only the burst's first record tells how late the network was.
    const bool behind = transitCount_ > 0 && sequence == lastSequence_ + 1 && nowMs - lastSequenceAtMs_ <= BurstMs;
    lastSequence_ = sequence;
    lastSequenceAtMs_ = nowMs;
    const Transit t{sequence, transitOf(sequence, nowMs), behind};
    if (transitCount_ == TransitWindow) {
        std::copy(transits_.begin() + 1, transits_.end(), transits_.begin());
        transits_[TransitWindow - 1] = t;
    } else {
        transits_[transitCount_++] = t;
    }
    if (provisionalLeft_ > 0 && --provisionalLeft_ == 0)
        provisional_ = false;
    if (transitCount_ < 3)
        return;
    // Three arrivals alike, all well behind the schedule before them: the talker paused (or
    // the route changed). The schedule moves to theirs, and they are no lateness.
    const Transit* last = &transits_[transitCount_ - 3];
    std::int64_t before = transits_[0].ms;
    for (std::uint32_t i = 1; i + 3 < transitCount_; ++i)
        before = std::min(before, transits_[i].ms);
    const auto [low, high] = std::minmax({last[0].ms, last[1].ms, last[2].ms});
    if (transitCount_ > 3 && low >= before + PauseMs && high - low <= PauseMs) {
        std::copy(last, last + 3, transits_.begin());
        transitCount_ = 3;
    }
    // The oldest of the three is settled: how late it came against the best schedule around it.
    const Transit& settled = transits_[transitCount_ - 3];
    std::int64_t floor = transits_[0].ms;
    for (std::uint32_t i = 1; i < transitCount_; ++i)
        floor = std::min(floor, transits_[i].ms);
    if (!settled.queuedBehind)
        lateness_.add(int(std::min<std::int64_t>(settled.ms - floor, 1000)));
    targetMs_ = std::min(MaxTargetMs, CardFloorMs + MarginMs + lateness_.percentile(TargetShare));
}

PlayoutStep::Received PlayoutStep::store(const VoiceRecord& record, std::int64_t nowMs)
{
    Slot& s = slot(record.sequence);
    if (!s.held)
        ++heldCount_;
    s = Slot{true, record, nowMs};
    return Received::Stored;
}

PlayoutStep::Received PlayoutStep::push(const VoiceRecord& record, std::int64_t nowMs)
{
    const std::uint32_t seq = record.sequence;
    const Arrival* seen = recently(seq, nowMs);
    const bool afterSilence = started_ && nowMs - lastArrivalMs_ > RestartGapMs;
    lastArrivalMs_ = nowMs;

    if (!started_) {
        freshStream();
        startSpurt(seq);
    } else {
        // The same number again with the same speech: a network's copy.
        const bool reused = seen && !seen->lost && seen->digest != digestOf(record);
        if (seen && !seen->lost && !reused) {
            ++counters_.duplicates;
            return Received::Duplicate;
        }
        const std::int32_t d = ahead(seq, next_);
        // A spurt that has not played yet may still start a little earlier: its first records
        // can arrive swapped.
        const bool earlierStart = d < 0 && active_ && !spurtPlayed_ && ahead(seq, spurtFloor_) >= 0 && fitsFrom(seq);
        // A talker that started numbering again (a restarted program): a number far ahead of
        // the stream's, a recent number with other speech, one from the past that neither came
        // nor was given up lately, or any number from the past after a long silence.
        if (d > MaxJumpAhead || reused || (d < 0 && !earlierStart && (!seen || (!active_ && afterSilence)))) {
            ++counters_.restarts;
            clearStore();
            started_ = false;
            freshStream();
            startSpurt(seq);
        }
    }
    arrivals_[seq % ArrivalRing] = Arrival{true, seq, nowMs, false, digestOf(record)};
    const std::int32_t d = ahead(seq, next_);
    if (d >= 0 && !active_ && !holds(seq)) {
        clearStore();
        startSpurt(seq);
    }
    if (dry_ && active_) {
        // It came while the card was already concealing: for now, its schedule is the one.
        provisional_ = true;
        provisionalMs_ = transitCount_ ? transitOf(seq, nowMs) : 0;
        provisionalLeft_ = 3;
        dry_ = false;
    }
    noteTransit(seq, nowMs);

    if (d < 0) {
        // A spurt that has not played yet may still start a little earlier: its first records
        // can arrive swapped.
        if (active_ && !spurtPlayed_ && ahead(seq, spurtFloor_) >= 0 && fitsFrom(seq)) {
            next_ = seq;
            return store(record, nowMs);
        }
        ++counters_.late;
        return Received::Late;
    }
    if (holds(seq)) {
        ++counters_.duplicates;
        return Received::Duplicate;
    }
    if (static_cast<std::uint32_t>(ahead(seq, next_)) >= Capacity) {
        // The stream runs further ahead than the store holds (a flood, or a long burst lost
        // mid-spurt): move the play point up so that this record fits, and the lag stays bounded.
        const std::uint32_t newNext = seq - (Capacity - 1);
        const std::uint32_t passed = newNext - next_;
        if (passed >= Capacity) {
            clearStore();
        } else {
            for (std::uint32_t s = next_; s != newNext; ++s) {
                if (holds(s)) {
                    slot(s).held = false;
                    --heldCount_;
                }
            }
        }
        for (std::uint32_t s = newNext - std::min(passed, ArrivalRing); s != newNext; ++s)
            if (!recently(s, nowMs))
                markLost(s, nowMs);
        counters_.skippedAhead += passed;
        next_ = newNext;
        waitedFrames_ = 0;
        store(record, nowMs);
        return Received::FarAhead;
    }
    return store(record, nowMs);
}

bool PlayoutStep::fitsFrom(std::uint32_t first) const
{
    for (const Slot& s : slots_)
        if (s.held && static_cast<std::uint32_t>(s.record.sequence - first) >= Capacity)
            return false;
    return true;
}

std::uint32_t PlayoutStep::firstLaterDistance() const
{
    for (std::uint32_t k = 1; k < Capacity; ++k)
        if (holds(next_ + k))
            return k;
    return 0;
}

// --- PlayoutStep: what to play ----------------------------------------------------------------

PlayoutStep::Chunk PlayoutStep::conceal(int frames)
{
    concealRun_ += frames;
    // The decoder's erasure output for the first few frames, then a fade to a low floor: a
    // long wait sounds like the voice trailing off, never like a cut.
    int gain = 1000;
    if (concealRun_ > FadeAfterFrames)
        gain = std::max(FadeFloorPermille, 1000 - (concealRun_ - FadeAfterFrames) * (1000 - FadeFloorPermille) / FadeFrames);
    return Chunk{Kind::Conceal, frames, {}, 0, gain};
}

int PlayoutStep::adjustFor(int excessMs)
{
    // Outside the dead band the step keeps adjusting until the target is reached, so that
    // the delay settles at the target, not at the band's edge.
    if (adjusting_ > 0 && excessMs <= 0)
        adjusting_ = 0;
    if (adjusting_ < 0 && excessMs >= 0)
        adjusting_ = 0;
    if (adjusting_ == 0 && excessMs > SpeedUpAboveMs)
        adjusting_ = 1;
    if (adjusting_ == 0 && excessMs < -SlowDownBelowMs)
        adjusting_ = -1;
    if (adjusting_ > 0) {
        ++counters_.fasterRecords;
        return std::clamp(excessMs, 1, MaxAdjustMs);
    }
    if (adjusting_ < 0) {
        ++counters_.slowerRecords;
        return -std::clamp(-excessMs, 1, MaxAdjustMs);
    }
    return 0;
}

PlayoutStep::Chunk PlayoutStep::play(Slot& s, std::int64_t nowMs, int queuedMs)
{
    // How long this record waits before it sounds, and how late it came against the best
    // recent schedule: their sum is what an on-time record waits now.
    const std::int64_t wait = nowMs + queuedMs - s.arrivedMs;
    const std::int64_t late = transitCount_ ? std::max<std::int64_t>(0, transitOf(s.record.sequence, s.arrivedMs) - scheduleFloor()) : 0;
    lastExcessMs_ = int(std::clamp<std::int64_t>(wait + late - targetMs_, -1000, 1000));
    Chunk chunk{Kind::Record, FramesPerBlock, s.record, adjustFor(lastExcessMs_), 1000};
    if (!spurtPlayed_) {
        // Numbers before the spurt's first record are behind the play point now: a straggler
        // among them is late, not a new stream.
        const std::uint32_t behind = std::uint32_t(std::clamp<std::int32_t>(ahead(next_, spurtFloor_), 0, ArrivalRing / 2));
        for (std::uint32_t n = next_ - behind; n != next_; ++n)
            if (!recently(n, nowMs))
                markLost(n, nowMs);
    }
    s.held = false;
    --heldCount_;
    ++next_;
    ++counters_.played;
    spurtPlayed_ = true;
    waitedFrames_ = 0;
    concealRun_ = 0;
    dry_ = false;
    return chunk;
}

PlayoutStep::Chunk PlayoutStep::pull(std::int64_t nowMs, int queuedMs)
{
    if (!active_)
        return {};
    if (prerollDue_) {
        // The first record of a spurt waits as long as an on-time record should (to the
        // nearest frame, counting what the card holds and how long the record has waited).
        prerollDue_ = false;
        std::int64_t waited = 0;
        if (holds(next_)) {
            const Slot& first = slot(next_);
            waited = nowMs - first.arrivedMs + std::max<std::int64_t>(0, transitOf(first.record.sequence, first.arrivedMs) - scheduleFloor());
        }
        const int frames = int((targetMs_ - queuedMs - waited + FrameMs / 2) / FrameMs);
        if (frames > 0)
            return Chunk{Kind::Silence, frames, {}, 0, 1000};
    }
    for (std::uint32_t guard = 0; guard <= Capacity; ++guard) {
        // The first record of a spurt is committed only when the card needs it: until then a
        // swapped earlier one may still come.
        if (holds(next_) && (spurtPlayed_ || queuedMs < CardFloorMs))
            return play(slot(next_), nowMs, queuedMs);
        if (queuedMs >= CardFloorMs)
            return Chunk{Kind::Wait, 0, {}, 0, 1000};  // it may still come before the card needs it
        if (heldCount_ == 0) {
            // Nothing newer either: a record on its way, or the talker paused.
            if (concealRun_ >= EndAfterFrames || !spurtPlayed_) {
                active_ = false;
                waitedFrames_ = 0;
                return {};
            }
            dry_ = true;
            ++waitedFrames_;
            ++counters_.fillFrames;
            return conceal(1);
        }
        // A gap: the missing record may still come (swapped), or it was lost. It is awaited
        // as long as records have come late lately, and a little past its successor.
        const std::uint32_t k = firstLaterDistance();
        const std::int64_t laterAt = slots_[(next_ + k) % Capacity].arrivedMs;
        const std::int64_t expected = laterAt - static_cast<std::int64_t>(k) * BlockMs;
        const int spread = targetMs_ - CardFloorMs;
        // Once a whole block has been concealed in its place, waiting longer only adds delay.
        const int grace = waitedFrames_ < FramesPerBlock ? std::min(MinSwapWaitMs, spread + SwapGraceMs) : 0;
        const std::int64_t overdueAt = std::max(expected + spread, laterAt + grace);
        if (nowMs < overdueAt) {
            ++waitedFrames_;
            ++counters_.fillFrames;
            return conceal(1);
        }
        // Lost. Its concealment is shortened by the frames already concealed in its place and
        // by delay beyond the target: a loss is a natural place to give time back.
        ++counters_.concealed;
        markLost(next_, nowMs);
        ++next_;
        const int excessFrames = std::max(0, lastExcessMs_) / FrameMs;
        const int frames = std::max(0, FramesPerBlock - waitedFrames_ - excessFrames);
        lastExcessMs_ -= std::max(0, FramesPerBlock - waitedFrames_ - frames) * FrameMs;
        // Frames concealed beyond this record's block stood for the next one's time already.
        waitedFrames_ = std::max(0, waitedFrames_ - FramesPerBlock);
        if (frames > 0)
            return conceal(frames);
    }
    return conceal(1);
}

double playSpeed(int adjustMs, bool quietBlock)
{
    const int most = quietBlock ? PlayoutStep::BlockMs / 2 : PlayoutStep::BlockMs / 5;
    const int ms = std::clamp(adjustMs, -most, most);
    return double(PlayoutStep::BlockMs) / double(PlayoutStep::BlockMs - ms);
}

void applyGain(std::int16_t* samples, int count, bool on)
{
    if (!on)
        return;
    for (int i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(std::clamp(2 * int(samples[i]), -32768, 32767));
}

}  // namespace lumo
