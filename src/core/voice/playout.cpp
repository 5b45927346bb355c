#include "core/voice/playout.h"

#include <algorithm>

namespace lumo {

namespace {

// Distance from b to a in sequence numbers, negative when a is before b (numbers wrap).
std::int32_t ahead(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b);
}

}  // namespace

int PlayoutStep::prerollFrames() const
{
    const int ms = std::clamp(jitterMs_, 0, MaxJitterMs) + LeadMs;
    return std::max(1, ms / FrameMs);
}

const PlayoutStep::Arrival* PlayoutStep::arrival(std::uint32_t sequence) const
{
    const Arrival& a = arrivals_[sequence % ArrivalRing];
    return a.known && a.sequence == sequence ? &a : nullptr;
}

// The jitter that matters is how much later than its successor's cadence a record comes: a
// record that follows its predecessor by less than a block shows how late the predecessor was.
// A pause of the talker only lengthens the spacing, so it never counts as jitter.
void PlayoutStep::noteArrival(std::uint32_t sequence, std::int64_t nowMs)
{
    arrivals_[sequence % ArrivalRing] = Arrival{true, sequence, nowMs};
    std::int64_t sample = 0;
    if (const Arrival* before = arrival(sequence - 1))
        sample = std::max<std::int64_t>(sample, before->atMs + BlockMs - nowMs);
    if (const Arrival* after = arrival(sequence + 1))
        sample = std::max<std::int64_t>(sample, nowMs - after->atMs + BlockMs);
    sample = std::min<std::int64_t>(sample, MaxJitterMs);
    // Forgets slowly (1 ms every 4 records: about 4 ms per second of speech), so
    // that one calm stretch does not undo what the last swap taught.
    const int decay = (++arrivalsNoted_ % 4 == 0) ? 1 : 0;
    jitterMs_ = std::max(static_cast<int>(sample), std::max(MarginMs, jitterMs_ - decay));
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
    stallFrames_ = 0;
    waitedFrames_ = 0;
    minSlackMs_ = -1;
}

PlayoutStep::Received PlayoutStep::push(const VoiceRecord& record, std::int64_t nowMs)
{
    const std::uint32_t seq = record.sequence;
    const bool seenBefore = arrival(seq) != nullptr;
    const bool afterSilence = started_ && nowMs - lastArrivalMs_ > RestartGapMs;
    lastArrivalMs_ = nowMs;
    if (!seenBefore)
        noteArrival(seq, nowMs);

    auto store = [&] {
        Slot& s = slot(seq);
        if (!s.held)
            ++heldCount_;
        s = Slot{true, record, nowMs};
        return Received::Stored;
    };

    if (!started_) {
        startSpurt(seq);
        return store();
    }
    const std::int32_t d = ahead(seq, next_);
    // A talker that started numbering again (a restarted program): a number far from the
    // stream's, or any number from the past after a long silence. Network copies never come
    // that late, and a stream never skips that far ahead.
    if (d > MaxJumpAhead || (d < 0 && (d < -static_cast<std::int32_t>(Capacity) ||
                                       (!active_ && afterSilence && !seenBefore)))) {
        ++counters_.restarts;
        clearStore();
        started_ = false;
        startSpurt(seq);
        return store();
    }
    if (d < 0) {
        // A spurt that has not played yet may still start a little earlier: its first records
        // can arrive swapped.
        if (active_ && !spurtPlayed_ && !seenBefore && ahead(seq, spurtFloor_) >= 0 && fitsFrom(seq)) {
            next_ = seq;
            return store();
        }
        if (seenBefore) {
            ++counters_.duplicates;
            return Received::Duplicate;
        }
        ++counters_.late;
        return Received::Late;
    }
    if (holds(seq)) {
        ++counters_.duplicates;
        return Received::Duplicate;
    }
    if (!active_) {
        clearStore();
        startSpurt(seq);
        return store();
    }
    if (static_cast<std::uint32_t>(d) >= Capacity) {
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
        counters_.skippedAhead += passed;
        next_ = newNext;
        waitedFrames_ = 0;
        store();
        return Received::FarAhead;
    }
    return store();
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

PlayoutStep::Chunk PlayoutStep::fill(bool missing)
{
    ++stallFrames_;
    ++waitedFrames_;
    ++counters_.fillFrames;
    // While a record is known to be missing, the decoder's erasure output lets the speech fade.
    // With nothing newer there the talker has most likely paused (the sender drops quiet
    // blocks): silence, which leaves the decoder exactly in step with the talker's encoder, so
    // a clean network still plays exactly what the codec gives.
    const bool fade = spurtPlayed_ && missing;
    return Chunk{fade ? Kind::Conceal : Kind::Silence, 1, {}};
}

PlayoutStep::Chunk PlayoutStep::play(Slot& s, std::int64_t nowMs)
{
    Chunk chunk{Kind::Record, FramesPerBlock, s.record};
    s.held = false;
    --heldCount_;
    ++next_;
    ++counters_.played;
    spurtPlayed_ = true;
    stallFrames_ = 0;
    waitedFrames_ = 0;
    // How long it waited for its turn: the least of these over recent records is delay that
    // was not needed. The minimum forgets slowly, so a calm stretch lets it rise.
    const std::int64_t slack = std::max<std::int64_t>(0, nowMs - s.arrivedMs);
    minSlackMs_ = minSlackMs_ < 0 ? slack : std::min(slack, minSlackMs_ + 2);
    return chunk;
}

PlayoutStep::Chunk PlayoutStep::pull(std::int64_t nowMs)
{
    if (!active_)
        return {};
    if (prerollDue_) {
        prerollDue_ = false;
        return Chunk{Kind::Silence, prerollFrames(), {}};
    }
    for (std::uint32_t guard = 0; guard <= Capacity; ++guard) {
        if (holds(next_))
            return play(slot(next_), nowMs);
        if (heldCount_ == 0) {
            // Nothing newer either: a record on its way, or the talker paused.
            if (stallFrames_ >= EndAfterFrames) {
                active_ = false;
                waitedFrames_ = 0;
                return {};
            }
            return fill(false);
        }
        // A gap: the missing record may still come (swapped), or it was lost.
        const std::uint32_t k = firstLaterDistance();
        const std::int64_t laterAt = slots_[(next_ + k) % Capacity].arrivedMs;
        const std::int64_t expected = laterAt - static_cast<std::int64_t>(k) * BlockMs;
        const std::int64_t overdueAt = std::max(expected + jitterMs_ + MarginMs,
                                                expected + BlockMs + std::min(MinSwapWaitMs, jitterMs_));
        if (nowMs < overdueAt && stallFrames_ < EndAfterFrames)
            return fill(true);
        // Lost. Its concealment is shortened by the time already waited for it and by delay
        // recent records did not need: that is how built-up lag drains.
        ++counters_.concealed;
        ++next_;
        const int excessFrames = minSlackMs_ > MarginMs ? int((minSlackMs_ - MarginMs) / FrameMs) : 0;
        const int drain = std::min(FramesPerBlock, waitedFrames_ + excessFrames);
        minSlackMs_ -= std::int64_t(std::max(0, drain - waitedFrames_)) * FrameMs;
        waitedFrames_ = 0;
        stallFrames_ = 0;
        if (drain < FramesPerBlock)
            return Chunk{Kind::Conceal, FramesPerBlock - drain, {}};
    }
    return fill(true);
}

void applyGain(std::int16_t* samples, int count, bool on)
{
    if (!on)
        return;
    for (int i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(std::clamp(2 * int(samples[i]), -32768, 32767));
}

}  // namespace lumo
