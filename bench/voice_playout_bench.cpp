// What a listener hears from a member who talks without a pause, between real processes: this
// program is the talker (a plain socket that schedules voice records to the microsecond, on a
// clock of its own that may run fast or slow, through a network it makes up: loss, swaps,
// jitter, a delay spike) and a real `lumo --audio wav:...` is the listener. The listener's speaker
// file runs on the real-time clock (one 10 ms period per tick); this program watches it grow to
// learn when each period was taken, then explains every 10 ms of it: a record (found by waveform
// against the talk decoded once, so a time-scaled record is found too), concealment, or hard
// silence (a period of zeros). Prints per scenario: records played once, never, repeated; the lag
// (play time minus the talker's send time) mean, median, p95, max; mouth-to-ear (the lag plus the
// 60 ms a block takes to record); hard-silence periods inside the talk; and for the spike how
// long the lag took to come back. Nothing is asserted.
//
//   voice_playout_bench [--seconds S] [--drift-seconds S] [--runs N] [--only NAME] [--lumo PATH]
//
// --seconds: talk per scenario (default 30); --drift-seconds: talk on a drifting clock (default
// 180); --only: one scenario (clean, spike, fast, slow, loss10, loss30); --lumo: another lumo
// binary, to measure an older build with the same bench.
#include "bench_loopback.h"

#include <benchmark/benchmark.h>
#include "voice_judge.h"
#include "fake_peer.h"
#include "link_control.h"
#include "private_folders.h"

#include "core/voice/playout.h"
#include "core/voice/silence_gate.h"
#include "voice/playout_renderer.h"
#include "voice/voice_player.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <functional>
#include <deque>
#include <cmath>
#include <map>
#include <thread>

using namespace lumo;

namespace {

double monotonicMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void sleepUntilMs(double ms)
{
    timespec t{};
    t.tv_sec = time_t(ms / 1e3);
    t.tv_nsec = long((ms - double(t.tv_sec) * 1e3) * 1e6);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

struct Scenario {
    const char* name;
    double seconds = 30;
    double drift = 0;       // +0.01: the talker's clock runs 1 % fast (a record every 59.4 ms)
    double loss = 0, swap = 0;
    int jitterMs = 0;
    double spikeAtS = -1;   // a delay spike: records sent in the next spikeMs wait until it ends
    int spikeMs = 400;
};

// The talk: the test phrase over and over, each time a little different (forward or reversed,
// at one of three rates), so that no two seconds of it look alike, with a faint noise floor so
// that no period of it is digital silence.
std::vector<std::int16_t> talkSamples(std::size_t count)
{
    // The test phrase, found from the source tree (its helper looks beside its header, which a
    // cached build may name by a relative path).
    test::Wav wav;
    test::readWav(std::filesystem::path(LUMO_SOURCE_DIR) / "tests" / "data" / "voice_phrase.wav", &wav);
    std::vector<std::int16_t> phrase = wav.samples;
    auto loud = [](std::int16_t v) { return std::abs(int(v)) > 300; };
    const auto first = std::find_if(phrase.begin(), phrase.end(), loud);
    const auto last = std::find_if(phrase.rbegin(), phrase.rend(), loud).base();
    phrase = std::vector<std::int16_t>(first, last);
    std::vector<std::int16_t> out;
    std::mt19937 noise(17);
    for (int k = 0; out.size() < count && !phrase.empty(); ++k) {
        const double rate = 1.0 + 0.08 * (k % 3);
        for (double at = 0; at + 1 < double(phrase.size()) && out.size() < count; at += rate) {
            const std::size_t i = std::size_t(at);
            const double frac = at - double(i);
            double v = phrase[i] * (1 - frac) + phrase[i + 1] * frac;
            if (k % 2) v = phrase[phrase.size() - 1 - i];
            out.push_back(std::int16_t(std::clamp(v + double(int(noise() % 61) - 30), -32768.0, 32767.0)));
        }
    }
    out.resize(count);
    return out;
}

// The first spurt, which the listener asks about and accepts.
std::vector<VoiceRecord> warmUpRecords()
{
    const std::vector<std::int16_t> talk = talkSamples(20 * BlockSamples);
    VoiceCodec encoder;
    std::vector<VoiceRecord> out(20);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i].sequence = std::uint32_t(i + 1);
        encoder.Encode(talk.data() + i * BlockSamples, BlockBytes, out[i].speech.data(), nullptr);
    }
    return out;
}

struct Record {
    VoiceRecord record;
    double sentMs = 0;       // on the test's clock: when the talker sent it
    double deliverMs = -1;   // when it reaches the listener (-1: lost)
};

// The records of one scenario, their send times on the talker's clock and what the network does.
std::vector<Record> schedule(const Scenario& s, std::uint32_t firstSequence, double startMs, unsigned seed)
{
    const int count = int(s.seconds * 1000 / 60);
    const std::vector<std::int16_t> talk = talkSamples(std::size_t(count) * BlockSamples);
    VoiceCodec encoder;
    std::mt19937 random(seed);
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    std::vector<Record> out(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Record& r = out[std::size_t(i)];
        r.record.sequence = firstSequence + std::uint32_t(i);
        encoder.Encode(talk.data() + std::size_t(i) * BlockSamples, BlockBytes, r.record.speech.data(), nullptr);
        r.sentMs = startMs + i * 60.0 / (1 + s.drift);
        if (chance(s.loss)) continue;
        r.deliverMs = r.sentMs + (s.jitterMs > 0 ? double(random() % unsigned(s.jitterMs + 1)) : 0);
        const double spikeAt = startMs + s.spikeAtS * 1000;
        if (s.spikeAtS >= 0 && r.sentMs >= spikeAt && r.sentMs < spikeAt + s.spikeMs)
            r.deliverMs = std::max(r.deliverMs, spikeAt + s.spikeMs);
    }
    // A swapped record leaves right after its successor.
    for (int i = 0; i + 1 < count; ++i) {
        Record& r = out[std::size_t(i)];
        Record& next = out[std::size_t(i) + 1];
        if (r.deliverMs >= 0 && next.deliverMs >= 0 && chance(s.swap)) r.deliverMs = std::max(r.deliverMs, next.deliverMs + 0.5);
    }
    return out;
}

// When the listener's speaker took each period: the file grows by 80 samples per tick of its
// 10 ms clock, ticks never come early, so the earliest (seen time - 10 ms x periods) is its start.
class SpeakerWatch {
public:
    explicit SpeakerWatch(std::string path) : path_(std::move(path)) {}
    ~SpeakerWatch() { stop(); }
    void start()
    {
        thread_ = std::thread([this] {
            int seen = 0;
            while (!stop_ && seen < 3000) {
                struct stat st {};
                if (::stat(path_.c_str(), &st) == 0 && st.st_size > 44) {
                    const double periods = std::floor(double(st.st_size - 44) / 160);
                    if (periods >= 1) best_ = std::min(best_.load(), monotonicMs() - 10 * periods), ++seen;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(700));
            }
        });
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    double startMs() const { return best_; }

private:
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<double> best_{1e300};
};

struct Result {
    int sent = 0, delivered = 0, playedOnce = 0, never = 0, repeats = 0;
    int hardSilence = 0, concealed = 0, scaled = 0;
    double lagMean = 0, lagMedian = 0, lagP95 = 0, lagMax = 0;
    double lagBeforeSpike = 0, recoveredAfterS = -1, lagLast10s = 0;
    std::vector<double> lagOf;  // per record: play time of its first sample minus its send time, -1 unheard
};

constexpr int Period = test::SpeakerPeriod;

// The figures of a run from each record's lag, whoever found them.
void summarizeLags(const Scenario& s, const std::vector<Record>& records, Result* out)
{
    std::vector<double> lags;
    double sum = 0;
    for (double lag : out->lagOf)
        if (lag >= 0) lags.push_back(lag), sum += lag;
    if (!lags.empty()) {
        out->lagMean = sum / double(lags.size());
        std::sort(lags.begin(), lags.end());
        out->lagMax = lags.back();
        out->lagMedian = bench::percentile(lags, 0.5);
        out->lagP95 = bench::percentile(lags, 0.95);
    }
    auto medianLag = [&](double fromMs, double toMs) {
        std::vector<double> v;
        for (std::size_t i = 0; i < records.size(); ++i)
            if (out->lagOf[i] >= 0 && records[i].sentMs >= fromMs && records[i].sentMs < toMs) v.push_back(out->lagOf[i]);
        std::sort(v.begin(), v.end());
        return bench::percentile(v, 0.5);
    };
    const double t0 = records.front().sentMs, tEnd = records.back().sentMs;
    out->lagLast10s = medianLag(tEnd - 10000, tEnd + 1);
    if (s.spikeAtS >= 0) {
        const double spikeAt = t0 + s.spikeAtS * 1000;
        out->lagBeforeSpike = medianLag(spikeAt - 3000, spikeAt);
        // From when on every record's lag stays within 20 ms of what it was before.
        double recovered = spikeAt;
        for (std::size_t i = 0; i < records.size(); ++i)
            if (records[i].sentMs >= spikeAt && out->lagOf[i] > out->lagBeforeSpike + 20) recovered = records[i].sentMs + 60;
        out->recoveredAfterS = (recovered - spikeAt) / 1000;
    }
}

// Explains every 10 ms period of the speaker file after the talk began, from the outside: a
// period of zeros is hard silence; a period whose waveform is found in the talk as the listener's
// decoder makes it (records the network lost are that decoder's erasure output) is that record,
// played as decoded or time-scaled (a period that straddles a pitch period Sonic took out or put
// in is found half by half); anything else is concealment. Only a record that has reached the
// listener can be heard. A record whose periods come again, three in a row, after the stream had
// gone more than a pitch period past them is a repeat. The explainer is checked against the
// simulated run, whose every sample is known (see simulatedRow).
Result judge(const Scenario& s, const std::vector<Record>& records, const std::vector<VoiceRecord>& before,
             const std::vector<std::int16_t>& heard, double fileStartMs)
{
    constexpr int P = Period;
    VoiceCodec decoder;
    std::vector<std::int16_t> block(BlockSamples);
    for (const VoiceRecord& r : before) decoder.Decode(r.speech.data(), CodedBlockSize, block.data(), nullptr);
    std::vector<std::int16_t> reference(records.size() * BlockSamples);
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::int16_t* at = reference.data() + i * BlockSamples;
        if (records[i].deliverMs >= 0) decoder.Decode(records[i].record.speech.data(), CodedBlockSize, at, nullptr);
        else decoder.Conceal(at, FramesPerBlock);
    }
    const double earMs0 = fileStartMs + 10;  // sample i is taken at earMs0 + i / 8

    Result out;
    out.sent = int(records.size());
    out.lagOf.assign(records.size(), -1);
    const std::size_t firstPeriod = std::size_t(std::max(0.0, (records.front().sentMs - earMs0) / 10));
    enum Explained : char { Zero, Found, Unfound };
    std::vector<Explained> what;
    std::vector<long> foundAt;  // reference sample of each found period
    std::vector<int> framesOf(records.size(), 0);
    std::vector<char> repeated(records.size(), 0);
    long lastR = -1;
    test::RepeatWatch repeats;
    std::vector<std::pair<std::size_t, std::size_t>> repeatAt;  // period, record
    std::size_t lastPeriod = 0;
    // A stretch of the talk can be heard only once its record has reached the listener.
    double heardAtMs = 0;
    auto usable = [&](long R, int n) {
        if (R < 0 || std::size_t(R) + std::size_t(n) > reference.size()) return false;
        const Record& r = records[std::size_t(R) / BlockSamples];
        return r.deliverMs >= 0 && r.deliverMs <= heardAtMs;
    };
    auto bestNear = [&](const std::int16_t* h, int n, long from, long to, long* at) {
        return test::bestNear(reference, h, n, from, to, usable, at);
    };
    for (std::size_t p = firstPeriod; (p + 1) * P <= heard.size(); ++p) {
        const std::int16_t* h = heard.data() + p * P;
        if (std::all_of(h, h + P, [](std::int16_t v) { return v == 0; })) {
            what.push_back(Zero), foundAt.push_back(-1);
            continue;
        }
        const double earMs = earMs0 + double(p) * 10;
        heardAtMs = earMs;
        long bestR = -1;
        const bool tracking = lastR >= 0 && p - lastPeriod <= 12;
        const long predicted = lastR + long(p - lastPeriod) * P;
        bool joined = false;
        if (tracking) bestR = test::matchScaledPeriod(reference, h, predicted, usable, &joined);
        if (joined) ++out.scaled;
        if (bestR < 0) {
            double best = 0;
            for (std::size_t i = 0; i < records.size(); ++i) {
                if (records[i].deliverMs < 0 || records[i].sentMs > earMs || records[i].sentMs < earMs - 1500) continue;
                long at = -1;
                const double c = bestNear(h, P, long(i * BlockSamples), long((i + 1) * BlockSamples) - 1, &at);
                if (c > best) best = c, bestR = at;
            }
            if (best < 0.9) bestR = -1;
        }
        if (bestR < 0) {
            what.push_back(Unfound), foundAt.push_back(-1);
            continue;
        }
        what.push_back(Found), foundAt.push_back(bestR);
        const std::size_t index = std::size_t(bestR) / BlockSamples;
        if (repeats.note(bestR, long(p - lastPeriod))) repeatAt.push_back({p, index});
        if (framesOf[index]++ == 0) out.lagOf[index] = earMs - records[index].sentMs - double(bestR % BlockSamples) / 8;
        lastR = bestR;
        lastPeriod = p;
    }
    // After the last record is heard the voice trails off in concealment, which may look like
    // what was said just before: only what goes back before that is a repeat.
    std::size_t lastRecordAt = SIZE_MAX;
    for (std::size_t k = 0; k < what.size(); ++k)
        if (what[k] == Found && std::size_t(foundAt[k]) / BlockSamples + 1 == records.size()) {
            lastRecordAt = firstPeriod + k;
            break;
        }
    for (const auto& [period, index] : repeatAt)
        if (period < lastRecordAt) repeated[index] = 1;
    // Inside the talk (from the first found period to the last): zeros and what is not found.
    std::size_t first = what.size(), last = 0;
    for (std::size_t k = 0; k < what.size(); ++k)
        if (what[k] == Found) first = std::min(first, k), last = k;
    const bool trace = std::getenv("LUMO_BENCH_TRACE") != nullptr;
    for (std::size_t k = first; k <= last && k < what.size(); ++k) {
        if (what[k] == Zero && trace) {
            long heardBefore = -1;  // the record heard last before it
            for (std::size_t j = k; j-- > first;)
                if (what[j] == Found) { heardBefore = foundAt[j] / BlockSamples; break; }
            std::printf("hard silence at %.0f ms of the file, after record %ld\n", earMs0 + double(firstPeriod + k) * 10 - fileStartMs, heardBefore);
            for (long i = std::max(0L, heardBefore - 2); i < std::min(long(records.size()), heardBefore + 6); ++i)
                std::printf("  record %ld sent %.1f delivered %.1f\n", i, records[std::size_t(i)].sentMs - fileStartMs,
                            records[std::size_t(i)].deliverMs < 0 ? -1.0 : records[std::size_t(i)].deliverMs - fileStartMs);
        }
        if (what[k] == Zero) ++out.hardSilence;
        if (what[k] == Unfound) ++out.concealed;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].deliverMs < 0) continue;
        ++out.delivered;
        if (framesOf[i] == 0) ++out.never;
        else if (repeated[i]) ++out.repeats;
        else ++out.playedOnce;
    }
    summarizeLags(s, records, &out);
    return out;
}

// --- The same talk through the playout step and renderer on simulated time ---------------------
//
// The listener's own playout (the PlayoutStep and PlayoutRenderer that lumo's player runs) on an
// ideal machine: each record handed over the moment it arrives, a sound card that takes 10 ms
// every 10 ms, the player refilling at once whenever a buffer comes back. What this run hears is
// the floor for the real one; and since it knows what every sample is, it checks the explainer.
struct Simulated {
    std::vector<std::int16_t> heard;
    double fileStartMs = 0;
    Result truth;  // records played, repeats, hard silence and lags, as they were
    std::uint64_t scaledRecords = 0, playedRecords = 0;
    // Every call the player made, and what the step answered, to time them again alone.
    struct Call {
        bool push;
        std::int64_t nowMs;
        PlayoutStep::Card card;
        const VoiceRecord* record;
        bool quiet = false;  // what the player told the step of the last record it played
    };
    std::vector<Call> calls;
    std::vector<PlayoutStep::Chunk> chunks;
    std::vector<char> scaled;  // per record: asked to play faster or slower
};

Simulated simulate(const Scenario& s, const std::vector<Record>& records, const std::vector<VoiceRecord>& warmUp, double talkStartMs)
{
    struct Arrival {
        double atMs;
        const VoiceRecord* record;
    };
    std::vector<Arrival> arrivals;
    const double warmStartMs = talkStartMs - 1700 - double(warmUp.size()) * 60;
    for (std::size_t k = 0; k < warmUp.size(); ++k) arrivals.push_back({warmStartMs + double(k) * 60, &warmUp[k]});
    for (const Record& r : records)
        if (r.deliverMs >= 0) arrivals.push_back({r.deliverMs, &r.record});
    std::stable_sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });

    Simulated out;
    // The device opens just before the first record is played; the card's periods fall 5 ms from
    // the talker's 60 ms (the mean of where they fall in a real run).
    out.fileStartMs = warmStartMs - 5;
    const std::uint32_t firstSequence = records.front().record.sequence;
    struct Buffer {
        int count = 0, taken = 0;
        std::array<std::int16_t, Period> samples{};
        std::array<int, Period> label{};  // talk record index; -1 anything else
    };
    std::deque<Buffer> card;
    int queued = 0;
    PlayoutStep step;
    PlayoutRenderer renderer;
    std::vector<int> labels;  // of every heard sample
    // Labels of samples made but not yet handed to the card (the part-period the renderer
    // keeps), and of the sound inside the time-scaler, oldest first, with how many samples of it
    // each chunk is to give.
    std::deque<int> keptLabels;
    std::deque<std::pair<int, double>> scalerLabels;
    bool lastQuiet = false;
    auto handOut = [&](int count) {
        for (int at = 0; at < count; at += Period) {
            Buffer b;
            b.count = std::min(Period, count - at);
            std::copy_n(renderer.samples() + at, b.count, b.samples.begin());
            for (int i = 0; i < b.count; ++i) {
                b.label[std::size_t(i)] = keptLabels.empty() ? -1 : keptLabels.front();
                if (!keptLabels.empty()) keptLabels.pop_front();
            }
            card.push_back(b);
            queued += b.count;
        }
    };
    auto releaseToCard = [&] {
        const int heldBefore = renderer.heldSamples();
        const int count = renderer.release();
        const int made = count - heldBefore + renderer.heldSamples();
        for (int i = 0; i < made; ++i) {
            keptLabels.push_back(scalerLabels.empty() ? -1 : scalerLabels.front().first);
            if (!scalerLabels.empty() && (scalerLabels.front().second -= 1) <= 0 && scalerLabels.size() > 1) scalerLabels.pop_front();
        }
        scalerLabels.clear();
        handOut(count);
    };
    std::int64_t askAtMs = -1;  // when the step asked to be asked again
    auto pump = [&](double nowMs) {
        askAtMs = -1;
        while (queued + renderer.heldSamples() <= VoicePlayer::LeadSamples) {
            if (queued < PlayoutStep::CardFloorMs * 8 && renderer.scalerHeldSamples() > 0) {
                // As the player does: what the time-scaler holds goes to a card about to run dry.
                releaseToCard();
                continue;
            }
            // As the player sees its card: whole periods, the part-period kept, the period's phase.
            PlayoutStep::Card seen;
            seen.queuedMs = queued / 8;
            seen.heldMs = renderer.heldSamples() / 8;
            seen.scalerMs = renderer.scalerHeldSamples() / 8;
            seen.sincePeriodMs = int(std::int64_t(nowMs) - std::int64_t(std::ceil(out.fileStartMs))) % PlayoutStep::FrameMs;
            const PlayoutStep::Chunk chunk = step.pull(std::int64_t(nowMs), seen);
            out.calls.push_back({false, std::int64_t(nowMs), seen, nullptr, lastQuiet});
            out.chunks.push_back(chunk);
            if (chunk.kind == PlayoutStep::Kind::Wait) askAtMs = chunk.askAtMs;
            if (chunk.kind == PlayoutStep::Kind::Wait && renderer.scalerHeldSamples() > 0) {
                releaseToCard();
                return;
            }
            const int heldBefore = renderer.heldSamples();
            const int count = renderer.render(chunk, 100, false);
            if (chunk.kind == PlayoutStep::Kind::Record) step.notePlayedQuiet(lastQuiet = renderer.lastRecordQuiet());
            if (count == 0 && chunk.kind != PlayoutStep::Kind::Record) return;
            const std::uint32_t index = chunk.record.sequence - firstSequence;
            const int label = chunk.kind == PlayoutStep::Kind::Record && index < records.size() ? int(index) : -1;
            // What came out this time, in order: what the time-scaler held, then this chunk.
            const bool scaledRecord = chunk.kind == PlayoutStep::Kind::Record && chunk.adjustMs != 0;
            const double expected = chunk.kind == PlayoutStep::Kind::Record ? BlockSamples / playSpeed(chunk.adjustMs, lastQuiet)
                                                                             : double(std::max(0, chunk.frames) * Period);
            scalerLabels.push_back({label, expected});
            const int made = count - heldBefore + renderer.heldSamples();
            for (int i = 0; i < made; ++i) {
                keptLabels.push_back(scalerLabels.front().first);
                if ((scalerLabels.front().second -= 1) <= 0 && scalerLabels.size() > 1) scalerLabels.pop_front();
            }
            if (!scaledRecord) scalerLabels.clear();
            handOut(count);
        }
    };
    const double endMs = records.back().sentMs + 1500;
    std::size_t next = 0;
    for (long tick = 1;; ++tick) {
        const double tickMs = out.fileStartMs + 10.0 * double(tick);
        // Arrivals and the wake-ups the step asked for, in time order, before the card's period.
        for (;;) {
            const bool arrival = next < arrivals.size() && arrivals[next].atMs <= tickMs;
            const bool wake = askAtMs >= 0 && double(askAtMs) <= tickMs;
            if (wake && (!arrival || double(askAtMs) <= arrivals[next].atMs)) {
                pump(double(askAtMs));
                continue;
            }
            if (!arrival) break;
            step.push(*arrivals[next].record, std::int64_t(arrivals[next].atMs));
            out.calls.push_back({true, std::int64_t(arrivals[next].atMs), {}, arrivals[next].record});
            pump(arrivals[next].atMs);
            ++next;
        }
        if (tickMs > endMs) break;
        bool returned = false;
        for (int i = 0; i < Period; ++i) {
            while (!card.empty() && card.front().taken == card.front().count) queued -= card.front().count, card.pop_front(), returned = true;
            if (card.empty()) {
                out.heard.push_back(0), labels.push_back(-1);
                continue;
            }
            Buffer& b = card.front();
            out.heard.push_back(b.samples[std::size_t(b.taken)]), labels.push_back(b.label[std::size_t(b.taken)]);
            ++b.taken;
        }
        // A buffer comes back once its last sample is taken; until then the player counts it whole.
        while (!card.empty() && card.front().taken == card.front().count) queued -= card.front().count, card.pop_front(), returned = true;
        if (returned) pump(tickMs);
    }
    out.scaledRecords = renderer.scaledRecords();
    out.scaled.assign(records.size(), 0);
    for (const PlayoutStep::Chunk& c : out.chunks)
        if (c.kind == PlayoutStep::Kind::Record && c.adjustMs != 0 && c.record.sequence - firstSequence < records.size())
            out.scaled[c.record.sequence - firstSequence] = 1;
    out.playedRecords = step.counters().played;

    // What was heard, as it was.
    Result& t = out.truth;
    t.sent = int(records.size());
    t.lagOf.assign(records.size(), -1);
    std::vector<int> runs(records.size(), 0);
    int lastLabel = -1;
    long firstSample = -1, lastSample = -1;
    for (std::size_t j = 0; j < labels.size(); ++j) {
        const int l = labels[j];
        if (l < 0) continue;
        if (t.lagOf[std::size_t(l)] < 0) t.lagOf[std::size_t(l)] = out.fileStartMs + 10 + double(j) / 8 - records[std::size_t(l)].sentMs;
        if (l != lastLabel) ++runs[std::size_t(l)];
        lastLabel = l;
        if (firstSample < 0) firstSample = long(j);
        lastSample = long(j);
    }
    for (long p = firstSample / Period; firstSample >= 0 && p <= lastSample / Period; ++p) {
        if (std::all_of(out.heard.begin() + p * Period, out.heard.begin() + (p + 1) * Period, [](std::int16_t v) { return v == 0; }))
            ++t.hardSilence;
        else if (std::count(labels.begin() + p * Period, labels.begin() + (p + 1) * Period, -1) >= Period / 2)
            ++t.concealed;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].deliverMs < 0) continue;
        ++t.delivered;
        if (runs[i] == 0) ++t.never;
        else if (runs[i] > 1) ++t.repeats;
        else ++t.playedOnce;
    }
    summarizeLags(s, records, &t);
    return out;
}

// The CPU of the listener's playout per record played, by parts, each the least of five passes:
// the step's decisions (its calls made again on a fresh step); the time-scaling (the records it
// asked to scale rendered as asked, less the same rendered at normal speed, over and over); and
// decoding a record alone.
struct PlayoutCpu {
    double stepUs = 0, scalingUs = 0, decodeUs = 0, scalingPerScaledUs = 0;
};

PlayoutCpu timePlayout(const Simulated& sim)
{
    auto least = [](int repeats, const std::function<void()>& work) {
        double best = 1e9;
        for (int pass = 0; pass < 5; ++pass) {
            const double t0 = bench::seconds(CLOCK_THREAD_CPUTIME_ID);
            for (int k = 0; k < repeats; ++k) work();
            best = std::min(best, bench::seconds(CLOCK_THREAD_CPUTIME_ID) - t0);
        }
        return best * 1e6 / repeats;
    };
    PlayoutCpu cpu;
    const double played = double(std::max<std::uint64_t>(1, sim.playedRecords));
    cpu.stepUs = least(3, [&] {
        PlayoutStep step;
        for (const Simulated::Call& c : sim.calls) {
            if (c.push) {
                step.push(*c.record, c.nowMs);
                continue;
            }
            step.notePlayedQuiet(c.quiet);
            benchmark::DoNotOptimize(step.pull(c.nowMs, c.card));
        }
    }) / played;
    std::vector<PlayoutStep::Chunk> scaled;
    for (const PlayoutStep::Chunk& c : sim.chunks)
        if (c.kind == PlayoutStep::Kind::Record && c.adjustMs != 0) scaled.push_back(c);
    const int repeats = scaled.empty() ? 1 : int(std::max<std::size_t>(1, 2000 / scaled.size()));
    auto render = [&](bool asAsked) {
        return least(repeats, [&] {
            PlayoutRenderer renderer;
            for (PlayoutStep::Chunk c : scaled) {
                if (!asAsked) c.adjustMs = 0;
                benchmark::DoNotOptimize(renderer.render(c, 100, false));
            }
        });
    };
    if (!scaled.empty()) {
        cpu.scalingPerScaledUs = std::max(0.0, render(true) - render(false)) / double(scaled.size());
        cpu.scalingUs = cpu.scalingPerScaledUs * double(scaled.size()) / played;
    }
    VoiceCodec decoder;
    std::array<std::int16_t, BlockSamples> pcm{};
    VoiceRecord any;
    for (const PlayoutStep::Chunk& c : sim.chunks)
        if (c.kind == PlayoutStep::Kind::Record) any = c.record;
    cpu.decodeUs = least(2000, [&] { decoder.Decode(any.speech.data(), CodedBlockSize, pcm.data(), nullptr); });
    return cpu;
}

// How far the explainer's account of the simulated run is from what it was.
struct ExplainerCheck {
    int neverOff = 0, repeatsOff = 0, muteOff = 0, concealedOff = 0;
    double lagOffMax = 0, lagOffScaledMax = 0;
};

ExplainerCheck checkExplainer(const Result& judged, const Simulated& sim)
{
    const Result& truth = sim.truth;
    ExplainerCheck c;
    c.neverOff = judged.never - truth.never;
    c.repeatsOff = judged.repeats - truth.repeats;
    c.muteOff = judged.hardSilence - truth.hardSilence;
    c.concealedOff = judged.concealed - truth.concealed;
    for (std::size_t i = 0; i < truth.lagOf.size(); ++i) {
        if (truth.lagOf[i] < 0 || judged.lagOf[i] < 0) continue;
        const double off = std::abs(judged.lagOf[i] - truth.lagOf[i]);
        double& worst = sim.scaled[i] ? c.lagOffScaledMax : c.lagOffMax;
        worst = std::max(worst, off);
    }
    return c;
}

// A real lumo listener, started as the end-to-end tests start it, from `binary`.
class Listener {
public:
    Listener(const QString& binary, Ipv4 address, const QStringList& arguments, const QString& runtime)
        : address_(address)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        test::usePrivateFolders(env, home_.path());
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(QStringLiteral(LUMO_RUN_DIR));
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(binary, QStringList{QStringLiteral("--bind"), QString::fromStdString(dottedAddress(address))} + arguments);
    }
    ~Listener()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished(2000);
    }
    bool waitUntilAnswering(test::FakePeer& probe)
    {
        MemberEntry nobody;
        nobody.id = 200;
        for (int i = 0; i < 25; ++i) {
            if (process_.state() == QProcess::NotRunning) return false;
            probe.send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody), {address_, HostPort});
            if (probe.next(200, cmd::Ack)) return true;
        }
        return false;
    }
    Endpoint memberEndpoint() const { return {address_, MemberPort}; }

private:
    QTemporaryDir home_;
    QProcess process_;
    Ipv4 address_;
};

bool runScenario(const Scenario& s, const QString& binary, unsigned seed, Result* result)
{
    QTemporaryDir work;
    const QString silence = work.filePath(QStringLiteral("silence.wav"));
    if (!test::writeSilentWav(silence.toStdString())) return false;
    const Ipv4 hostAddress = bench::loopback(33), talkerAddress = bench::loopback(34), listenerAddress = bench::loopback(35);
    test::OverlayStandIn link;
    test::FakePeer host(hostAddress, HostPort);
    const int talker = bench::boundSocket({talkerAddress, MemberPort});
    if (!host.bound() || talker < 0) return false;
    Listener listener(binary, listenerAddress,
                      {"--name", "listener", "--connect", QString::fromStdString(dottedAddress(hostAddress)), "--audio",
                       "wav:" + silence + ":" + work.path()},
                      link.runtimeDirectory());
    if (!listener.waitUntilAnswering(host) || !link.waitForMailbox()) {
        std::printf("%s: the listener did not start\n", s.name);
        ::close(talker);
        return false;
    }
    Roster roster;
    roster.count = 2;
    roster.records[0] = test::memberAt(0, "talker", talkerAddress);
    roster.records[1] = test::memberAt(1, "listener", listenerAddress);
    host.send(makeRosterUpdate(1, roster), listener.memberEndpoint());
    QTest::qWait(300);
    if (!link.openAsOverlay()) return false;
    const sockaddr_in to = bench::socketAddress(listener.memberEndpoint());
    auto send = [&](const VoiceRecord& r) {
        const Bytes d = makeVoiceDatagram(cmd::VoiceGroup, 1, 0, r);
        ::sendto(talker, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };

    // A first spurt that the listener is asked about and accepts, then a pause.
    const std::string speaker = work.filePath(QStringLiteral("peer-0.wav")).toStdString();
    SpeakerWatch watch(speaker);
    watch.start();
    const std::vector<VoiceRecord> warmUp = warmUpRecords();
    {
        double at = monotonicMs();
        for (std::size_t i = 0; i < warmUp.size(); ++i) {
            const VoiceRecord& r = warmUp[i];
            sleepUntilMs(at += 60);
            send(r);
            if (i == 2) {
                if (!link.next(link::to_overlay::CallRequest, 10000)) {
                    std::printf("%s: the listener asked nothing\n", s.name);
                    ::close(talker);
                    return false;
                }
                link.post(link::to_main::AcceptVoice, 1);  // row 1 shows member 0
                at = monotonicMs();
            }
        }
    }
    QTest::qWait(1500);

    // Scheduled first and then moved to start 200 ms from now: coding three minutes of talk takes
    // longer than that, and a talk that began late would go out in a burst of overdue records.
    std::vector<Record> records = schedule(s, std::uint32_t(warmUp.size() + 1), 0, seed);
    const double startMs = monotonicMs() + 200;
    for (Record& r : records) {
        r.sentMs += startMs;
        if (r.deliverMs >= 0) r.deliverMs += startMs;
    }
    std::vector<const Record*> order;
    for (const Record& r : records)
        if (r.deliverMs >= 0) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(), [](const Record* a, const Record* b) { return a->deliverMs < b->deliverMs; });
    std::thread network([&] {
        for (const Record* r : order) {
            sleepUntilMs(r->deliverMs);
            send(r->record);
        }
    });
    while (monotonicMs() < records.back().sentMs + 1000) QTest::qWait(100);
    network.join();
    QTest::qWait(1500);
    ::close(talker);
    watch.stop();

    if (qEnvironmentVariableIsSet("LUMO_BENCH_KEEP")) {  // for looking into a run by hand (the latest run kept)
        const QString keep = qEnvironmentVariable("LUMO_BENCH_KEEP");
        QDir().mkpath(keep);
        const QString kept = keep + "/" + s.name + "-" + QString::number(seed - 6) + ".wav";
        QFile::remove(kept);
        QFile::copy(QString::fromStdString(speaker), kept);
    }
    test::Wav heard;
    if (!test::readWav(speaker, &heard)) {
        std::printf("%s: no speaker file\n", s.name);
        return false;
    }
    *result = judge(s, records, warmUp, heard.samples, watch.startMs());
    if (std::getenv("LUMO_BENCH_TRACE"))
        std::printf("file start %.1f, talk starts %.1f, %zu samples heard\n", watch.startMs(), records.front().sentMs, heard.samples.size());
    return true;
}

void printRow(const Scenario& s, const char* run, const Result& r)
{
    std::printf("%-7s %-4s %4d %4d %5d %4d %4d | %5.0f %5.0f %5.0f %5.0f | %5.0f | %5d %5d |", s.name, run, r.sent, r.delivered,
                r.playedOnce, r.never, r.repeats, r.lagMean, r.lagMedian, r.lagP95, r.lagMax, r.lagMedian + 60, r.hardSilence,
                r.concealed);
    if (s.spikeAtS >= 0) std::printf(" before spike %.0f ms, within 20 ms again %.1f s after it;", r.lagBeforeSpike, r.recoveredAfterS);
    std::printf(" last 10 s median %.0f ms\n", r.lagLast10s);
    std::fflush(stdout);
}

// The listener's playout on simulated time for scenario `s` (the talk's first run's schedule):
// the floor row, the CPU of its work per block beside decoding, and how well the explainer
// accounts for what it knows to have been played.
void simulatedRow(const Scenario& s, bool checkJudge)
{
    const std::vector<VoiceRecord> warmUp = warmUpRecords();
    const double startMs = 100000;
    const std::vector<Record> records = schedule(s, std::uint32_t(warmUp.size() + 1), startMs, 7);
    const Simulated sim = simulate(s, records, warmUp, startMs);
    printRow(s, "sim", sim.truth);
    const PlayoutCpu cpu = timePlayout(sim);
    std::printf("%-7s      playout CPU per record played: step %.2f us + time-scaling %.2f us = %.1f %% of decoding it (%.1f us); "
                "%llu of %llu records time-scaled, %.1f us each (%.0f %% of decoding)\n",
                "", cpu.stepUs, cpu.scalingUs, 100 * (cpu.stepUs + cpu.scalingUs) / cpu.decodeUs, cpu.decodeUs,
                (unsigned long long)sim.scaledRecords, (unsigned long long)sim.playedRecords, cpu.scalingPerScaledUs,
                100 * cpu.scalingPerScaledUs / cpu.decodeUs);
    if (!checkJudge) return;
    const Result judged = judge(s, records, warmUp, sim.heard, sim.fileStartMs);
    const ExplainerCheck c = checkExplainer(judged, sim);
    std::printf("%-7s      explainer on it: never %+d, repeats %+d, mutes %+d, concealed periods %+d against what it was; lag off by "
                "%.1f ms at most (%.1f for time-scaled records, whose start Sonic blends)\n",
                "", c.neverOff, c.repeatsOff, c.muteOff, c.concealedOff, c.lagOffMax, c.lagOffScaledMax);
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = bench::secondsArgument(argc, argv, 30, 10);
    double driftSeconds = 180;
    int runs = 1;
    bool simulatedOnly = false;
    QString only, binary = QStringLiteral(LUMO_BINARY);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--simulated") simulatedOnly = true;
        if (i + 1 >= argc) continue;
        if (a == "--drift-seconds") driftSeconds = std::max(10.0, std::atof(argv[i + 1]));
        if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--only") only = QString::fromLocal8Bit(argv[i + 1]);
        if (a == "--lumo") binary = QString::fromLocal8Bit(argv[i + 1]);
    }
    QCoreApplication app(argc, argv);
    if (talkSamples(BlockSamples).empty() || talkSamples(BlockSamples)[0] == 0) {
        std::printf("cannot read the test phrase under %s\n", LUMO_SOURCE_DIR);
        return 1;
    }
    // A relative path would be taken from the listener's working directory (the run directory).
    const QFileInfo lumo(binary);
    binary = lumo.absoluteFilePath();
    if (!simulatedOnly && !lumo.isExecutable()) {
        std::printf("no lumo binary at %s\n", qPrintable(binary));
        return 1;
    }
    const std::vector<Scenario> scenarios{
        {"clean", seconds},
        {"spike", seconds, 0, 0, 0, 0, seconds / 3, 400},
        {"fast", driftSeconds, +0.01},
        {"slow", driftSeconds, -0.01},
        {"loss10", seconds, 0, 0.10, 0.10, 40},
        {"loss30", seconds, 0, 0.30, 0.10, 40},
    };
    std::printf("voice playout: a scheduled talker to `%s --audio wav` (%lld bytes, built %s), and the same talk through\n"
                "this build's playout step on simulated time (sim: an ideal machine, the floor)\n",
                qPrintable(binary), (long long)lumo.size(), qPrintable(lumo.lastModified().toString(Qt::ISODate)));
    std::printf("load average at start: %s (2 cores shared)\n", bench::loadAverage().c_str());
    std::printf("%-7s %-4s %4s %4s %5s %4s %4s | %5s %5s %5s %5s | %5s | %5s %5s | %s\n", "", "run", "sent", "got", "once", "never",
                "rep", "mean", "med", "p95", "max", "m2e", "mute", "concl",
                "lag in ms; m2e: mouth-to-ear median; mute: hard-silence periods; concl: concealed periods");
    for (const Scenario& s : scenarios) {
        if (!only.isEmpty() && only != QLatin1String(s.name)) continue;
        simulatedRow(s, true);
        if (simulatedOnly) continue;
        std::vector<Result> results;
        for (int run = 0; run < runs; ++run) {
            Result r;
            if (!runScenario(s, binary, 7 + unsigned(run), &r)) continue;
            printRow(s, std::to_string(run + 1).c_str(), r);
            results.push_back(r);
        }
        if (results.size() < 2) continue;
        auto spread = [&](double Result::*field) {
            std::vector<double> v;
            for (const Result& r : results) v.push_back(r.*field);
            const bench::Spread sp = bench::spread(v);
            char text[48];
            std::snprintf(text, sizeof text, "%.0f-%.0f", sp.min, sp.max);
            return std::string(text);
        };
        auto spreadInt = [&](int Result::*field) {
            int lo = 1 << 30, hi = -1;
            for (const Result& r : results) lo = std::min(lo, r.*field), hi = std::max(hi, r.*field);
            return std::to_string(lo) + "-" + std::to_string(hi);
        };
        std::printf("%-7s spread over %zu runs: median %s, p95 %s, max %s, mutes %s, never %s, repeats %s", s.name, results.size(),
                    spread(&Result::lagMedian).c_str(), spread(&Result::lagP95).c_str(), spread(&Result::lagMax).c_str(),
                    spreadInt(&Result::hardSilence).c_str(), spreadInt(&Result::never).c_str(), spreadInt(&Result::repeats).c_str());
        if (s.spikeAtS >= 0) std::printf(", back within 20 ms after %s s", spread(&Result::recoveredAfterS).c_str());
        std::printf("\n");
    }
    std::printf("load average at end: %s\n", bench::loadAverage().c_str());
    return 0;
}
