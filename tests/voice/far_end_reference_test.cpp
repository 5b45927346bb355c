// The far end as the capture reads it: what every output wrote, summed, following each writer a
// margin behind, starting over for a new writer, falling back and catching up.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "voice/far_end_reference.h"

namespace lumo {
namespace {

constexpr int Block = FarEndReference::MaxReadSamples;
constexpr int Margin = FarEndReference::FirstMargin;

// Sample n of a writer's stream: a ramp that tells where in the stream a sample came from.
std::int16_t ramp(std::int64_t n, int base = 0) { return std::int16_t(base + n % 20000); }

struct RampWriter {
    explicit RampWriter(FarEndReference& reference, int offset = 0) : writer(&reference), base(offset) {}
    void write(int count)
    {
        std::vector<std::int16_t> samples(static_cast<std::size_t>(count));
        for (auto& s : samples) s = ramp(next++, base);
        writer.write(samples.data(), count);
    }
    FarEndReference::Writer writer;
    int base;
    std::int64_t next = 0;
};

std::vector<std::int16_t> readBlock(FarEndReference::Reader& reader, int count = Block)
{
    std::vector<std::int16_t> out(std::size_t(count), 123);
    reader.read(out.data(), count);
    return out;
}

// The samples [from, from + count) of a ramp stream, silence before its start.
std::vector<std::int16_t> rampFrom(std::int64_t from, int count = Block, int base = 0)
{
    std::vector<std::int16_t> out;
    for (std::int64_t n = from; n < from + count; ++n) out.push_back(n < 0 ? std::int16_t{0} : ramp(n, base));
    return out;
}

TEST(FarEndReferenceTest, AReaderFollowsAWriterAMarginBehindWithoutGaps)
{
    FarEndReference reference;
    FarEndReference::Reader reader(reference);
    EXPECT_EQ(readBlock(reader), std::vector<std::int16_t>(Block, 0));  // nothing plays: silence
    EXPECT_EQ(reader.sources(), 0);

    RampWriter output(reference);
    ASSERT_TRUE(output.writer.attached());
    for (int k = 0; k < 6; ++k) {
        output.write(Block);
        // The first read lands a margin behind what was written; every later one goes on from it.
        EXPECT_EQ(readBlock(reader), rampFrom(std::int64_t(k) * Block - Margin)) << k;
        EXPECT_EQ(reader.sources(), 1);
    }
    // The output hands over 10 ms at a time, jittering around the reads: still continuous.
    for (int k = 6; k < 12; ++k) {
        for (int p = 0; p < 6; ++p) output.write(80);
        EXPECT_EQ(readBlock(reader), rampFrom(std::int64_t(k) * Block - Margin)) << k;
    }
    EXPECT_EQ(reader.resyncs(), 0);
}

TEST(FarEndReferenceTest, OutputsAreSummedAndSaturate)
{
    FarEndReference reference;
    FarEndReference::Reader reader(reference);
    FarEndReference::Writer a(&reference), b(&reference), c(&reference);
    const std::vector<std::int16_t> silence(Block, 0);
    // Each step: every output plays one block, then the capture reads one. What each output
    // plays at a step is one value; the reader, a margin behind, sees the steps' sums.
    const struct {
        std::int16_t a, b, c;
        std::int16_t sum;
    } steps[] = {
        {30000, 1000, 0, 31000},
        {30000, 30000, -30000, 30000},
        {-20000, -20000, -20000, -32768},
        {20000, 20000, 0, 32767},
    };
    for (const auto& step : steps) {
        for (const auto& [writer, value] : {std::pair{&a, step.a}, std::pair{&b, step.b}, std::pair{&c, step.c}}) {
            const std::vector<std::int16_t> block(Block, value);
            writer->write(block.data(), Block);
        }
        const auto got = readBlock(reader);
        // The block read ends a margin before the newest sample: its last part is this step's.
        EXPECT_EQ(got.back(), step.sum);
        EXPECT_EQ(reader.sources(), 3);
    }
}

TEST(FarEndReferenceTest, AGoneWriterIsSilenceAndANewOneOnItsRingStartsOver)
{
    FarEndReference reference;
    FarEndReference::Reader reader(reference);
    auto first = std::make_unique<RampWriter>(reference);
    for (int k = 0; k < 3; ++k) first->write(Block);
    readBlock(reader);
    first.reset();
    EXPECT_EQ(readBlock(reader), std::vector<std::int16_t>(Block, 0));
    EXPECT_EQ(reader.sources(), 0);

    RampWriter second(reference, 5000);  // takes the same ring
    second.write(Block);
    EXPECT_EQ(readBlock(reader), rampFrom(-Margin, Block, 5000));
    second.write(Block);
    EXPECT_EQ(readBlock(reader), rampFrom(Block - Margin, Block, 5000));
}

TEST(FarEndReferenceTest, BurstyWritersWidenTheMarginAndFastOnesAreCaughtUp)
{
    FarEndReference reference;
    FarEndReference::Reader reader(reference);
    RampWriter output(reference);
    // An output that hands over 240 ms every fourth read: the reader runs dry, falls back with
    // a wider margin each time, until the bursts fit; from then on it reads without a gap.
    for (int k = 0; k < 40; ++k) {
        if (k % 4 == 0) output.write(4 * Block);
        readBlock(reader);
    }
    const int settled = reader.resyncs();
    EXPECT_GE(settled, 1);
    std::int16_t last = readBlock(reader, 1)[0];  // where the reader stands
    for (int k = 0; k < 40; ++k) {
        if (k % 4 == 0) output.write(4 * Block);
        const auto got = readBlock(reader);
        EXPECT_EQ(got, rampFrom(last + 1)) << k;
        last = got.back();
    }
    EXPECT_EQ(reader.resyncs(), settled);

    // An output whose clock runs fast (twice the capture's here): the reader falls behind and
    // catches up instead of lagging more and more.
    FarEndReference fresh;
    FarEndReference::Reader follower(fresh);
    RampWriter fast(fresh);
    std::int64_t lag = 0;
    for (int k = 0; k < 15; ++k) {
        fast.write(2 * Block);
        const auto got = readBlock(follower);
        lag = fast.next - (std::int64_t(got[Block - 1]) + 1);
    }
    EXPECT_GE(follower.resyncs(), 1);
    EXPECT_LE(lag, Margin + FarEndReference::DriftSlack + 2 * Block);
}

TEST(FarEndReferenceTest, WritersBeyondTheRingsAreLeftOutAndOthersStillCount)
{
    FarEndReference reference;
    std::vector<std::unique_ptr<FarEndReference::Writer>> writers;
    for (int i = 0; i < FarEndReference::Slots; ++i) {
        writers.push_back(std::make_unique<FarEndReference::Writer>(&reference));
        EXPECT_TRUE(writers.back()->attached());
    }
    FarEndReference::Writer extra(&reference);
    EXPECT_FALSE(extra.attached());
    const std::vector<std::int16_t> one(Block, 1);
    extra.write(one.data(), Block);  // goes nowhere, harms nothing
    FarEndReference::Reader reader(reference);
    for (int k = 0; k < 2; ++k)
        for (auto& w : writers) w->write(one.data(), Block);
    readBlock(reader);
    EXPECT_EQ(readBlock(reader), std::vector<std::int16_t>(Block, FarEndReference::Slots));
    FarEndReference::Writer none(nullptr);
    EXPECT_FALSE(none.attached());
}

// A writer thread and a reader thread at once: every block read is a stretch of the writer's
// ramp (or silence before it), never a mix of old and new samples.
TEST(FarEndReferenceTest, AConcurrentReaderNeverSeesTornBlocks)
{
    FarEndReference reference;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        RampWriter output(reference);
        while (!stop.load()) {
            output.write(80);
            std::this_thread::yield();
        }
    });
    FarEndReference::Reader reader(reference);
    int torn = 0, read = 0;
    while (read < 2000) {
        const auto got = readBlock(reader);
        if (reader.sources() == 0) continue;  // the writer has not started yet
        ++read;
        for (int i = 1; i < Block; ++i) {
            const int step = got[std::size_t(i)] - got[std::size_t(i - 1)];
            // Consecutive ramp samples, the ramp's wrap, or silence before the writer's start.
            if (step != 1 && step != -19999 && !(got[std::size_t(i - 1)] == 0 && got[std::size_t(i)] <= 1)) ++torn;
        }
        std::this_thread::yield();
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace lumo
