#include "core/voice/playout.h"

#include "core/voice/speech_gate.h"

#include <algorithm>
#include <cmath>

namespace lumo {

static_assert(PlayoutStep::HangOverRecords <= SpeechGate::Timing{}.hangOverBlocks, "a gate sends its whole hang-over");

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
    driftMs_ = 0;
    transitCount_ = 0;
    targetMs_ = MarginMs;
    lastExcessMs_ = 0;
    spareRun_ = 0;
    draining_ = false;
    fillDebtMs_ = 0;
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
    paused_ = false;
    spurtPlayed_ = false;
    waitedFrames_ = 0;
    tailFrames_ = 0;
    prerollLeft_ = 0;
    lastPlayedQuiet_ = false;
    quietRun_ = 0;
    tailSilent_ = false;
    lookBackDue_ = false;
    lookBackMs_ = 0;
    batchOpen_ = false;
    concealRun_ = 0;
    // A new spurt keeps what the network taught, but its schedule starts afresh.
    transitCount_ = 0;
}

std::int64_t PlayoutStep::transitOf(std::uint32_t sequence, std::int64_t atMs) const
{
    // Against the stream's own clock: a record every BlockMs of the talker's, which runs fast or
    // slow against ours by what the drift estimate has learnt.
    return atMs - transitBaseMs_ - std::llround(double(ahead(sequence, transitBase_)) * (BlockMs + driftMs_));
}

// The talker's clock against ours, from the least transit of each DriftBlock arrivals: a
// record that comes on time has the least, so the blocks' least transits lie on a line whose
// slope is how much later (or sooner) each record comes than the drift learnt so far says.
void PlayoutStep::noteDrift(std::uint32_t sequence, std::int64_t transitMs)
{
    blockLeast_ = blockFill_ == 0 ? transitMs : std::min(blockLeast_, transitMs);
    blockSequenceSum_ += double(ahead(sequence, transitBase_));
    if (++blockFill_ < DriftBlock)
        return;
    if (blockCount_ == DriftBlocks) {
        std::copy(blocks_.begin() + 1, blocks_.end(), blocks_.begin());
        --blockCount_;
    }
    blocks_[std::size_t(blockCount_++)] = DriftBlockLeast{blockSequenceSum_ / DriftBlock, blockLeast_};
    blockFill_ = 0;
    blockSequenceSum_ = 0;
    if (blockCount_ < DriftBlocks)
        return;
    const DriftBlockLeast& oldest = blocks_.front();
    const DriftBlockLeast& newest = blocks_.back();
    if (newest.sequence - oldest.sequence < DriftBlock)
        return;
    const double residual = double(newest.transitMs - oldest.transitMs) / (newest.sequence - oldest.sequence);
    driftMs_ = std::clamp(driftMs_ + residual, -MaxDriftMs, MaxDriftMs);
    // Transits from here on are measured against the new estimate: start the blocks afresh.
    blockCount_ = 0;
}

void PlayoutStep::restartDriftBlocks()
{
    blockCount_ = 0;
    blockFill_ = 0;
    blockSequenceSum_ = 0;
}

// The best schedule recent records kept: the least transit of the window.
std::int64_t PlayoutStep::scheduleFloor() const
{
    std::int64_t floor = transits_[0].ms;
    for (std::uint32_t i = 1; i < transitCount_; ++i)
        floor = std::min(floor, transits_[i].ms);
    return floor;
}

void PlayoutStep::noteTransit(std::uint32_t sequence, std::int64_t nowMs)
{
    if (transitCount_ == 0) {
        transitBase_ = sequence;
        transitBaseMs_ = nowMs;
        restartDriftBlocks();
    }
    // A record that comes right behind its predecessor (the tail of a burst after a delay
    // spike) was held up by it: only the burst's first record tells how late the network was.
    const bool behind = transitCount_ > 0 && sequence == lastSequence_ + 1 && nowMs - lastSequenceAtMs_ <= BurstMs;
    // A stream opens with the talker's gate sending the blocks it held back before the words
    // together: there every record but the last was sent late by the gate, not by the network.
    if (transitCount_ == 0)
        openingBatch_ = true;
    else if (!behind)
        openingBatch_ = false;
    else if (openingBatch_)
        transits_[transitCount_ - 1].queuedBehind = true;
    lastSequence_ = sequence;
    lastSequenceAtMs_ = nowMs;
    const Transit t{sequence, transitOf(sequence, nowMs), behind};
    noteDrift(sequence, t.ms);
    if (transitCount_ == TransitWindow) {
        std::copy(transits_.begin() + 1, transits_.end(), transits_.begin());
        transits_[TransitWindow - 1] = t;
    } else {
        transits_[transitCount_++] = t;
    }
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
        restartDriftBlocks();
    }
    // The oldest of the three is settled: how late it came against the best schedule around it.
    const Transit& settled = transits_[transitCount_ - 3];
    std::int64_t floor = transits_[0].ms;
    for (std::uint32_t i = 1; i < transitCount_; ++i)
        floor = std::min(floor, transits_[i].ms);
    if (!settled.queuedBehind)
        lateness_.add(int(std::min<std::int64_t>(settled.ms - floor, 1000)));
    // Up at once, down a millisecond a record: a percentile that sits on a step of the histogram
    // would otherwise move the target, and with it the playout, back and forth.
    const int wanted = std::min(MaxTargetMs, MarginMs + lateness_.percentile(TargetShare));
    targetMs_ = wanted >= targetMs_ ? wanted : targetMs_ - 1;
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
    // A talker whose gate closed numbers on from where it stopped: records missing from the
    // numbers, for longer than the wait has lasted, were lost, and the wait was no pause.
    if (paused_ && d > 0 && waitedFrames_ < d * FramesPerBlock)
        paused_ = false;
    if (paused_ && d >= 0) {
        // The talker paused (its sender dropped quiet blocks) and speaks again: the silence of
        // the pause takes the pre-roll, and the records from here on have a schedule of their own.
        paused_ = false;
        prerollDue_ = true;
        transitCount_ = 0;
        spareRun_ = 0;
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

int PlayoutStep::decideWithinMs(const Card& card)
{
    // The card takes its next period FrameMs - sincePeriodMs from now and then one period of what
    // it holds after another; what comes next is needed at the first period it finds nothing for.
    return card.queuedMs + card.scalerMs - card.sincePeriodMs + FrameMs - DecideAheadMs;
}

int PlayoutStep::driftLeadMs() const
{
    return int(std::ceil(std::max(0.0, driftMs_) * DriftLeadRecords));
}

int PlayoutStep::adjustFor(int surplusMs, int heldMs)
{
    // The card takes whole periods, so a record's slack moves a period at a time: putting in
    // first fills the part-period kept for the card (heldMs), taking out empties it first. A
    // talker whose clock runs slow brings its records a little later each time: the step starts
    // putting in that much sooner, so that the period is in the card before the slack is gone.
    const int lead = driftLeadMs();
    int adjust = 0;
    if (surplusMs < lead) {
        const int periods = (lead - surplusMs + FrameMs - 1) / FrameMs;
        adjust = -(periods * FrameMs - heldMs);
    }
    // Taking out only once a few records in a row had a period to spare: one that came early by
    // chance says little, and what is taken out on its word would be put back soon after. A
    // spike's worth (a block beyond that) drains on while a whole period is to spare, down to
    // the target rather than to the edge of the dead band; a little jitter's worth does not.
    const int spare = lead + FrameMs + SpeedUpAboveMs;
    spareRun_ = surplusMs >= spare ? spareRun_ + 1 : 0;
    if (spareRun_ >= SpareRecords && surplusMs >= spare + BlockMs)
        draining_ = true;
    if (surplusMs < lead + FrameMs)
        draining_ = false;
    if (draining_)
        spareRun_ = std::max(spareRun_, SpareRecords);
    if (spareRun_ >= SpareRecords) {
        adjust = (surplusMs - lead) / FrameMs * FrameMs + heldMs;
    } else if (fillDebtMs_ > 0 && surplusMs >= lead + FrameMs) {
        // A late record's wait was filled in: the records after it have that time to spare
        // at once, and it is not left to jitter's slow way of giving back.
        adjust = std::min(fillDebtMs_, (surplusMs - lead) / FrameMs * FrameMs) + heldMs;
    } else if (surplusMs < lead) {
        fillDebtMs_ = 0;  // the time was needed after all: the line has become slower
    }
    adjust = std::clamp(adjust, -MaxAdjustMs, MaxAdjustMs);
    if (adjust > 0)
        fillDebtMs_ = std::max(0, fillDebtMs_ - adjust);
    if (adjust > 0)
        ++counters_.fasterRecords;
    if (adjust < 0)
        ++counters_.slowerRecords;
    return adjust;
}

PlayoutStep::Chunk PlayoutStep::play(Slot& s, std::int64_t nowMs, const Card& card)
{
    // How long before it would have been too late this record came (had it not, the card would
    // have been handed a concealment just before its period after what it holds), and how late it came
    // against the best recent schedule: their sum is the slack an on-time record has now.
    const std::int64_t slack = nowMs - s.arrivedMs + decideWithinMs(card);
    const std::int64_t late = transitCount_ ? std::max<std::int64_t>(0, transitOf(s.record.sequence, s.arrivedMs) - scheduleFloor()) : 0;
    if (lookBackDue_) {
        lookBackDue_ = false;
        batchOpen_ = true;
        batchStart_ = next_;
        batchLastArrivedMs_ = s.arrivedMs;
        lookBackMs_ = 0;
    }
    if (batchOpen_) {
        // Records of the batch come each within BurstMs of the one before; beyond the gate's
        // look-back a batch is backlog, to be given back.
        if (next_ != batchStart_ && s.arrivedMs - batchLastArrivedMs_ > BurstMs) {
            batchOpen_ = false;
        } else {
            std::uint32_t together = next_ - batchStart_;
            std::int64_t lastMs = s.arrivedMs;
            while (together < std::uint32_t(SpeechGate::MaxLookBackBlocks) && holds(batchStart_ + together + 1) &&
                   slot(batchStart_ + together + 1).arrivedMs - lastMs <= BurstMs)
                lastMs = slot(batchStart_ + ++together).arrivedMs;
            batchLastArrivedMs_ = s.arrivedMs;
            lookBackMs_ = std::max(lookBackMs_, int(together) * BlockMs);
            if (together >= std::uint32_t(SpeechGate::MaxLookBackBlocks)) batchOpen_ = false;
        }
    }
    // The look-back's slack is kept (it was sent late, not delayed by the network); beyond it
    // the slack over the target is spare.
    fillDebtMs_ = std::min(MaxAdjustMs * FramesPerBlock, fillDebtMs_ + waitedFrames_ * FrameMs);
    std::int64_t excess = slack + late - targetMs_;
    excess = excess > 0 ? std::max<std::int64_t>(0, excess - lookBackMs_) : excess;
    lastExcessMs_ = int(std::clamp<std::int64_t>(excess, -1000, 1000));
    Chunk chunk{Kind::Record, FramesPerBlock, s.record, adjustFor(lastExcessMs_, card.heldMs), 1000};
    // What this record is asked to give back is spare no more (a loss must not give it again).
    lastExcessMs_ -= std::max(0, chunk.adjustMs);
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
    tailFrames_ = 0;
    tailSilent_ = false;
    concealRun_ = 0;
    return chunk;
}

PlayoutStep::Chunk PlayoutStep::pull(std::int64_t nowMs, int queuedMs)
{
    return pull(nowMs, Card{queuedMs, 0, FrameMs, 0});
}

PlayoutStep::Chunk PlayoutStep::pull(std::int64_t nowMs, const Card& card)
{
    if (!active_)
        return {};
    if (prerollDue_) {
        // Silence before the first record of a spurt, or back from a pause inside one, in whole
        // frames, so that the records after it have the target's slack: what the card holds
        // gives part of it, and a record that has waited already has that much of it.
        prerollDue_ = false;
        std::int64_t waited = 0;
        if (holds(next_)) {
            const Slot& first = slot(next_);
            waited = nowMs - first.arrivedMs + std::max<std::int64_t>(0, transitOf(first.record.sequence, first.arrivedMs) - scheduleFloor());
        }
        const std::int64_t needed = targetMs_ - waited - decideWithinMs(card);
        const int frames = int(std::clamp<std::int64_t>((needed + FrameMs - 1) / FrameMs, 0, MaxPrerollFrames));
        // Where the voice still sounds (nothing had come after speech), zeros would cut it off:
        // the slack is built with the copy of the decoder, the record it waits for decoding
        // exactly after it.
        const bool voiceSounds = spurtPlayed_ && !tailSilent_;
        // A spurt that starts (or starts again after the voice faded) may begin with the gate's
        // look-back; records held up inside speech are the network's delay, to be given back.
        lookBackDue_ = !voiceSounds;
        if (voiceSounds) {
            lookBackMs_ = 0;
            batchOpen_ = false;
        }
        if (frames > 0 && !voiceSounds)
            return Chunk{Kind::Silence, frames, {}, 0, 1000};
        prerollLeft_ = frames;
    }
    if (prerollLeft_ > 0) {
        const int frames = std::min(prerollLeft_, FramesPerBlock);
        prerollLeft_ -= frames;
        counters_.fillFrames += std::uint64_t(frames);
        Chunk chunk = conceal(frames);
        chunk.aside = true;
        return chunk;
    }
    const int within = decideWithinMs(card);
    for (std::uint32_t guard = 0; guard <= Capacity; ++guard) {
        // The first record of a spurt is committed only when the card needs it: until then a
        // swapped earlier one may still come.
        if (holds(next_) && (spurtPlayed_ || within <= 0))
            return play(slot(next_), nowMs, card);
        if (within > 0) {
            // It may still come before the card needs it.
            Chunk wait{Kind::Wait, 0, {}, 0, 1000};
            wait.askAtMs = nowMs + within;
            return wait;
        }
        if (heldCount_ == 0) {
            // Nothing newer either: the next record is late, or the talker stopped or paused
            // (a sender whose gate closed sends nothing).
            if (tailFrames_ >= EndAfterFrames || !spurtPlayed_) {
                active_ = false;
                waitedFrames_ = 0;
                tailFrames_ = 0;
                return {};
            }
            ++waitedFrames_;
            ++tailFrames_;
            // After a block's time the pause is taken as one.
            if (waitedFrames_ > FramesPerBlock)
                paused_ = true;
            // After a gate's whole hang-over of quiet records the talker most likely stopped:
            // silence, so that the end of a spurt is not padded with sound nobody made. After
            // fewer, the gate still had quiet records to send: the next one is late or lost, and
            // stands in at the talker's background level for as long as the rest of the
            // hang-over and the target's slack would take, no longer.
            if (lastPlayedQuiet_ && (tailSilent_ || quietRun_ >= HangOverRecords ||
                                     tailFrames_ > (HangOverRecords - quietRun_) * FramesPerBlock + (targetMs_ + SwapGraceMs) / FrameMs)) {
                tailSilent_ = true;
                return Chunk{Kind::Silence, 1, {}, 0, 1000};
            }
            // After speech, concealed aside, with a copy of the decoder, so that a late record
            // still decodes exactly what the talker's encoder meant; fading to the talker's
            // background as any concealment until something comes or the spurt ends.
            ++counters_.fillFrames;
            Chunk chunk = conceal(1);
            chunk.aside = true;
            return chunk;
        }
        // A newer record came: the wait is a gap inside the talk, concealed by the decoder itself
        // (where the voice had faded out already, it comes back at the background's level).
        tailFrames_ = 0;
        // A gap: the missing record may still come (swapped), or it was lost. It is awaited
        // as long as records have come late lately, and a little past its successor.
        const std::uint32_t k = firstLaterDistance();
        const std::int64_t laterAt = slots_[(next_ + k) % Capacity].arrivedMs;
        std::int64_t expected = laterAt - static_cast<std::int64_t>(k) * BlockMs;
        // A successor that came late itself says nothing of when the missing one was due: the
        // best recent schedule does.
        if (transitCount_ > 0)
            expected = std::min(expected, laterAt - (transitOf(next_ + k, laterAt) - scheduleFloor()) - std::int64_t(k) * BlockMs);
        const int spread = targetMs_;
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
        // Delay the records have had to spare, record after record, is given back here first.
        const int spareFrames = spareRun_ >= SpareRecords ? std::max(0, lastExcessMs_ - driftLeadMs()) / FrameMs : 0;
        const int frames = std::max(0, FramesPerBlock - waitedFrames_ - spareFrames);
        lastExcessMs_ -= std::max(0, FramesPerBlock - waitedFrames_ - frames) * FrameMs;
        // Frames concealed beyond this record's block stood for the next one's time already.
        waitedFrames_ = std::max(0, waitedFrames_ - FramesPerBlock);
        if (frames > 0)
            return conceal(frames);
    }
    return conceal(1);
}

namespace {

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

}  // namespace

void CardPeriods::noteReturn(std::int64_t atUs)
{
    if (!known_) {
        known_ = true;
        anchorUs_ = atUs;
        return;
    }
    // How far after the estimated period this return came. A little before it: the card's
    // periods come sooner than thought, and the estimate moves there at once. Anything else is
    // taken as handled late (a return long before a period cannot be told from one late after
    // the one before): the estimate creeps towards it, which follows a card slower than our
    // clock, and brings an estimate that started late round to the periods within a second.
    const std::int64_t after = atUs - anchorUs_ - floorDiv(atUs - anchorUs_, PeriodUs) * PeriodUs;
    if (after > PeriodUs - EarlyUs)
        anchorUs_ = atUs;
    else
        anchorUs_ = atUs - after + std::min(after, CreepUs);
}

int CardPeriods::sinceMs(std::int64_t nowUs) const
{
    if (!known_)
        return PlayoutStep::FrameMs;
    const std::int64_t since = nowUs - anchorUs_ - floorDiv(nowUs - anchorUs_, PeriodUs) * PeriodUs;
    return int((since + 999) / 1000);
}

namespace {

constexpr int FrameSamples = 80;

int frameRms(const std::int16_t* frame, int count)
{
    std::int64_t energy = 0;
    for (int i = 0; i < count; ++i)
        energy += std::int64_t(frame[i]) * frame[i];
    return int(std::sqrt(double(energy) / count) + 0.5);
}

}  // namespace

void BackgroundLevel::note(const std::int16_t* samples, int count)
{
    int quietest = MaxRms;
    for (int at = 0; at + FrameSamples <= count; at += FrameSamples)
        quietest = std::min(quietest, frameRms(samples + at, FrameSamples));
    quietest_[std::size_t(noted_ % Blocks)] = quietest;
    ++noted_;
}

int BackgroundLevel::rms() const
{
    if (noted_ == 0)
        return 0;
    const int known = std::min(noted_, Blocks);
    return *std::min_element(quietest_.begin(), quietest_.begin() + known);
}

bool hardlyAboveBackground(const std::int16_t* samples, int count, int backgroundRms)
{
    for (int at = 0; at + FrameSamples <= count; at += FrameSamples)
        if (frameRms(samples + at, FrameSamples) > BackgroundMultiple * backgroundRms)
            return false;
    return true;
}

void keepAboveFloor(std::int16_t* samples, int count, int floorRms, std::uint32_t* seed)
{
    if (floorRms <= 0)
        return;
    for (int at = 0; at < count; at += FrameSamples) {
        const int n = std::min(FrameSamples, count - at);
        const int rms = frameRms(samples + at, n);
        if (rms >= floorRms)
            continue;
        // Uniform noise of RMS r spans +-r*sqrt(3); what the frame lacks of the floor's energy.
        const int spread = int(std::sqrt(3.0 * (double(floorRms) * floorRms - double(rms) * rms)) + 0.5);
        for (int i = at; i < at + n; ++i) {
            *seed = *seed * 1664525u + 1013904223u;
            const int noise = int((*seed >> 16) % std::uint32_t(2 * spread + 1)) - spread;
            samples[i] = static_cast<std::int16_t>(std::clamp(int(samples[i]) + noise, -32768, 32767));
        }
    }
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
