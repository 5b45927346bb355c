// The renderer's time-scaling over a stretch of records, on the test phrase's loud middle: one
// Sonic stream goes on from record to record, so what a stretch takes out or puts in is what the
// step asked for, whatever the voice's pitch; what Sonic holds comes out before the first record
// played as it is, which is then exactly as decoded; and the end of a spurt lets everything out.
#include "core/voice_test_support.h"
#include "voice/playout_renderer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumo {
namespace {

TEST(PlayoutRendererTest, AStretchOfTimeScaledRecordsGivesWhatWasAskedAndLosesNothing)
{
    const std::vector<std::vector<std::int16_t>> blocks = test::blocksOf(test::phraseSamples());
    ASSERT_GE(blocks.size(), 24u);
    std::vector<VoiceRecord> records;
    VoiceCodec encoder;
    for (std::size_t i = 4; i < 24; ++i) {
        VoiceRecord r;
        r.sequence = std::uint32_t(i);
        encoder.Encode(blocks[i].data(), BlockBytes, r.speech.data(), nullptr);
        records.push_back(r);
    }
    constexpr int Stretch = 16;  // records time-scaled in a row, then the rest as decoded
    for (const int adjustMs : {5, 10, -5, -10}) {
        SCOPED_TRACE("adjust " + std::to_string(adjustMs) + " ms a record");
        PlayoutRenderer renderer;
        VoiceCodec reference;
        std::vector<std::int16_t> heard, last(BlockSamples);
        double asked = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const bool scaled = i < Stretch;
            const PlayoutStep::Chunk chunk{PlayoutStep::Kind::Record, PlayoutStep::FramesPerBlock, records[i], scaled ? adjustMs : 0, 1000};
            const int n = renderer.render(chunk, 100, false);
            heard.insert(heard.end(), renderer.samples(), renderer.samples() + n);
            reference.Decode(records[i].speech.data(), CodedBlockSize, last.data(), nullptr);
            asked += BlockSamples / (scaled ? playSpeed(adjustMs, renderer.lastRecordQuiet()) : 1.0);
            // What Sonic keeps for its next period search is bounded, and gone once a record
            // plays as it is.
            EXPECT_LE(renderer.scalerHeldSamples(), 512) << i;
            if (!scaled) {
                EXPECT_EQ(renderer.scalerHeldSamples(), 0) << i;
            }
        }
        const int kept = renderer.heldSamples();
        const int n = renderer.render(PlayoutStep::Chunk{}, 100, false);
        heard.insert(heard.end(), renderer.samples(), renderer.samples() + kept);
        EXPECT_EQ(n % PlayoutRenderer::PeriodSamples, 0);
        // The stretch gave what was asked within one of the longest pitch periods (65 Hz).
        EXPECT_NEAR(double(heard.size()), asked, 8000.0 / 65) << heard.size() << " samples for " << asked;
        // The records after the stretch are exactly as decoded, the last one at the very end.
        ASSERT_GE(heard.size(), std::size_t(BlockSamples));
        EXPECT_TRUE(std::equal(last.begin(), last.end(), heard.end() - BlockSamples));
        EXPECT_EQ(renderer.scaledRecords(), std::uint64_t(Stretch));
    }
}

}  // namespace
}  // namespace lumo
