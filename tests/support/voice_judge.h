// How the voice tests judge what a listener played: against the test phrase as a talker's capture
// sends it (cleaned, gated, coded) and a listener decodes it.
#pragma once

#include "core/voice_test_support.h"
#include "scaled_speech_match.h"
#include "core/voice/playout.h"
#include "core/voice/silence_gate.h"
#include "core/voice/voice_codec.h"
#include "voice/audio_device.h"
#include "voice/voice_capture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <fstream>
#include <string>
#include <cmath>
#include <vector>

namespace lumo::test {

// The phrase's blocks as a talker with the default cleaning sends them when it starts talking
// at the phrase's beginning and nothing plays at its end (what a new lumo's capture does with a
// WAV microphone): cleaned, gated, through one encoder, then one decoder. The capture's own code
// makes them, fed the blocks directly; the tests judge what the network and the listener do.
inline std::vector<std::vector<std::int16_t>> codedPhrase(const std::vector<std::int16_t>& phrase,
                                                          const VoiceProcessingChoice& cleaning = {})
{
    NullAudioSystem direct;
    direct.setVoiceProcessing(cleaning);
    VoiceCapture capture(direct);
    VoiceCodec decoder;
    std::vector<std::vector<std::int16_t>> out;
    capture.setBlockSink([&](const VoiceRecord& record) {
        std::vector<std::int16_t> decoded(BlockSamples);
        decoder.Decode(record.speech.data(), int(VoiceSpeechSize), decoded.data(), nullptr);
        out.push_back(std::move(decoded));
    });
    capture.setEnabled(true);
    for (const auto& block : blocksOf(phrase))
        capture.OnBlock(reinterpret_cast<const std::uint8_t*>(block.data()), BlockBytes);
    return out;
}

// Pearson correlation of two loudness contours over their common length: how well the rise and
// fall of one follows the other, whatever their overall level.
inline double contourCorrelation(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b)
{
    const std::size_t n = std::min(a.size(), b.size());
    if (n < 2) return 0;
    double meanA = 0, meanB = 0;
    for (std::size_t i = 0; i < n; ++i) meanA += a[i], meanB += b[i];
    meanA /= double(n);
    meanB /= double(n);
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = a[i] - meanA, y = b[i] - meanB;
        ab += x * y, aa += x * x, bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// What a speaker file holds without the silence a sound card plays while it has nothing (whole
// 10 ms periods of zeros): the pre-roll, the wait for an answer, the talker's pauses.
inline std::vector<std::int16_t> withoutSilence(const std::vector<std::int16_t>& samples)
{
    std::vector<std::int16_t> out;
    for (std::size_t at = 0; at < samples.size(); at += 80) {
        const auto end = samples.begin() + std::ptrdiff_t(std::min(samples.size(), at + 80));
        if (std::any_of(samples.begin() + std::ptrdiff_t(at), end, [](std::int16_t v) { return v != 0; }))
            out.insert(out.end(), samples.begin() + std::ptrdiff_t(at), end);
    }
    return out;
}

// How well what the listener played follows the coded phrase's loudness: each stretch it played
// (split where it played 200 ms or more of silence) is matched on its own against the phrase
// from any 10 ms on, and the stretches' best correlations are weighed by their lengths. Matched
// stretch by stretch and period by period because the playout may add or give back time between
// and inside stretches, which moves what it played off the record grid.
inline double loudnessMatch(const std::vector<std::vector<std::int16_t>>& reference, const std::vector<std::int16_t>& heardWithSilence)
{
    std::vector<std::int16_t> expected;
    for (const auto& block : reference) expected.insert(expected.end(), block.begin(), block.end());
    const auto expectedContour = envelope(expected);
    constexpr std::size_t Period = 80, SplitPeriods = 20;
    std::vector<std::vector<std::int16_t>> stretches(1);
    std::size_t silentPeriods = 0;
    for (std::size_t at = 0; at < heardWithSilence.size(); at += Period) {
        const auto begin = heardWithSilence.begin() + std::ptrdiff_t(at);
        const auto end = heardWithSilence.begin() + std::ptrdiff_t(std::min(heardWithSilence.size(), at + Period));
        if (std::none_of(begin, end, [](std::int16_t v) { return v != 0; })) {
            if (++silentPeriods == SplitPeriods && !stretches.back().empty()) stretches.emplace_back();
            continue;
        }
        silentPeriods = 0;
        stretches.back().insert(stretches.back().end(), begin, end);
    }
    double weighted = 0;
    std::size_t total = 0;
    for (const auto& stretch : stretches) {
        const auto heardContour = envelope(stretch);
        if (heardContour.size() < 2) continue;
        double best = 0;
        for (std::size_t lag = 0; lag < expectedContour.size(); ++lag) {
            const std::vector<std::int16_t> part(expectedContour.begin() + std::ptrdiff_t(lag), expectedContour.end());
            if (part.size() < heardContour.size() / 2) break;  // too little left to compare fairly
            best = std::max(best, contourCorrelation(part, heardContour));
        }
        weighted += best * double(heardContour.size());
        total += heardContour.size();
    }
    return total ? weighted / double(total) : 0;
}

// For a stream that lost blocks on the way the whole no longer lines up with the talk: each
// audible 60 ms block the listener played is looked up among the talk's blocks (within a few
// milliseconds of codec delay either way) by waveform correlation. Returns the share of played
// blocks that match some block of the talk at `threshold` or better.
inline double matchedBlockShare(const std::vector<std::vector<std::int16_t>>& reference,
                                const std::vector<std::int16_t>& heard, double threshold = 0.6)
{
    int audible = 0, matched = 0;
    for (std::size_t at = 0; at + BlockSamples <= heard.size(); at += BlockSamples) {
        const std::vector<std::int16_t> block(heard.begin() + at, heard.begin() + at + BlockSamples);
        if (IsQuietBlock(reinterpret_cast<const std::uint8_t*>(block.data()), BlockBytes)) continue;
        ++audible;
        double best = 0;
        for (const auto& candidate : reference)
            for (int lag = -40; lag <= 40 && best < threshold; lag += 2)
                best = std::max(best, correlation(candidate, block, lag));
        if (best >= threshold) ++matched;
    }
    return audible ? double(matched) / audible : 0;
}

// One record as the talker sent it and as the network delivered it, in milliseconds of one
// clock (the test's): when the talker sent it, and every time a copy reached the listener.
struct SentRecord {
    std::uint32_t sequence = 0;
    std::array<std::uint8_t, VoiceSpeechSize> speech{};
    double sentMs = 0;
    std::vector<double> deliveredMs;
};

// What a listener's speaker file says about a stream of records, judged from the file alone: the
// file runs on the real-time clock from `fileStartMs` (same clock as the records), so each
// played block's place in it is its play time.
struct PlayoutReport {
    int received = 0;        // records of the judged span that reached the listener
    int lost = 0;            // records of the judged span the network lost entirely
    int playedOnce = 0;      // received records heard exactly once
    int neverPlayed = 0;     // received records not heard at all
    int late = 0;            // of those, records that reached the listener after their turn
                             // was settled: after the record before them had finished playing,
                             // less the sound the player keeps queued ahead of the card
                             // (PlayoutStep::LeadMs); concealed in their place, as they must be
    int quiet = 0;           // received records too quiet to be heard (the gate's look-back and
                             // hang-over around words, a quiet block played faster): not counted
                             // as received
    int repeats = 0;         // extra times records of any kind were heard again
    int outOfOrder = 0;      // records first heard after a later one
    int timeScaled = 0;      // records recognised only as played faster or slower (pitch kept)
    int concealed = 0;       // audible 60 ms (rounded up) that are no record: concealment, noise
    int identified = 0;      // played blocks recognised as a record
    double meanLagMs = 0, maxLagMs = 0;  // play time minus the talker's send time
    double waveformMatch = 0;            // share of audible blocks that are records of the talk
};

// Finds every record in the heard samples, against a reference decoding (below); a heard 60 ms stretch is
// that record when it correlates with it well enough at the same alignment (see below). Only
// records sent within `windowMs` before the stretch plays are candidates, so a talk that says
// the same phrase twice is not confused. Buffers start on the 80-sample periods of the WAV
// speaker, so the search steps 80 samples until it finds a record and then follows block by
// block. Records of [firstJudged, lastJudged] count toward received/played.
inline PlayoutReport judgePlayout(const std::map<std::uint32_t, SentRecord>& sent, const std::vector<std::int16_t>& heard,
                                  double fileStartMs, std::uint32_t firstJudged, std::uint32_t lastJudged,
                                  double threshold = 0.97, double aheadThreshold = 0.45,
                                  double windowMs = 1200)
{
    // The reference is what a listener plays: every record that arrived, decoded in order, with
    // the decoder's erasure output where the network lost one. How many erased frames a listener
    // plays for a lost record depends on its timing, and the decoder remembers it for a while,
    // so the reference is kept in variants of 0 to 12 erased frames per lost record; a heard
    // block is compared with the closest. Records that never arrived are no candidates: what
    // sounds in their place is concealment.
    constexpr int Variants = 13;
    std::map<std::uint32_t, std::vector<std::vector<std::int16_t>>> reference;
    {
        std::vector<std::unique_ptr<VoiceCodec>> decoders;
        for (int k = 0; k < Variants; ++k) decoders.push_back(std::make_unique<VoiceCodec>());
        std::vector<std::int16_t> frame(SamplesPerFrame);
        for (const auto& [sequence, record] : sent) {
            if (record.deliveredMs.empty()) {
                for (int k = 0; k < Variants; ++k)
                    for (int f = 0; f < k; ++f) decoders[k]->Conceal(frame.data(), 1);
                continue;
            }
            auto& blocks = reference[sequence];
            for (int k = 0; k < Variants; ++k) {
                std::vector<std::int16_t> block(BlockSamples);
                decoders[k]->Decode(record.speech.data(), int(VoiceSpeechSize), block.data(), nullptr);
                blocks.push_back(std::move(block));
            }
        }
    }
    auto audible = [](const std::int16_t* samples, int count) {
        long sum = 0;
        for (int i = 0; i < count; ++i) sum += std::abs(int(samples[i]));
        return sum / count > 30;
    };
    auto corr = [](const std::vector<std::int16_t>& a, const std::int16_t* b) {
        double ab = 0, aa = 0, bb = 0;
        for (int i = 0; i < BlockSamples; ++i) ab += double(a[i]) * b[i], aa += double(a[i]) * a[i], bb += double(b[i]) * b[i];
        return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
    };
    // The best candidate at position p: (sequence, correlation).
    // A record after the last one found needs `aheadThreshold`: after a concealment the
    // listener's decoder differs from the reference for a while, so its records correlate less
    // than perfectly. Claiming a record again (a repeat) or out of order needs `threshold`: a
    // replayed block is an exact copy, while the erasure output after a record only resembles it
    // (after a steady stretch, such as the quiet blocks around a word, at times above 0.9).
    // Scores are correlations over the threshold that applies: 1 or more is a match.
    bool anyFound = false;
    std::uint32_t lastFound = 0;
    int bestVariant = 0, lastVariant = 0;
    auto best = [&](std::size_t p) {
        const double playMs = fileStartMs + double(p) / 8.0;
        std::pair<std::uint32_t, double> found{0, -1};
        for (const auto& [sequence, record] : sent) {
            if (record.deliveredMs.empty()) continue;
            if (record.sentMs > playMs + 300 || record.sentMs < playMs - windowMs) continue;
            const bool ahead = !anyFound || sequence > lastFound;
            const auto& variants = reference.at(sequence);
            for (int k = 0; k < int(variants.size()); ++k) {
                const double c = corr(variants[std::size_t(k)], heard.data() + p) / (ahead ? aheadThreshold : threshold);
                if (c > found.second) found = {sequence, c}, bestVariant = k;
            }
        }
        return found;
    };

    PlayoutReport report;
    std::map<std::uint32_t, int> heardCount;
    std::vector<std::pair<std::uint32_t, std::size_t>> found;  // record, where it plays
    double lagSum = 0;
    int lagCount = 0;
    std::vector<std::size_t> unmatchedAt;  // audible periods that are no record
    std::size_t p = 0, scanFloor = 0;
    const auto trace = std::getenv("LUMO_JUDGE_TRACE");  // for looking into a result by hand
    // Records found only by following time-scaled speech, and where: the erasure output filling a
    // lost record goes on from the last one heard and can pass for the next record's opening.
    // When that record is then found whole, as it is, the earlier find was the erasure output.
    std::map<std::uint32_t, std::size_t> followedAt;
    auto heardRecord = [&](std::uint32_t sequence, std::size_t at, bool whole) {
        if (const auto followed = followedAt.find(sequence); whole && followed != followedAt.end()) {
            if (trace) std::fprintf(stderr, "judge: record %u found whole at %zu, not at %zu\n", sequence, at, followed->second);
            found.erase(std::find(found.begin(), found.end(), std::pair{sequence, followed->second}));
            followedAt.erase(followed);
            --heardCount[sequence];
            --report.identified;
            --report.timeScaled;
        } else if (!whole) {
            followedAt[sequence] = at;
        }
        if (anyFound && sequence < lastFound && sequence >= firstJudged && !heardCount.count(sequence)) {
            ++report.outOfOrder;
            if (trace) std::fprintf(stderr, "judge: record %u heard after record %u\n", sequence, lastFound);
        }
        ++heardCount[sequence];
        ++report.identified;
        if (!anyFound || sequence > lastFound) lastFound = sequence;
        anyFound = true;
        found.push_back({sequence, at});
    };
    // Follows the speaker period by period from `start`, right after the last record found, through
    // records played faster or slower (found as the bench's explainer finds them), until a record
    // is found whole at its start again (its block is taken as found) or the speech is no record.
    // Returns where the block search goes on: `start` when not even the first period is found.
    auto followScaled = [&](std::size_t start, int variant) -> std::size_t {
        // The talk around the last record found, as each reference decoder plays it (they differ
        // after a loss); the one that matched the last record first.
        std::vector<std::vector<std::int16_t>> talks(Variants);
        std::vector<std::uint32_t> talkRecord;  // the record of each block of a talk
        std::vector<double> reachedMs;
        long lastEnd = -1;
        for (auto it = sent.lower_bound(lastFound >= 4 ? lastFound - 4 : 0); it != sent.end() && talkRecord.size() < 28; ++it) {
            if (it->second.deliveredMs.empty()) continue;
            for (int k = 0; k < Variants; ++k) {
                const auto& block = reference.at(it->first)[std::size_t(k)];
                talks[std::size_t(k)].insert(talks[std::size_t(k)].end(), block.begin(), block.end());
            }
            const std::vector<std::int16_t>& talk = talks[std::size_t(variant)];
            talkRecord.push_back(it->first);
            reachedMs.push_back(*std::min_element(it->second.deliveredMs.begin(), it->second.deliveredMs.end()));
            if (it->first == lastFound) lastEnd = long(talk.size());
        }
        if (lastEnd < 0) return start;
        double playMs = 0;
        // Only what had reached the listener can be heard (the file's clock is known to a block).
        auto usable = [&](long at, int n) {
            return reachedMs[std::size_t(at + n - 1) / BlockSamples] <= playMs + BlockSamples / 8.0;
        };
        const std::uint32_t before = lastFound;
        RepeatWatch watch;
        watch.note(lastEnd - SpeakerPeriod, 0);
        bool repeating = false;
        std::vector<std::pair<std::uint32_t, std::size_t>> heardHere;  // ahead of `before`, in order
        long predicted = lastEnd + long(start) - long(scanFloor), lastAt = -1;
        std::size_t q = start, lastQ = start;
        int misses = 0;
        bool foundAny = false;
        const std::size_t unmatchedBefore = unmatchedAt.size();
        auto commit = [&] {
            for (const auto& [sequence, at] : heardHere) heardRecord(sequence, at, false);
            report.timeScaled += int(heardHere.size());
        };
        for (; q + SpeakerPeriod <= heard.size() && audible(heard.data() + q, SpeakerPeriod); q += SpeakerPeriod) {
            playMs = fileStartMs + double(q) / 8.0;
            bool joined = false;
            const std::vector<std::int16_t>& talk = talks[std::size_t(variant)];
            long at = matchScaledPeriod(talk, heard.data() + q, predicted, usable, &joined, 200, 0.9, 0.9);
            for (int k = 0; k < Variants && at < 0; ++k)
                if (k != variant && (at = matchScaledPeriod(talks[std::size_t(k)], heard.data() + q, predicted, usable, &joined, 200, 0.9, 0.9)) >= 0)
                    variant = k;
            // Found afresh only ahead of what was heard: the erasure output that fills a gap
            // repeats the last pitch periods, and must not pass for the talk heard again.
            const long ahead = std::max(0L, watch.furthest() - MaxPitchBack);
            if (at < 0 && bestNear(talks[std::size_t(variant)], heard.data() + q, SpeakerPeriod, ahead, long(talk.size()) - SpeakerPeriod, usable, &at) < 0.9) at = -1;
            if (trace) std::fprintf(stderr, "judge %zu: period at %ld of the talk around record %u%s\n", q, at, before, joined ? " (joined)" : "");
            if (at < 0) {
                // A period or two around a join that Sonic blended may be found as neither half.
                if (++misses > 2) break;
                unmatchedAt.push_back(q);
                predicted += SpeakerPeriod;
                continue;
            }
            misses = 0;
            foundAny = true;
            const std::uint32_t sequence = talkRecord[std::size_t(at) / BlockSamples];
            const long into = at % BlockSamples;
            const bool again = watch.note(at, lastAt < 0 ? 1 : long(q - lastQ) / SpeakerPeriod);
            if (again && !repeating) ++report.repeats;
            repeating = again;
            predicted = at + SpeakerPeriod, lastAt = at, lastQ = q;
            if (sequence <= before || q < std::size_t(into)) continue;
            const bool known = std::any_of(heardHere.begin(), heardHere.end(), [&](const auto& h) { return h.first == sequence; });
            if (into < SpeakerPeriod && !known) {
                // A record's opening: whole from there, the block search takes it up again.
                const std::size_t opening = q - std::size_t(into);
                if (opening + BlockSamples <= heard.size() && opening >= scanFloor) {
                    const auto [whole, c] = best(opening);
                    if (c >= 1 && whole == sequence) {
                        commit();
                        heardRecord(sequence, opening, true);
                        lastVariant = bestVariant;
                        scanFloor = opening + BlockSamples;
                        return scanFloor;
                    }
                }
            }
            if (!known) heardHere.push_back({sequence, q - std::size_t(into)});
        }
        if (!foundAny) {
            unmatchedAt.resize(unmatchedBefore);
            return start;
        }
        commit();
        scanFloor = q;
        return q;
    };
    while (p + 80 <= heard.size()) {
        if (p + BlockSamples > heard.size() || !audible(heard.data() + p, 80)) {
            p += 80;
            continue;
        }
        // A block may open quietly (speech starting after a pause), so its start can lie up to
        // five periods before the first audible one, and not before where the last one ended.
        auto [sequence, c] = best(p);
        int variant = bestVariant;
        std::size_t at = p;
        for (std::size_t back = 80; back <= 400 && p >= back + scanFloor; back += 80) {
            const auto [s2, c2] = best(p - back);
            if (c2 > c) sequence = s2, c = c2, at = p - back, variant = bestVariant;
        }
        if (p + 80 + BlockSamples <= heard.size()) {
            const auto [s2, c2] = best(p + 80);
            if (c2 > c) sequence = s2, c = c2, at = p + 80, variant = bestVariant;
        }
        if (c * (sequence > lastFound ? aheadThreshold : threshold) < 0.9 && anyFound) {
            // Not clearly a whole record where the speaker's periods begin: the listener may have
            // played records faster or slower, which moves what follows off them. Followed period
            // by period, to the sample; a record found only loosely stands when that finds nothing.
            const std::size_t resumed = followScaled(p, lastVariant);
            if (resumed != p) {
                p = resumed;
                continue;
            }
        }
        if (c >= 1) p = at;
        if (trace) std::fprintf(stderr, "judge %zu: record %u, score %.2f\n", p, sequence, c);
        if (c < 1) {
            unmatchedAt.push_back(p);  // audible, but no record: concealment, or a record mangled
            p += 80;
            continue;
        }
        heardRecord(sequence, p, true);
        lastVariant = variant;
        p += BlockSamples;
        scanFloor = p;
    }
    // The speaker opened a little after the first record reached the listener (a new member's
    // first record plays at once): the first record found cannot play before it arrived.
    double opened = fileStartMs;
    if (!found.empty()) {
        const auto& d = sent.at(found.front().first).deliveredMs;
        opened = std::max(opened, *std::min_element(d.begin(), d.end()) - double(found.front().second) / 8.0);
    }
    for (const auto& [sequence, at] : found) {
        if (sequence < firstJudged || sequence > lastJudged) continue;
        const double lag = opened + double(at) / 8.0 - sent.at(sequence).sentMs;
        lagSum += lag, ++lagCount;
        report.maxLagMs = std::max(report.maxLagMs, lag);
    }
    // Counted from the judged span on: before it a new talker's first records may come together,
    // and the playout catches up on them.
    std::size_t judgedFrom = heard.size();
    for (const auto& [sequence, at] : found)
        if (sequence >= firstJudged) judgedFrom = std::min(judgedFrom, at);
    const auto unmatchedPeriods = std::count_if(unmatchedAt.begin(), unmatchedAt.end(), [&](std::size_t at) { return at >= judgedFrom; });
    report.concealed = int(unmatchedPeriods + 5) / 6;
    for (const auto& [sequence, count] : heardCount) report.repeats += count - 1;
    for (const auto& [sequence, record] : sent) {
        if (sequence < firstJudged || sequence > lastJudged) continue;
        if (record.deliveredMs.empty()) {
            ++report.lost;
            continue;
        }
        const auto it = heardCount.find(sequence);
        const std::vector<std::int16_t>& decoded = reference.at(sequence).front();
        bool loud = false;
        for (int at = 0; at + 80 <= BlockSamples; at += 80) loud = loud || audible(decoded.data() + at, 80);
        // A quiet block may be played up to twice as fast, which can take out the little that
        // was audible in it: unheard, it counts as too quiet.
        const bool quietBlock = IsQuietBlock(reinterpret_cast<const std::uint8_t*>(decoded.data()), BlockBytes);
        if ((!loud || quietBlock) && it == heardCount.end()) {
            ++report.quiet;
            continue;
        }
        ++report.received;
        const int count = it == heardCount.end() ? 0 : it->second;
        if (count == 1) ++report.playedOnce;
        if (count == 0) {
            ++report.neverPlayed;
            // Its turn began when the last record before it that was heard ended; the player
            // settles what plays then up to LeadMs sooner, when it queues that sound for the card.
            const double reached = *std::min_element(record.deliveredMs.begin(), record.deliveredMs.end());
            std::optional<double> turnMs;
            for (const auto& [before, at] : found)
                if (before < sequence) turnMs = opened + double(at + BlockSamples) / 8.0;
            const bool late = turnMs && reached >= *turnMs - PlayoutStep::LeadMs;
            if (late) ++report.late;
            if (trace) std::fprintf(stderr, "judge: record %u never heard%s\n", sequence, late ? " (came after its turn)" : "");
        }
    }
    report.meanLagMs = lagCount ? lagSum / lagCount : 0;
    const int audibleBlocks = report.identified + report.concealed;
    report.waveformMatch = audibleBlocks ? double(report.identified) / audibleBlocks : 0;
    return report;
}

// Writes samples as an 8 kHz 16-bit mono WAV file (a microphone), without starting another
// program.
inline bool writeWav(const std::string& path, const std::vector<std::int16_t>& samples)
{
    const std::uint32_t dataBytes = std::uint32_t(samples.size() * 2);
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);      // PCM
    u16(1);      // mono
    u32(8000);   // samples per second
    u32(16000);  // bytes per second
    u16(2);      // block alignment
    u16(16);     // bits per sample
    out.write("data", 4);
    u32(dataBytes);
    out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(dataBytes));
    return bool(out);
}

// Writes `ms` milliseconds of silence as a WAV microphone (for a listener that says nothing).
inline bool writeSilentWav(const std::string& path, int ms = 100)
{
    return writeWav(path, std::vector<std::int16_t>(std::size_t(ms) * 8, 0));
}

}  // namespace lumo::test
