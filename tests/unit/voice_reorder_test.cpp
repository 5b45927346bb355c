// The silence gate, the reorder step and the gain boost: pure logic, driven directly.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "voice/reorder_store.h"
#include "voice/silence_gate.h"

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

// --- reorder step -----------------------------------------------------------------------

VoiceRecord rec(std::uint32_t sequence)
{
    VoiceRecord r;
    r.sequence = sequence;
    r.speech.fill(static_cast<std::uint8_t>(sequence));
    return r;
}

// What a pass does, written as "play bytes: decoded sequence numbers with halves".
std::string describe(const ReorderStore::Plan& plan)
{
    std::string text = std::to_string(plan.playBytes) + ":";
    for (int i = 0; i < plan.decodeCount; ++i) {
        const auto& d = plan.decodes[i];
        EXPECT_EQ(d.record.speech[0], static_cast<std::uint8_t>(d.record.sequence));
        text += " " + std::to_string(d.record.sequence) + (d.half == ReorderStore::Half::A ? "A" : "B");
    }
    return text;
}

ReorderStore storeAt(std::uint32_t last)
{
    ReorderStore store;
    store.setLast(last);
    return store;
}

TEST(ReorderStoreTest, InOrderRecordsPlayOneBlockEach)
{
    ReorderStore store = storeAt(1);
    for (std::uint32_t n = 2; n < 12; ++n) {
        EXPECT_EQ(describe(store.Step(rec(n))), std::to_string(960) + ": " + std::to_string(n) + "A");
        EXPECT_EQ(store.last(), n);
    }
}

TEST(ReorderStoreTest, SwappedPairIsPlayedInOrder)
{
    ReorderStore store = storeAt(3);
    EXPECT_EQ(describe(store.Step(rec(4))), "960: 4A");
    EXPECT_EQ(describe(store.Step(rec(6))), "0:");
    EXPECT_EQ(store.store()[0].sequence, 6u);
    EXPECT_EQ(describe(store.Step(rec(5))), "1920: 5A 6B");
    EXPECT_EQ(store.last(), 6u);
    EXPECT_EQ(describe(store.Step(rec(7))), "960: 7A");
}

TEST(ReorderStoreTest, LostRecordIsSkippedAfterTwoMore)
{
    ReorderStore store = storeAt(3);
    EXPECT_EQ(describe(store.Step(rec(4))), "960: 4A");
    EXPECT_EQ(describe(store.Step(rec(6))), "0:");
    // 5 never comes: half A still holds 4 from the previous pass, 6 goes into B.
    EXPECT_EQ(describe(store.Step(rec(7))), "1920: 6B");
    EXPECT_EQ(store.last(), 5u);
    EXPECT_EQ(describe(store.Step(rec(8))), "1920: 6A 7B");
    EXPECT_EQ(describe(store.Step(rec(9))), "1920: 8A 9B");
    EXPECT_EQ(store.last(), 9u);
}

TEST(ReorderStoreTest, RepeatPlaysAndStoresNothing)
{
    ReorderStore store = storeAt(3);
    EXPECT_EQ(describe(store.Step(rec(4))), "960: 4A");
    const auto before = store.store();
    EXPECT_EQ(describe(store.Step(rec(4))), "0:");
    EXPECT_EQ(store.store(), before);
    EXPECT_EQ(store.last(), 4u);
}

TEST(ReorderStoreTest, NumberFromThePastResynchronises)
{
    ReorderStore store = storeAt(500);
    EXPECT_EQ(describe(store.Step(rec(2))), "960: 2A");
    EXPECT_EQ(store.last(), 2u);
    EXPECT_EQ(describe(store.Step(rec(3))), "960: 3A");
}

TEST(ReorderStoreTest, FreshPlayerJoinsALongStreamAtOnceButHoldsAnEarlyOne)
{
    ReorderStore joined;
    EXPECT_EQ(describe(joined.Step(rec(4000))), "960: 4000A");

    // A stream that starts at 3 (1 was played on its own, 2 asked about): held back until a
    // record 8 or more ahead of last arrives, then played from there.
    ReorderStore early;
    for (std::uint32_t n = 3; n <= 7; ++n)
        EXPECT_EQ(describe(early.Step(rec(n))), "0:") << n;
    EXPECT_EQ(describe(early.Step(rec(8))), "960: 8A");
    EXPECT_EQ(describe(early.Step(rec(9))), "960: 9A");
}

TEST(ReorderStoreTest, RecordTwoAheadIsKeptOnlyInAStaleFirstEntry)
{
    ReorderStore store = storeAt(10);
    EXPECT_EQ(describe(store.Step(rec(13))), "0:");  // d = 3: first stale entry, entry 0
    EXPECT_EQ(store.store()[0].sequence, 13u);
    // d = 2 with 11 missing: entry 0 is not stale, so 12 is dropped.
    EXPECT_EQ(describe(store.Step(rec(12))), "0:");
    EXPECT_EQ(store.store()[0].sequence, 13u);
    for (int i = 1; i < ReorderStore::Entries; ++i)
        EXPECT_EQ(store.store()[i].sequence, 0u);
    // 11 arrives and plays alone: 12 was dropped.
    EXPECT_EQ(describe(store.Step(rec(11))), "960: 11A");
    // 14 (d = 3): 12 is missing but 13 is held, so 13 plays in half B and half A repeats 11.
    EXPECT_EQ(describe(store.Step(rec(14))), "1920: 13B");
    EXPECT_EQ(store.last(), 12u);
}

TEST(ReorderStoreTest, FullStoreDropsFurtherEarlyRecords)
{
    ReorderStore store = storeAt(100);
    // Records 3..7 ahead of last are kept; repeats of them fill the remaining entries.
    for (std::uint32_t n : {103u, 104u, 105u, 106u, 107u, 103u, 104u, 105u})
        EXPECT_EQ(describe(store.Step(rec(n))), "0:");
    for (const VoiceRecord& entry : store.store())
        EXPECT_GT(entry.sequence, 100u);
    EXPECT_EQ(describe(store.Step(rec(106))), "0:");  // nowhere to go
    // 101 arrives: it plays, and 102 is still missing.
    EXPECT_EQ(describe(store.Step(rec(101))), "960: 101A");
    // 102 arrives: d = 1 plays it with 103 from the store.
    EXPECT_EQ(describe(store.Step(rec(102))), "1920: 102A 103B");
}

TEST(GainTest, DoublingWrapsInsteadOfSaturating)
{
    std::array<std::int16_t, 6> samples{20000, 16384, -16385, -1, 100, 7};
    doubleWithoutSaturation(samples.data(), 5);
    EXPECT_EQ(samples, (std::array<std::int16_t, 6>{-25536, -32768, 32766, -2, 200, 7}));
}

}  // namespace
}  // namespace lumo
