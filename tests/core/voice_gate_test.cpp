// The silence gate and the speech gate that keeps words whole: pure logic, driven directly.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/voice/silence_gate.h"
#include "core/voice/speech_gate.h"

namespace lumo {
namespace {

// --- silence gate -----------------------------------------------------------------------

// A 960-byte block in which `qualifying` of the 240 examined high bytes (those of samples
// 0, 2, 4, ...) lie in -2..2 and the others do not.
std::vector<std::uint8_t> gateBlock(int qualifying)
{
    std::vector<std::int16_t> samples(480, 0);
    for (int i = 0; i < 480; ++i) {
        if (i % 2 == 1)
            samples[i] = 20000;  // odd samples are never examined
        else
            samples[i] = (i / 2 < qualifying) ? std::int16_t(-512 + i) : std::int16_t(-3000);
    }
    std::vector<std::uint8_t> bytes(960);
    std::memcpy(bytes.data(), samples.data(), 960);
    return bytes;
}

TEST(SilenceGateTest, QuietOnlyAboveTwoHundredQualifyingBytes)
{
    EXPECT_FALSE(IsQuietBlock(gateBlock(200).data(), 960));
    EXPECT_TRUE(IsQuietBlock(gateBlock(201).data(), 960));
    EXPECT_TRUE(IsQuietBlock(gateBlock(240).data(), 960));
    EXPECT_FALSE(IsQuietBlock(gateBlock(0).data(), 960));

    const std::vector<std::uint8_t> zeros(960, 0);
    EXPECT_TRUE(IsQuietBlock(zeros.data(), 960));

    // Even samples of 1000 have the high byte 3: none qualifies.
    std::vector<std::int16_t> thousands(480, 0);
    for (int i = 0; i < 480; i += 2)
        thousands[i] = 1000;
    EXPECT_FALSE(IsQuietBlock(reinterpret_cast<const std::uint8_t*>(thousands.data()), 960));
    // 767 (high byte 2) and -512 (high byte -2) are the edges of "quiet".
    for (std::int16_t edge : {std::int16_t(767), std::int16_t(-512)}) {
        std::vector<std::int16_t> samples(480, edge);
        EXPECT_TRUE(IsQuietBlock(reinterpret_cast<const std::uint8_t*>(samples.data()), 960)) << edge;
    }
    for (std::int16_t beyond : {std::int16_t(768), std::int16_t(-513)}) {
        std::vector<std::int16_t> samples(480, beyond);
        EXPECT_FALSE(IsQuietBlock(reinterpret_cast<const std::uint8_t*>(samples.data()), 960)) << beyond;
    }
}

TEST(SilenceGateTest, ShortOrMissingBlocksAreNotQuiet)
{
    const std::vector<std::uint8_t> zeros(960, 0);
    EXPECT_FALSE(IsQuietBlock(zeros.data(), 1));
    EXPECT_FALSE(IsQuietBlock(zeros.data(), 0));
    EXPECT_FALSE(IsQuietBlock(zeros.data(), -960));
    EXPECT_FALSE(IsQuietBlock(nullptr, 960));
    // Only the bytes below length are counted: 804 bytes hold 201 examined bytes, 800 hold 200.
    EXPECT_TRUE(IsQuietBlock(zeros.data(), 804));
    EXPECT_FALSE(IsQuietBlock(zeros.data(), 801));
}

// --- speech gate --------------------------------------------------------------------------

// One block as the gate sees it: its level and whether the voice detector heard speech.
struct Heard {
    int level;
    bool voice = true;
};

struct GateCase {
    const char* what;
    SpeechGate::Timing timing;
    int limit;
    bool askVoice;
    std::vector<Heard> blocks;
    std::vector<int> sent;  // what next() returns for each block
};

TEST(SpeechGateTest, LooksBackWhenOpeningAndHangsOverAfterTheLevelFalls)
{
    constexpr int Q = 1, L = 9;  // a quiet and a loud level under the limit 2
    const std::vector<GateCase> cases{
        {"a word right at the start has nothing before it", {2, 4}, 2, false, {{L}, {L}}, {1, 1}},
        {"held blocks go first, at most the look-back", {2, 4}, 2, false, {{Q}, {Q}, {Q}, {L}}, {0, 0, 0, 3}},
        {"one held block", {2, 4}, 2, false, {{Q}, {L}}, {0, 2}},
        {"hang-over, then held again", {2, 3}, 2, false, {{L}, {Q}, {Q}, {Q}, {Q}, {Q}}, {1, 1, 1, 1, 0, 0}},
        {"a pause within the hang-over is no hole", {2, 4}, 2, false, {{L}, {Q}, {Q}, {L}, {Q}}, {1, 1, 1, 1, 1}},
        {"hang-over blocks are never sent again as look-back", {2, 1}, 2, false,
         {{L}, {Q}, {Q}, {L}}, {1, 1, 0, 2}},
        {"the level at the limit is quiet", {2, 4}, 2, false, {{2}, {3}}, {0, 2}},
        {"without look-back and hang-over: the level gate alone", {0, 0}, 2, false,
         {{Q}, {L}, {Q}, {L}}, {0, 1, 0, 1}},
        {"asking the voice detector: loud noise is held", {2, 4}, 2, true,
         {{L, false}, {L, false}, {L, true}}, {0, 0, 3}},
        {"asking the voice detector: a quiet voice is held", {2, 4}, 2, true, {{Q, true}, {L, true}}, {0, 2}},
        {"the detector is not asked unless chosen", {2, 4}, 2, false, {{L, false}}, {1}},
        {"gate off: every block alone", {2, 4}, -1, false, {{0}, {0}, {L}}, {1, 1, 1}},
        {"look-back above the most kept is cut to it", {9, 0}, 2, false,
         {{Q}, {Q}, {Q}, {Q}, {Q}, {Q}, {L}}, {0, 0, 0, 0, 0, 0, SpeechGate::MaxLookBackBlocks + 1}},
        {"negative timings are none", {-3, -1}, 2, false, {{Q}, {L}, {Q}}, {0, 1, 0}},
    };
    for (const GateCase& c : cases) {
        SpeechGate gate(c.timing);
        std::vector<int> sent;
        for (const Heard& block : c.blocks) sent.push_back(gate.next(block.level, block.voice, c.limit, c.askVoice));
        EXPECT_EQ(sent, c.sent) << c.what;
    }
}

TEST(SpeechGateTest, ResetAndTheGateTurnedOffForgetWhatWasHeld)
{
    for (const bool turnedOff : {false, true}) {
        SpeechGate gate;
        EXPECT_EQ(gate.next(0, false, 2, false), 0);
        EXPECT_EQ(gate.next(0, false, 2, false), 0);
        if (turnedOff)
            EXPECT_EQ(gate.next(0, false, -1, false), 1);  // push-to-talk: everything goes
        else
            gate.reset();  // talking stopped and starts again
        EXPECT_FALSE(gate.open());
        // Nothing from before counts as look-back.
        EXPECT_EQ(gate.next(50, true, 2, false), 1) << turnedOff;
        EXPECT_TRUE(gate.open());
    }
}

}  // namespace
}  // namespace lumo
