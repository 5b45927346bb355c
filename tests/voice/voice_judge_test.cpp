// The voice tests' judge against speaker files whose every record is known: the playout's own
// renderer plays the test phrase's records, some of them faster or slower, some twice, some not
// at all, some out of order. Time-scaled records must be recognised as the records they are, and
// a record played twice, not played, or played out of order must still show.
#include "voice_judge.h"
#include "voice/playout_renderer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace lumo::test {
namespace {

struct Talk {
    std::map<std::uint32_t, SentRecord> sent;
    std::map<std::uint32_t, VoiceRecord> records;
};

// The phrase three times as records, one every 60 ms from 0, each reaching the listener 5 ms
// later.
Talk talkOfPhrase()
{
    Talk talk;
    VoiceCodec encoder;
    std::uint32_t sequence = 1;
    const std::vector<std::int16_t> phrase = phraseSamples();
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 3; ++i) samples.insert(samples.end(), phrase.begin(), phrase.end());
    for (const auto& block : blocksOf(samples)) {
        VoiceRecord record;
        record.sequence = sequence;
        int length = 0;
        encoder.Encode(block.data(), BlockBytes, record.speech.data(), &length);
        SentRecord s;
        s.sequence = sequence;
        s.speech = record.speech;
        s.sentMs = 60.0 * (sequence - 1);
        s.deliveredMs = {s.sentMs + 5};
        talk.sent[sequence] = s;
        talk.records[sequence] = record;
        ++sequence;
    }
    return talk;
}

struct Played {
    std::uint32_t sequence;
    int adjustMs;        // > 0 played faster, < 0 slower
    bool twice = false;  // its samples queued again (a buffer handed to the card twice)
    bool concealed = false;  // not there in time: the decoder's erasure output in its place
};

// What a listener's speaker holds after the renderer played `order`.
std::vector<std::int16_t> speakerOf(const Talk& talk, const std::vector<Played>& order)
{
    PlayoutRenderer renderer;
    std::vector<std::int16_t> heard;
    for (const Played& p : order) {
        PlayoutStep::Chunk chunk{p.concealed ? PlayoutStep::Kind::Conceal : PlayoutStep::Kind::Record, PlayoutStep::FramesPerBlock,
                                 talk.records.at(p.sequence), p.adjustMs, 1000};
        const int n = renderer.render(chunk, 100, false);
        heard.insert(heard.end(), renderer.samples(), renderer.samples() + n);
        if (p.twice) heard.insert(heard.end(), renderer.samples(), renderer.samples() + n);
    }
    return heard;
}

struct Case {
    std::string name;
    std::map<std::uint32_t, int> adjust;  // record -> ms taken out (> 0) or put in (< 0)
    std::vector<std::uint32_t> twice, skipped;
    std::pair<std::uint32_t, std::uint32_t> swapped{0, 0};
    std::uint32_t cameLate = 0;  // a record that reached the listener too late for its turn: concealed
    bool exact;          // every loud record heard once, none again, none out of order
    bool scaledFound;    // some records were recognised time-scaled only
    double cameAfterSentMs = 150;  // when cameLate reached the listener (its turn is at 100)
};

TEST(VoiceJudgeTest, RecognisesTimeScaledRecordsAndStillCatchesFaults)
{
    const Talk sentTalk = talkOfPhrase();
    ASSERT_GT(sentTalk.sent.size(), 80u);
    // Records of speech throughout (the phrase's loud middle), sped up and slowed down.
    std::map<std::uint32_t, int> scaling;
    for (std::uint32_t s = 8; s < 80; s += 3) scaling[s] = (s % 2) ? 12 : -12;
    const std::vector<Case> cases = {
        {"as decoded", {}, {}, {}, {}, 0, true, false},
        {"time-scaled", scaling, {}, {}, {}, 0, true, true},
        {"time-scaled, a record played twice", scaling, {40}, {}, {}, 0, false, true},
        {"time-scaled, a record not played", scaling, {}, {50}, {}, 0, false, true},
        {"time-scaled, two records out of order", scaling, {}, {}, {60, 61}, 0, false, true},
        {"time-scaled, a record that came after its turn concealed", scaling, {}, {}, {}, 50, false, true},
        // The player had queued the sound for its turn already.
        {"a record that came just before its turn concealed", {}, {}, {}, {}, 50, false, false, 85},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Talk talk = sentTalk;
        if (c.cameLate) talk.sent[c.cameLate].deliveredMs = {talk.sent[c.cameLate].sentMs + c.cameAfterSentMs};
        std::vector<Played> order;
        for (const auto& [sequence, record] : talk.sent) {
            if (sequence == c.cameLate) {
                order.push_back({sequence, 0, false, true});
                continue;
            }
            if (std::find(c.skipped.begin(), c.skipped.end(), sequence) != c.skipped.end()) continue;
            std::uint32_t playing = sequence;
            if (sequence == c.swapped.first) playing = c.swapped.second;
            if (sequence == c.swapped.second) playing = c.swapped.first;
            const auto a = c.adjust.find(playing);
            const bool twice = std::find(c.twice.begin(), c.twice.end(), sequence) != c.twice.end();
            order.push_back({playing, a == c.adjust.end() ? 0 : a->second, twice});
        }
        const std::vector<std::int16_t> heard = speakerOf(talk, order);
        const std::uint32_t last = talk.sent.rbegin()->first;
        // The speaker opens 100 ms after the first record was sent: each record plays 100 ms
        // after it was sent and arrived 95 ms before its turn.
        const PlayoutReport r = judgePlayout(talk.sent, heard, 100, 3, last - 2);
        EXPECT_EQ(r.late, c.cameLate ? 1 : 0);
        ASSERT_GT(r.received, 60);
        if (c.exact) {
            EXPECT_EQ(r.playedOnce, r.received);
            EXPECT_EQ(r.repeats, 0);
            EXPECT_EQ(r.outOfOrder, 0);
        } else {
            // The fault shows in what a test checks: a record heard not once, again, or out of
            // order.
            EXPECT_TRUE(r.playedOnce < r.received || r.repeats > 0 || r.outOfOrder > 0)
                << r.playedOnce << " of " << r.received << " once, repeats " << r.repeats << ", out of order " << r.outOfOrder;
        }
        EXPECT_EQ(r.timeScaled > 0, c.scaledFound) << r.timeScaled;
    }
}

}  // namespace
}  // namespace lumo::test
