// The silence gate: pure logic, driven directly.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/voice/silence_gate.h"

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


}  // namespace
}  // namespace lumo
