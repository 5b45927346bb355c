// The playout step on sequences of arrivals, run in simulated milliseconds against a sound card
// that takes 10 ms every 10 ms, as the player drives it: asking for more whenever the card
// holds 20 ms or less (after each period it takes, at each arrival, and when the step asked to
// be asked again). A record the step asks to time-scale lasts as long as the player's
// time-scaler makes it, and every millisecond the card finds nothing inside a talk spurt is
// counted as a mute.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "core/voice/playout.h"

namespace lumo {
namespace {

using StepKind = PlayoutStep::Kind;

// A record; `voice` tells two talkers' records of the same number apart.
VoiceRecord rec(std::uint32_t sequence, std::uint8_t voice = 0)
{
    VoiceRecord r;
    r.sequence = sequence;
    r.speech.fill(static_cast<std::uint8_t>(sequence + voice));
    return r;
}

struct Heard {
    StepKind kind;
    std::uint32_t sequence;  // records only
    int frames;
    double atMs;             // when the card starts playing it
    double lengthMs;
    int adjustMs;
    int gain;
    bool aside = false;      // concealed with a copy of the decoder
};

class Listener {
public:
    // Delivers `sequence` at `atMs` (arrivals are handled in time order by run()).
    void deliver(std::int64_t atMs, std::uint32_t sequence, std::uint8_t voice = 0) { arrivals_.insert({atMs, sequence, voice}); }
    // A talker whose record s leaves at (s - first) * 60 ms + start and arrives `delay` later.
    void talk(std::uint32_t first, std::uint32_t last, std::int64_t start = 0, std::int64_t delay = 0, std::uint8_t voice = 0)
    {
        for (std::uint32_t s = first; s != last + 1; ++s) deliver(start + std::int64_t(s - first) * 60 + delay, s, voice);
    }

    void run(std::int64_t untilMs)
    {
        for (; now_ <= untilMs; ++now_) {
            if (now_ % PlayoutStep::FrameMs == 0) {
                // The card takes its next period.
                if (step.active() && queuedMs_ < 10) mutedMs += 10 - queuedMs_;
                queuedMs_ = std::max(0.0, queuedMs_ - 10);
                pump();
            }
            for (auto it = arrivals_.begin(); it != arrivals_.end() && std::get<0>(*it) <= now_;) {
                step.push(rec(std::get<1>(*it), std::get<2>(*it)), now_);
                it = arrivals_.erase(it);
                pump();  // the player takes a record in at once
            }
            if (askAtMs_ >= 0 && now_ >= askAtMs_) pump();
        }
    }
    std::vector<std::uint32_t> played() const
    {
        std::vector<std::uint32_t> out;
        for (const Heard& h : heard)
            if (h.kind == StepKind::Record) out.push_back(h.sequence);
        return out;
    }
    double playedAt(std::uint32_t sequence) const
    {
        for (const Heard& h : heard)
            if (h.kind == StepKind::Record && h.sequence == sequence) return h.atMs;
        return -1;
    }
    const Heard* find(std::uint32_t sequence) const
    {
        for (const Heard& h : heard)
            if (h.kind == StepKind::Record && h.sequence == sequence) return &h;
        return nullptr;
    }
    int frames(StepKind kind) const
    {
        int n = 0;
        for (const Heard& h : heard)
            if (h.kind == kind) n += h.frames;
        return n;
    }
    // Frames of each kind played strictly between two records.
    int framesBetween(std::uint32_t a, std::uint32_t b, StepKind kind) const
    {
        const double from = playedAt(a), to = playedAt(b);
        int n = 0;
        for (const Heard& h : heard)
            if (h.kind == kind && h.atMs > from && h.atMs < to) n += h.frames;
        return n;
    }

    int framesAfter(std::uint32_t a, StepKind kind) const
    {
        int n = 0;
        for (const Heard& h : heard)
            if (h.kind == kind && h.atMs > playedAt(a)) n += h.frames;
        return n;
    }

    // Frames of silence after a spurt's first record, before the step's spurt ended, that cut
    // the voice off (the talk is speech).
    int zerosInsideSpurts() const { return quiet ? 0 : silenceInsideSpurts(); }
    // Frames of silence inside spurts after quiet records (the talker most likely stopped).
    int zerosAfterQuiet() const { return quiet ? silenceInsideSpurts() : 0; }

    PlayoutStep step;
    std::vector<Heard> heard;
    double mutedMs = 0;  // the card ran dry inside a spurt
    bool quiet = false;  // the talk is quiet blocks (time-scaled up to half)
    std::set<std::uint32_t> quietRecords;  // these alone are quiet (the talker's background)

private:
    void pump()
    {
        askAtMs_ = -1;
        // What is handed over now plays after the period the card is playing.
        const double startsAtMs = double(now_ - now_ % PlayoutStep::FrameMs + PlayoutStep::FrameMs);
        while (queuedMs_ <= PlayoutStep::LeadMs) {
            const bool wasActive = step.active();
            PlayoutStep::Card card;
            // Whole periods are the card's; the player keeps a part-period back (time-scaled
            // records end anywhere) until what comes next completes it.
            card.queuedMs = int(queuedMs_) / PlayoutStep::FrameMs * PlayoutStep::FrameMs;
            card.heldMs = int(queuedMs_) - card.queuedMs;
            card.sincePeriodMs = int(now_ % PlayoutStep::FrameMs);
            const PlayoutStep::Chunk c = step.pull(now_, card);
            if (c.kind == StepKind::Nothing && wasActive) heard.push_back({StepKind::Nothing, 0, 0, startsAtMs + queuedMs_, 0, 0, 0});  // the spurt ended
            if (c.kind == StepKind::Wait) {
                EXPECT_GT(c.askAtMs, now_);
                askAtMs_ = c.askAtMs;
            }
            if (c.kind == StepKind::Nothing || c.kind == StepKind::Wait) return;
            ASSERT_GT(c.frames, 0);
            double length = c.frames * PlayoutStep::FrameMs;
            if (c.kind == StepKind::Record) {
                ASSERT_EQ(c.frames, PlayoutStep::FramesPerBlock);
                length /= playSpeed(c.adjustMs, quiet);
                step.notePlayedQuiet(quiet || quietRecords.count(c.record.sequence));  // as the player's renderer finds it
            }
            heard.push_back({c.kind, c.record.sequence, c.frames, startsAtMs + queuedMs_, length, c.adjustMs, c.gainPermille, c.aside});
            queuedMs_ += length;
        }
    }

    int silenceInsideSpurts() const
    {
        int n = 0;
        bool inSpurt = false;
        for (const Heard& h : heard) {
            if (h.kind == StepKind::Record) inSpurt = true;
            if (h.kind == StepKind::Nothing) inSpurt = false;
            if (h.kind == StepKind::Silence && inSpurt) n += h.frames;
        }
        return n;
    }

    std::multiset<std::tuple<std::int64_t, std::uint32_t, std::uint8_t>> arrivals_;
    std::int64_t now_ = 0;
    double queuedMs_ = 0;      // handed to the card, after the period it is playing
    std::int64_t askAtMs_ = -1;  // when the step asked to be asked again
};

std::vector<std::uint32_t> range(std::uint32_t first, std::uint32_t last, std::set<std::uint32_t> without = {})
{
    std::vector<std::uint32_t> out;
    for (std::uint32_t s = first; s != last + 1; ++s)
        if (!without.count(s)) out.push_back(s);
    return out;
}

TEST(PlayoutTest, InOrderStreamPlaysEveryRecordOnceBackToBack)
{
    Listener l;
    l.talk(40, 89, 0, 5);
    l.run(4000);
    EXPECT_EQ(l.played(), range(40, 89));
    // The first record sounds within about one block of its arrival, and from then on the
    // records follow one another without a gap.
    EXPECT_LE(l.playedAt(40) - 5, PlayoutStep::BlockMs);
    for (std::uint32_t s = 41; s <= 89; ++s) EXPECT_EQ(l.playedAt(s) - l.playedAt(s - 1), 60) << s;
    EXPECT_EQ(l.step.counters().concealed, 0u);
    // A clean line needs no time-scaling: every record plays exactly as decoded.
    for (const Heard& h : l.heard) EXPECT_EQ(h.adjustMs, 0) << h.sequence;
    EXPECT_EQ(l.mutedMs, 0);
    EXPECT_EQ(l.zerosInsideSpurts(), 0);
    EXPECT_FALSE(l.step.active());
    EXPECT_EQ(l.framesBetween(40, 89, StepKind::Conceal), 0);
    EXPECT_EQ(l.heard.back().kind, StepKind::Nothing);
}

// On a clean line a record waits only for the card's next period that it can still be handed to
// (the step decides DecideAheadMs before the card takes it), plus the target: wherever the
// arrivals fall between the card's periods, none waits a period more than that.
TEST(PlayoutTest, ACleanLineWaitsForTheCardsNextPeriodAndNoMore)
{
    for (int phase = 0; phase < PlayoutStep::FrameMs; ++phase) {
        Listener l;
        l.talk(1, 100, phase);
        l.run(100 * 60 + 1000);
        EXPECT_EQ(l.played(), range(1, 100)) << phase;
        const int least = PlayoutStep::MarginMs + PlayoutStep::DecideAheadMs;
        for (const std::uint32_t s : {1u, 50u, 100u}) {
            const double lag = l.playedAt(s) - (s - 1) * 60.0 - phase;
            EXPECT_GE(lag, least) << phase << ", record " << s;
            EXPECT_LT(lag, least + PlayoutStep::FrameMs) << phase << ", record " << s;
        }
        EXPECT_EQ(l.mutedMs, 0) << phase;
    }
}

// A talker's gate sends the blocks before a word together with its first one. Their slack was
// not the network's doing: the words after them are not played faster to give it back. The same
// records held up inside speech (a delay spike) are given back.
TEST(PlayoutTest, TheGatesLookBackIsNotSqueezedOutOfTheWords)
{
    Listener l;
    for (std::uint32_t s = 1; s <= 3; ++s) l.deliver(120, s);  // recorded over 180 ms, sent at once
    l.talk(4, 60, 180);
    l.run(5000);
    EXPECT_EQ(l.played(), range(1, 60));
    for (const Heard& h : l.heard) EXPECT_LE(h.adjustMs, 0) << h.sequence;
    for (std::uint32_t s = 2; s <= 60; ++s) EXPECT_EQ(l.playedAt(s) - l.playedAt(s - 1), 60) << s;
}

// After the last record nothing newer comes. After speech, the erasure output of a copy of the
// decoder (the decoder itself stays in step with the talker's encoder, for a record that is only
// late) until the spurt is taken as ended, fading to its floor, never zeros; after a quiet record
// (a gate's hang-over) silence, so that the end of a spurt is not padded.
TEST(PlayoutTest, AfterTheLastRecordTheTailDependsOnWhatItWas)
{
    struct Case {
        bool quiet;
        int concealed, zeros;
    };
    for (const Case& c : {Case{false, PlayoutStep::EndAfterFrames, 0}, Case{true, 0, PlayoutStep::EndAfterFrames}}) {
        Listener l;
        l.quiet = c.quiet;
        l.talk(40, 89, 0, 5);
        l.run(4000);
        EXPECT_EQ(l.played(), range(40, 89)) << c.quiet;
        EXPECT_FALSE(l.step.active()) << c.quiet;
        EXPECT_EQ(l.frames(StepKind::Conceal), c.concealed) << c.quiet;
        for (const Heard& h : l.heard) EXPECT_TRUE(h.kind != StepKind::Conceal || h.aside) << c.quiet;
        EXPECT_EQ(l.zerosAfterQuiet(), c.zeros) << c.quiet;
        EXPECT_EQ(l.zerosInsideSpurts(), 0) << c.quiet;
        EXPECT_EQ(l.heard.back().kind, StepKind::Nothing) << c.quiet;
        if (!c.quiet) {
            // Fading as any concealment: to its floor, not to silence.
            EXPECT_EQ(l.heard[l.heard.size() - 2].gain, PlayoutStep::FadeFloorPermille);
        }
    }
}

// Quiet records inside the talk (a pause between words, shorter than a gate's hang-over) and
// then records missing that the hang-over still owed: if the talk goes on, the wait is never
// zeros; if the talker stopped there, the background stands in only for the rest of the
// hang-over and the target's slack, then silence. After a whole hang-over the end of the spurt
// is silence at once.
TEST(PlayoutTest, AMissingRecordAfterQuietOnesIsConcealedUnlessTheHangOverEnded)
{
    struct Case {
        int quiet;          // quiet records before the missing ones
        std::uint32_t lost;
        bool talkGoesOn;    // records after them come
    };
    for (const Case c : {Case{1, 1, true}, Case{1, 3, true}, Case{2, 2, true}, Case{3, 1, true}, Case{1, 0, false}, Case{3, 0, false},
                         Case{4, 0, false}}) {
        SCOPED_TRACE(std::to_string(c.quiet) + " quiet, " + std::to_string(c.lost) + " lost, " + (c.talkGoesOn ? "talk goes on" : "talker stopped"));
        Listener l;
        const std::uint32_t gap = 30, last = c.talkGoesOn ? 60 : gap - 1;
        for (std::uint32_t s = gap - std::uint32_t(c.quiet); s < gap; ++s) l.quietRecords.insert(s);
        for (std::uint32_t s = 1; s <= last; ++s)
            if (s < gap || s >= gap + c.lost) l.deliver(std::int64_t(s - 1) * 60 + 5, s);
        l.run(std::int64_t(last) * 60 + 2000);
        EXPECT_EQ(l.played().back(), last);
        if (c.talkGoesOn) {
            EXPECT_EQ(l.frames(StepKind::Silence), l.framesBetween(0, 1, StepKind::Silence)) << "no zeros after the first record";
            EXPECT_GE(l.framesBetween(gap - 1, gap + c.lost, StepKind::Conceal), 1);
            continue;
        }
        // The spurt's end: what stands in is bounded by the hang-over left, then silence.
        const int bound = c.quiet >= PlayoutStep::HangOverRecords
                              ? 0
                              : (PlayoutStep::HangOverRecords - c.quiet) * PlayoutStep::FramesPerBlock +
                                    (l.step.targetMs() + PlayoutStep::SwapGraceMs) / PlayoutStep::FrameMs + 1;
        EXPECT_LE(l.framesAfter(last, StepKind::Conceal), bound);
        EXPECT_GT(l.framesAfter(last, StepKind::Silence), 0);
    }
}

// Records lost, and the one after them swapped behind its own successor, on a line with 0-40 ms
// of jitter: a gap in the numbers is loss, not a pause of the talker, so no pre-roll is built
// again on top of the wait; and the time concealed while the late record was awaited is given
// back by the records after it, which have it to spare.
TEST(PlayoutTest, ALateRecordAfterALossAddsOnlyItsOwnLateness)
{
    for (const std::uint32_t lost : {1u, 2u})
    for (const std::uint32_t gap : {60u, 100u, 140u, 180u}) {
        SCOPED_TRACE(std::to_string(lost) + " lost at " + std::to_string(gap));
        Listener l;
        std::mt19937 random(gap);
        const std::uint32_t late = gap + lost;
        auto sent = [](std::uint32_t s) { return std::int64_t(s - 1) * 60; };
        std::map<std::uint32_t, std::int64_t> arrival;
        for (std::uint32_t s = 1; s <= 240; ++s) arrival[s] = sent(s) + std::int64_t(random() % 41);
        arrival[late] = arrival[late + 1] + 1;
        std::set<std::uint32_t> missing;
        for (std::uint32_t s = gap; s < late; ++s) missing.insert(s);
        for (const auto& [s, at] : arrival)
            if (!missing.count(s)) l.deliver(at, s);
        l.run(240 * 60 + 2000);
        EXPECT_EQ(l.played(), range(1, 240, missing));
        auto lag = [&](std::uint32_t s) { return l.playedAt(s) - double(sent(s)); };
        double before = 0, worst = 0;
        for (std::uint32_t s = gap - 10; s < gap; ++s) before = std::max(before, lag(s));
        for (std::uint32_t s = late; s <= 240; ++s) worst = std::max(worst, lag(s));
        // Nothing later than the late record's own lateness and a few of the card's periods, and
        // back to the lag before within a second.
        EXPECT_LE(worst, std::max(before, double(arrival[late] - sent(late))) + 3 * PlayoutStep::FrameMs);
        for (std::uint32_t s = late + 17; s <= 240; ++s) ASSERT_LE(lag(s), before + 20) << s;
        EXPECT_EQ(l.zerosInsideSpurts(), 0);
    }
}

TEST(PlayoutTest, BurstsOfTwoAndThreePlayInOrderWithoutLoss)
{
    for (int burst : {2, 3}) {
        Listener l;
        // Every `burst` records leave together once their last one is due.
        for (std::uint32_t s = 1; s <= 60; ++s) l.deliver(std::int64_t((s - 1) / burst * burst + burst - 1) * 60, s);
        l.run(5000);
        EXPECT_EQ(l.played(), range(1, 60)) << burst;
        EXPECT_EQ(l.step.counters().concealed, 0u) << burst;
        EXPECT_EQ(l.step.counters().late, 0u) << burst;
    }
}

TEST(PlayoutTest, SwappedRecordsArePlayedInOrder)
{
    // One record in eight arrives 20 ms after its successor: more than the 5 % the target
    // leaves out.
    Listener w;
    for (std::uint32_t s = 1; s <= 60; ++s) {
        std::int64_t at = std::int64_t(s - 1) * 60 + 10;
        if (s % 8 == 2) at += 80;  // behind its successor
        w.deliver(at, s);
    }
    w.run(5000);
    // A fresh line starts at a clean line's delay: its very first swap may come too late.
    const std::uint32_t first = w.step.counters().late ? 2 : 0;
    EXPECT_EQ(w.played(), range(1, 60, {first}));
    EXPECT_LE(w.step.counters().late, 1u);
    EXPECT_EQ(w.step.counters().concealed, w.step.counters().late);
    EXPECT_EQ(w.mutedMs, 0);
    EXPECT_EQ(w.zerosInsideSpurts(), 0);
    // Once it has seen swaps it keeps enough delay: the later swaps cost no waiting.
    EXPECT_EQ(w.framesBetween(41, 43, StepKind::Conceal) + w.framesBetween(41, 43, StepKind::Silence), 0);
    EXPECT_GE(w.step.targetMs(), 60 + PlayoutStep::CardFloorMs);
}

TEST(PlayoutTest, SwappedFirstRecordsOfASpurtStillPlayInOrder)
{
    // Within the pre-roll a swapped first record still plays first; one that comes after the
    // spurt began is late, not a new stream.
    Listener l;
    l.deliver(0, 2);
    l.deliver(5, 1);
    l.talk(3, 20, 120);
    l.run(2000);
    EXPECT_EQ(l.played(), range(1, 20));

    Listener straggler;
    straggler.deliver(0, 12);
    straggler.deliver(40, 11);
    straggler.talk(13, 30, 60);
    straggler.run(3000);
    EXPECT_EQ(straggler.played(), range(12, 30));
    EXPECT_EQ(straggler.step.counters().late, 1u);
    EXPECT_EQ(straggler.step.counters().restarts, 0u);
}

TEST(PlayoutTest, DuplicatesArePlayedOnce)
{
    Listener l;
    l.talk(1, 40, 0, 0);
    l.talk(1, 40, 0, 25);   // every record again 25 ms later
    l.talk(5, 10, 0, 400);  // and some long after they were played
    l.run(4000);
    EXPECT_EQ(l.played(), range(1, 40));
    EXPECT_EQ(l.step.counters().duplicates, 46u);
}

TEST(PlayoutTest, LostRecordsAreConcealedInTheirPlace)
{
    for (const std::set<std::uint32_t>& lost : {std::set<std::uint32_t>{10}, std::set<std::uint32_t>{10, 11},
                                                std::set<std::uint32_t>{10, 20, 21, 30}}) {
        Listener l;
        for (std::uint32_t s = 1; s <= 40; ++s)
            if (!lost.count(s)) l.deliver(std::int64_t(s - 1) * 60, s);
        l.run(4000);
        EXPECT_EQ(l.played(), range(1, 40, lost));
        EXPECT_EQ(l.step.counters().concealed, lost.size());
        EXPECT_EQ(l.step.counters().late, 0u);
        // A lost record's time is filled by the decoder's erasure output once a newer one has
        // come (silence while nothing newer had), never by another record, and the stream stays
        // on time: no lag builds up.
        EXPECT_GE(l.framesBetween(9, 12, StepKind::Conceal), 1);
        EXPECT_LE(l.framesBetween(9, 12, StepKind::Conceal) + l.framesBetween(9, 12, StepKind::Silence), 2 * int(PlayoutStep::FramesPerBlock) + 1);
        EXPECT_EQ(l.mutedMs, 0);
        EXPECT_EQ(l.zerosInsideSpurts(), 0);
        // Inside speech the voice never fades out to zeros, however many records are missing
        // in a row: only after the last one is the spurt ended.
        EXPECT_EQ(l.frames(StepKind::Silence), l.framesBetween(0, 1, StepKind::Silence));
        // The wait for a lost record counts towards its block: the records after it play on
        // the talker's cadence (to a 10 ms frame), not a wait later.
        EXPECT_LE(l.playedAt(40) - l.playedAt(1), 39 * 60 + PlayoutStep::FrameMs) << "lag built up";
    }
}

TEST(PlayoutTest, LateRecordIsDroppedNotPlayedOutOfOrder)
{
    Listener l;
    for (std::uint32_t s = 1; s <= 40; ++s) l.deliver(std::int64_t(s - 1) * 60 + (s == 15 ? 500 : 0), s);
    l.run(4000);
    EXPECT_EQ(l.played(), range(1, 40, {15}));
    EXPECT_EQ(l.step.counters().late, 1u);
    EXPECT_EQ(l.step.counters().concealed, 1u);
    const auto p = l.played();
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
}

TEST(PlayoutTest, RestartedTalkerIsPickedUpFromItsNewNumbers)
{
    // After a pause: a number from the past is a new stream.
    Listener paused;
    paused.talk(500, 530);
    paused.talk(1, 30, 31 * 60 + 1500);
    paused.run(6000);
    std::vector<std::uint32_t> expected = range(500, 530);
    for (std::uint32_t s : range(1, 30)) expected.push_back(s);
    EXPECT_EQ(paused.played(), expected);
    EXPECT_EQ(paused.step.counters().restarts, 1u);

    // Without a pause, but far behind what was playing.
    Listener jumped;
    jumped.talk(500, 530);
    jumped.talk(1, 30, 31 * 60);
    jumped.run(6000);
    EXPECT_EQ(jumped.played(), expected);

    // Or far ahead of anything a stream skips: also a new numbering, played from its start.
    Listener leapt;
    leapt.talk(500, 530);
    leapt.talk(90000, 90029, 31 * 60);
    leapt.run(6000);
    std::vector<std::uint32_t> both = range(500, 530);
    for (std::uint32_t s : range(90000, 90029)) both.push_back(s);
    EXPECT_EQ(leapt.played(), both);
    EXPECT_EQ(leapt.step.counters().restarts, 1u);
}

TEST(PlayoutTest, PausesOfTheTalkerAddNoLag)
{
    Listener l;
    l.talk(1, 20, 0, 20);
    l.talk(21, 40, 20 * 60 + 90, 20);    // a short pause: 90 ms
    l.talk(41, 60, 40 * 60 + 1090, 20);  // a long one
    l.run(7000);
    EXPECT_EQ(l.played(), range(1, 60));
    const double before = l.playedAt(20) - (19 * 60 + 20);
    EXPECT_LE(l.playedAt(40) - (39 * 60 + 90 + 20), before + 10);
    EXPECT_LE(l.playedAt(60) - (59 * 60 + 1090 + 20), before + 10);
}

TEST(PlayoutTest, JitterGrowsTheDelayAndCalmShrinksIt)
{
    Listener l;
    std::mt19937 random(3);
    // 0-40 ms of jitter with one record in ten swapped behind its successor for 300 records,
    // then a calm network.
    for (std::uint32_t s = 1; s <= 300; ++s) {
        std::int64_t at = std::int64_t(s - 1) * 60 + std::int64_t(random() % 41);
        if (random() % 10 == 0) at += 60;
        l.deliver(at, s);
    }
    l.talk(301, 1000, 300 * 60, 0);
    l.run(1000 * 60 + 1000);
    const auto p = l.played();
    // Everything arrives and is played, in order, once; only the very first swaps may come too
    // late while the step learns.
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
    EXPECT_EQ(std::set<std::uint32_t>(p.begin(), p.end()).size(), p.size());
    EXPECT_GE(p.size(), 997u);
    EXPECT_LE(l.step.counters().late, 3u);
    double worst = 0;
    for (std::uint32_t s = 1; s <= 300; ++s)
        if (l.playedAt(s) >= 0) worst = std::max(worst, l.playedAt(s) - double(s - 1) * 60);
    EXPECT_LT(worst, 150) << "added lag is bounded";
    // Calm again: the lateness learnt has faded, the target is back near a clean line's and the
    // delay followed it while the talk went on.
    EXPECT_LE(l.step.targetMs(), PlayoutStep::CardFloorMs + PlayoutStep::MarginMs + 4);
    EXPECT_LE(l.playedAt(1000) - 999 * 60, PlayoutStep::CardFloorMs + PlayoutStep::MarginMs + 4 + PlayoutStep::FrameMs + PlayoutStep::SpeedUpAboveMs);
}

TEST(PlayoutTest, FloodKeepsMemoryAndLagBounded)
{
    Listener l;
    // A sender ten times faster than real time, for three seconds.
    for (std::uint32_t s = 1; s <= 500; ++s) l.deliver(std::int64_t(s) * 6, s);
    l.run(40000);
    const auto p = l.played();
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
    EXPECT_GT(l.step.counters().skippedAhead, 0u);
    // Whatever was played was at most the store's length behind its arrival.
    for (std::uint32_t s : p) EXPECT_LE(l.playedAt(s) - double(s) * 6, double(PlayoutStep::Capacity + 2) * 60);
    EXPECT_EQ(p.back(), 500u);
}

TEST(PlayoutTest, SixteenTalkersAtOnceKeepTheirOwnStreams)
{
    std::vector<Listener> listeners(16);
    std::vector<std::set<std::uint32_t>> lost(16);
    std::mt19937 random(11);
    for (int t = 0; t < 16; ++t) {
        const std::uint32_t first = 1000u * std::uint32_t(t) + 1;
        for (std::uint32_t s = first; s < first + 80; ++s) {
            if (s != first && s != first + 79 && random() % 10 == 0) {
                lost[t].insert(s);
                continue;
            }
            listeners[t].deliver(std::int64_t(s - first) * 60 + t + std::int64_t(random() % 30), s);
        }
    }
    for (std::int64_t now = 0; now <= 6000; now += 10)
        for (Listener& l : listeners) l.run(now);
    for (int t = 0; t < 16; ++t) {
        const std::uint32_t first = 1000u * std::uint32_t(t) + 1;
        EXPECT_EQ(listeners[t].played(), range(first, first + 79, lost[t])) << "talker " << t;
        EXPECT_EQ(listeners[t].step.counters().concealed, lost[t].size()) << "talker " << t;
    }
}

// A talker whose clock runs fast or slow by 1 % for three minutes of speech without a pause:
// the step follows it by time-scaling, so every record is played, the lag stays low and the
// card never runs dry.
TEST(PlayoutTest, TalkerClockDriftingEitherWayIsFollowed)
{
    for (const double drift : {+0.01, -0.01}) {
        Listener l;
        const std::uint32_t count = 3000;
        for (std::uint32_t s = 1; s <= count; ++s) l.deliver(std::int64_t(double(s - 1) * 60 / (1 + drift)), s);
        l.run(std::int64_t(count * 60 / (1 + drift)) + 2000);
        EXPECT_EQ(l.played(), range(1, count)) << drift;
        EXPECT_EQ(l.step.counters().concealed, 0u) << drift;
        EXPECT_EQ(l.mutedMs, 0) << drift;
        EXPECT_EQ(l.zerosInsideSpurts(), 0) << drift;
        double worst = 0;
        for (std::uint32_t s = 1; s <= count; ++s) worst = std::max(worst, l.playedAt(s) - double(s - 1) * 60 / (1 + drift));
        EXPECT_LE(worst, 60) << drift;
        EXPECT_GT(drift > 0 ? l.step.counters().fasterRecords : l.step.counters().slowerRecords, 20u) << drift;
    }
}

// A 400 ms delay spike in continuous speech: the records held up come in a burst, are all played
// in order, and the lag is given back within 3 s by playing faster.
TEST(PlayoutTest, DelaySpikeIsDrainedWhileTheTalkGoesOn)
{
    Listener l;
    for (std::uint32_t s = 1; s <= 300; ++s) {
        const std::int64_t sent = std::int64_t(s - 1) * 60;
        l.deliver(sent >= 6000 && sent < 6400 ? 6400 : sent, s);
    }
    l.run(300 * 60 + 2000);
    EXPECT_EQ(l.played(), range(1, 300));
    EXPECT_EQ(l.mutedMs, 0);
    EXPECT_EQ(l.zerosInsideSpurts(), 0);
    auto lag = [&](std::uint32_t s) { return l.playedAt(s) - double(s - 1) * 60; };
    const double before = lag(100);
    EXPECT_GE(lag(108), before + 200) << "the spike did hold the talk up";
    for (std::uint32_t s = 101 + 3000 / 60 + 7; s <= 300; ++s) EXPECT_LE(lag(s), before + 20) << s;
    // While nothing came in the middle of speech the copy of the decoder stood in: no silence
    // from the first record to the spurt's end.
    EXPECT_EQ(l.frames(StepKind::Silence), l.framesBetween(0, 1, StepKind::Silence));
    EXPECT_GE(l.framesBetween(100, 108, StepKind::Conceal), 400 / PlayoutStep::FrameMs - PlayoutStep::FramesPerBlock);
}

// Losses of one to four records in a row, on a clean line and one with jitter: each gap is the
// decoder's concealment and takes the stream's time of the records it stands for, no more (the
// frames concealed while the record was still awaited count towards it), so the records after
// it play on the same schedule as those before.
TEST(PlayoutTest, LossBurstsTakeTheirOwnTimeAndNoMore)
{
    for (const int burst : {1, 2, 4})
    for (const int jitterMs : {0, 20}) {
        Listener l;
        std::mt19937 random(unsigned(burst * 100 + jitterMs));
        std::set<std::uint32_t> lost;
        for (std::uint32_t s = 1; s <= 400; ++s) {
            if (s % 40 >= 20 && s % 40 < 20 + std::uint32_t(burst)) {
                lost.insert(s);
                continue;
            }
            l.deliver(std::int64_t(s - 1) * 60 + (jitterMs ? std::int64_t(random() % unsigned(jitterMs + 1)) : 0), s);
        }
        l.run(400 * 60 + 2000);
        const std::string at = "burst " + std::to_string(burst) + ", jitter " + std::to_string(jitterMs);
        EXPECT_EQ(l.played(), range(1, 400, lost)) << at;
        EXPECT_EQ(l.step.counters().concealed, lost.size()) << at;
        EXPECT_EQ(l.mutedMs, 0) << at;
        EXPECT_EQ(l.zerosInsideSpurts(), 0) << at;
        for (std::uint32_t s = 40; s < 400; s += 40) {
            const std::uint32_t before = s - 21, after = s - 20 + std::uint32_t(burst);
            // Between the record before the gap and the one after: the gap's blocks, within the
            // card's 10 ms and the time-scaling of the one before.
            const double span = l.playedAt(after) - l.playedAt(before);
            EXPECT_LE(span, 60.0 * (burst + 1) + 12 + jitterMs) << at << ", gap at " << s - 20;
            EXPECT_GE(l.framesBetween(before, after, StepKind::Conceal), 1) << at;
        }
    }
}

// Random loss at any rate, with swaps and jitter: every record that comes in time plays once in
// order, and inside the talk the card never gets zeros that cut the voice off: where nothing
// newer comes for a while, the concealment fades to its floor and goes on.
TEST(PlayoutTest, NoZerosInsideTheTalkAtAnyLossRate)
{
    for (const int lossPercent : {10, 30, 50})
    for (const int jitterMs : {0, 40, 120}) {
        Listener l;
        std::mt19937 random(unsigned(lossPercent * 100 + jitterMs));
        for (std::uint32_t s = 1; s <= 300; ++s)
            if (s <= 2 || s == 300 || int(random() % 100) >= lossPercent)
                l.deliver(std::int64_t(s - 1) * 60 + (jitterMs ? std::int64_t(random() % unsigned(jitterMs + 1)) : 0), s);
        l.run(300 * 60 + 2000);
        const std::string at = std::to_string(lossPercent) + " % loss, jitter " + std::to_string(jitterMs);
        const std::vector<std::uint32_t> played = l.played();
        EXPECT_TRUE(std::is_sorted(played.begin(), played.end())) << at;
        EXPECT_EQ(std::adjacent_find(played.begin(), played.end()), played.end()) << at;
        EXPECT_EQ(played.back(), 300u) << at;
        // Nor does the lag run away while the concealment stands in for what did not come.
        for (const std::uint32_t s : played) ASSERT_LE(l.playedAt(s) - (s - 1) * 60.0, 300.0 + jitterMs) << at << ", record " << s;
        EXPECT_EQ(l.zerosInsideSpurts(), 0) << at;
        EXPECT_EQ(l.mutedMs, 0) << at;
    }
}

// A talker that restarts its program numbers from 1 again: picked up at once, with a fresh
// estimate, even soon after it started and while the old estimate was high.
TEST(PlayoutTest, RestartedTalkerStartsAFreshEstimate)
{
    Listener l;
    // Ten records with swaps teach a long delay; the talker restarts 200 ms after the last.
    for (std::uint32_t s = 1; s <= 10; ++s) l.deliver(std::int64_t(s - 1) * 60 + (s % 2 ? 90 : 0), s);
    l.run(800);
    const int taught = l.step.targetMs();
    EXPECT_GT(taught, 60);
    l.talk(1, 40, 10 * 60 + 200, 0, 100);  // other speech under the same numbers
    l.run(10 * 60 + 200 + 40 * 60 + 1500);
    std::vector<std::uint32_t> played = l.played();
    const std::vector<std::uint32_t> second(played.end() - std::min<std::ptrdiff_t>(40, std::ptrdiff_t(played.size())), played.end());
    EXPECT_EQ(second, range(1, 40)) << "none of the new records is dropped";
    EXPECT_EQ(l.step.counters().restarts, 1u);
    EXPECT_LE(l.step.targetMs(), PlayoutStep::CardFloorMs + PlayoutStep::MarginMs + 2);
    EXPECT_LE(l.playedAt(40) - (10 * 60 + 200 + 39 * 60), 30) << "the old delay is not kept";
}

TEST(PlayoutTest, PlaySpeedKeepsSpeechNaturalAndQuietStretchesTakeMore)
{
    struct Case {
        int adjustMs;
        bool quiet;
        double speed;
    };
    for (const Case& c : {Case{0, false, 1.0}, Case{12, false, 1.25}, Case{30, false, 1.25}, Case{30, true, 2.0},
                          Case{90, true, 2.0}, Case{-12, false, 60.0 / 72}, Case{-40, true, 60.0 / 90}})
        EXPECT_DOUBLE_EQ(playSpeed(c.adjustMs, c.quiet), c.speed) << c.adjustMs << (c.quiet ? " quiet" : "");
}

TEST(PlayoutTest, LatenessPercentileForgetsOldHistory)
{
    LatenessHistogram h;
    EXPECT_EQ(h.percentile(0.95), 0);
    for (int i = 0; i < 90; ++i) h.add(i % 10);       // 0-9 ms
    for (int i = 0; i < 10; ++i) h.add(100);          // one in ten much later
    EXPECT_GE(h.percentile(0.95), 100);
    EXPECT_LE(h.percentile(0.5), 10);
    for (int i = 0; i < 700; ++i) h.add(4);           // calm for a long while
    EXPECT_LE(h.percentile(0.95), 4);
    h.add(1000000);                                   // counted as the last bin, not past it
    EXPECT_LE(h.percentile(1.0), (LatenessHistogram::Bins - 1) * LatenessHistogram::BinMs);
}

// What the player takes for the talker's background (after which nothing newer means the talker
// most likely stopped): no 10 ms frame of the block above three times the background's level.
// The card's periods, from returns the player handled late now and then: the next period never
// looks further off than it is (the player would decide too late and the card find nothing),
// and after returns handled at once the estimate is within a millisecond.
TEST(CardPeriodsTest, ReturnsHandledLateNeverPutThePeriodFurtherOff)
{
    struct Case {
        const char* name;
        double periodUs;         // the card's period on our clock
        std::int64_t lateEvery;  // every so many returns one is handled late...
        std::int64_t lateUs;     // ...by this much
        std::int64_t firstLateUs = 50;
    };
    for (const Case c : {Case{"on time", 10000, 0, 0}, Case{"late by 3 ms", 10000, 7, 3000}, Case{"late by 7 ms", 10000, 5, 7000},
                         Case{"late by 12 ms", 10000, 9, 12000}, Case{"card 1 % slow", 10100, 11, 4000},
                         Case{"card 1 % fast", 9900, 11, 4000}, Case{"first one late by 6 ms", 10000, 0, 0, 6000}}) {
        CardPeriods periods;
        EXPECT_EQ(periods.sinceMs(0), PlayoutStep::FrameMs) << c.name;
        const std::int64_t startUs = 123457;
        for (std::int64_t k = 0; k < 3000; ++k) {
            const std::int64_t periodUs = startUs + std::int64_t(double(k) * c.periodUs);
            const bool late = c.lateEvery > 0 && k % c.lateEvery == 3;
            periods.noteReturn(periodUs + (late ? c.lateUs : k == 0 ? c.firstLateUs : 50));
            // An estimate that started late comes round within a second.
            if (k < 100) continue;
            for (const std::int64_t afterUs : {std::int64_t(400), std::int64_t(6500), std::int64_t(c.periodUs) - 300}) {
                const double trueSinceMs = double(afterUs) / 1000;
                const int since = periods.sinceMs(periodUs + afterUs);
                ASSERT_GE(since, trueSinceMs) << c.name << ", return " << k << " + " << afterUs << " us";
                if (!late) {
                    EXPECT_LE(since, trueSinceMs + 1.5) << c.name << ", return " << k;
                }
            }
        }
    }
}

TEST(BackgroundTest, ABlockIsBackgroundWhenNoFrameStandsOutOfIt)
{
    struct Case {
        int level, loudFrameLevel, backgroundRms;
        bool background;
    };
    for (const Case& c : {Case{20, 20, 20, true}, Case{20, 60, 20, true}, Case{20, 61, 20, false},
                          Case{20, 2000, 20, false}, Case{0, 0, 0, true}, Case{5, 5, 0, false}}) {
        // A square wave of the given level (its RMS), one frame of it louder.
        std::vector<std::int16_t> block(480);
        for (std::size_t i = 0; i < block.size(); ++i) {
            const int level = i / 80 == 3 ? c.loudFrameLevel : c.level;
            block[i] = std::int16_t(i % 2 ? level : -level);
        }
        EXPECT_EQ(hardlyAboveBackground(block.data(), int(block.size()), c.backgroundRms), c.background)
            << c.level << " " << c.loudFrameLevel << " " << c.backgroundRms;
    }
}

TEST(GainTest, DoublingSaturatesAtTheSixteenBitLimits)
{
    std::vector<std::int16_t> samples{20000, 16384, -16385, -20000, -1, 100, 32767, -32768, 7};
    applyGain(samples.data(), 8, true);
    EXPECT_EQ(samples, (std::vector<std::int16_t>{32767, 32767, -32768, -32768, -2, 200, 32767, -32768, 7}));
    applyGain(samples.data(), 8, false);
    EXPECT_EQ(samples[5], 200);
}

}  // namespace
}  // namespace lumo
