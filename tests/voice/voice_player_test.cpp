// A player on a fake output device that the test plays by hand: what it plays for a stream of
// records handed over faster than it runs, the gain boost, the bound on outstanding output, a
// device that cannot open, and clean destruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

#include "voice/voice_player.h"
#include "fake_audio.h"
#include "voice_test_support.h"

namespace lumo {
namespace {

// Records 1..count of a spoken stream, and the 60 ms blocks they decode to in order.
struct Stream {
    std::vector<VoiceRecord> records;
    std::vector<std::vector<std::int16_t>> decoded;
};

Stream spokenStream(std::uint32_t first, int count, int loudness = 1)
{
    Stream stream;
    VoiceCodec encoder;
    VoiceCodec decoder;
    auto phrase = test::phraseSamples();
    for (auto& v : phrase) v = static_cast<std::int16_t>(std::clamp(int(v) * loudness, -32768, 32767));
    const auto blocks = test::blocksOf(phrase);
    for (int i = 0; i < count; ++i) {
        VoiceRecord r;
        r.sequence = first + static_cast<std::uint32_t>(i);
        const auto& block = blocks[static_cast<std::size_t>(i) % blocks.size()];
        encoder.Encode(block.data(), BlockBytes, r.speech.data(), nullptr);
        std::vector<std::int16_t> out(BlockSamples);
        decoder.Decode(r.speech.data(), CodedBlockSize, out.data(), nullptr);
        stream.records.push_back(r);
        stream.decoded.push_back(std::move(out));
    }
    return stream;
}

std::vector<std::int16_t> concat(const std::vector<std::vector<std::int16_t>>& parts)
{
    std::vector<std::int16_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// How many blocks' loudest 10 ms occur in `whole` (nearly: correlation over 0.9, as a
// time-scaler that takes out whole pitch periods leaves most of them), each after the last.
int blocksInOrder(const std::vector<std::int16_t>& whole, const std::vector<std::vector<std::int16_t>>& blocks)
{
    long last = -1;
    int found = 0;
    for (const auto& whole_block : blocks) {
        // The loudest 10 ms of the block: quiet stretches say little about where they are.
        std::size_t from = 0;
        double loudest = -1;
        for (std::size_t o = 0; o + SamplesPerFrame <= whole_block.size(); o += 8) {
            double e = 0;
            for (int i = 0; i < SamplesPerFrame; ++i) e += double(whole_block[o + std::size_t(i)]) * whole_block[o + std::size_t(i)];
            if (e > loudest) loudest = e, from = o;
        }
        const std::vector<std::int16_t> block(whole_block.begin() + long(from), whole_block.begin() + long(from) + SamplesPerFrame);
        double best = 0;
        long at = -1;
        for (long p = 0; p + SamplesPerFrame <= long(whole.size()); ++p) {
            double ab = 0, aa = 0, bb = 0;
            for (int i = 0; i < SamplesPerFrame; ++i)
                ab += double(block[std::size_t(i)]) * whole[std::size_t(p + i)], aa += double(block[std::size_t(i)]) * block[std::size_t(i)],
                    bb += double(whole[std::size_t(p + i)]) * whole[std::size_t(p + i)];
            const double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
            if (c > best) best = c, at = p;
        }
        if (best < 0.9 || at <= last) continue;
        ++found;
        last = at;
    }
    return found;
}

// How often `part` occurs in `whole`.
int occurrences(const std::vector<std::int16_t>& whole, const std::vector<std::int16_t>& part)
{
    int n = 0;
    for (auto it = whole.begin();; ++it) {
        it = std::search(it, whole.end(), part.begin(), part.end());
        if (it == whole.end()) return n;
        ++n;
    }
}

struct PlayerFixture : ::testing::Test {
    test::FakeAudio audio;

    std::vector<std::vector<std::int16_t>> written(test::FakeDevice* device)
    {
        std::lock_guard lock(device->mutex);
        return device->written;
    }
    // Plays the device by hand, one 10 ms buffer at a time, until the player has nothing more
    // to give it; returns everything it was given.
    std::vector<std::int16_t> playOut(VoicePlayer& player, test::FakeDevice* device)
    {
        for (int idle = 0; idle < 3;) {
            if (device->held.size() == 0 && player.awaitsDecision()) {
                // An empty card: the player decides what it takes next just before its period.
                EXPECT_TRUE(test::waitFor([&] { return !player.awaitsDecision() || device->held.size() > 0; }));
                continue;
            }
            if (device->held.size() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ++idle;
                continue;
            }
            idle = 0;
            const std::uint64_t events = player.eventCount();
            device->held.completeFront();
            EXPECT_TRUE(test::waitFor([&] { return player.eventCount() > events; }));
        }
        return concat(written(device));
    }
};

TEST_F(PlayerFixture, RecordsHandedOverFasterThanTheThreadRunsAreEachPlayedOnceInOrder)
{
    const int count = static_cast<int>(PlayoutStep::Capacity) - 2;  // as much as the store holds
    const Stream stream = spokenStream(40, count);
    VoicePlayer player(audio, 5);
    ASSERT_TRUE(player.StartAll());
    test::FakeDevice* device = audio.device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->memberId, 5);

    // All at once, 42 and 43 swapped: one hand-over slot would have kept only some of them.
    for (int i = 0; i < count; ++i) {
        const int k = i == 2 ? 3 : i == 3 ? 2 : i;
        ASSERT_TRUE(player.Submit(stream.records[k], false));
    }
    const std::vector<std::int16_t> out = playOut(player, device);
    // Buffers of at most 10 ms; before the stream a short pre-roll of silence. The records came
    // at once, 800 ms ahead of need: the player plays them in order, faster (time-scaled, each
    // whole) to give that delay back.
    for (const auto& buffer : written(device)) EXPECT_LE(buffer.size(), std::size_t(VoicePlayer::BufferSamples));
    EXPECT_GE(blocksInOrder(out, stream.decoded), count * 3 / 4);  // quiet ones are halved
    const auto start = std::find_if(out.begin(), out.end(), [](std::int16_t v) { return v != 0; });
    EXPECT_LE(start - out.begin(), 2 * BlockSamples);
    const auto counters = player.playoutCounters();
    EXPECT_EQ(counters.played, std::uint64_t(count));
    EXPECT_EQ(counters.concealed, 0u);
    EXPECT_GE(counters.fasterRecords, 1u);
    // After the last record nothing newer comes: after speech the concealment goes on, fading,
    // until the spurt is taken as ended; after a quiet record silence.
    const auto speech = std::find_if(out.rbegin(), out.rend(), [](std::int16_t v) { return v != 0; });
    const long heard = long(out.rend() - speech) - long(start - out.begin());
    EXPECT_LT(heard, long(count) * BlockSamples + PlayoutStep::EndAfterFrames * SamplesPerFrame);
    EXPECT_GT(heard, long(count) * BlockSamples * 2 / 3);
    EXPECT_EQ(player.handOverDropped(), 0u);
}

TEST_F(PlayerFixture, LostRecordIsConcealedWithTheDecodersErasureOutput)
{
    const Stream stream = spokenStream(1, 12);
    // Simulated time: the talker sends a record every six ticks of 10 ms, and the card plays
    // one 10 ms buffer per tick. Record 7 is lost.
    auto now = std::make_shared<std::atomic<std::int64_t>>(0);
    VoicePlayer player(audio, 5);
    player.setClock([now] { return now->load() * 1000; });  // in microseconds
    ASSERT_TRUE(player.StartAll());
    test::FakeDevice* device = audio.device();
    for (int tick = 0; tick < 12 * 6 + 60; ++tick) {
        now->store(tick * 10);
        if (device->held.size() > 0) {
            const std::uint64_t events = player.eventCount();
            device->held.completeFront();
            ASSERT_TRUE(test::waitFor([&] { return player.eventCount() > events; }));
        }
        if (tick % 6 == 0 && tick / 6 < 12 && tick / 6 != 6) {
            const std::uint64_t passes = player.passCount();
            ASSERT_TRUE(player.Submit(stream.records[tick / 6], false));
            ASSERT_TRUE(test::waitFor([&] { return player.passCount() > passes; }));
        }
        if (player.awaitsDecision()) {
            // The card is empty and the record awaited: the player decides just before the
            // card's next period.
            now->store(tick * 10 + PlayoutStep::FrameMs - PlayoutStep::DecideAheadMs);
            ASSERT_TRUE(test::waitFor([&] { return !player.awaitsDecision(); }));
        }
    }
    const std::vector<std::int16_t> out = concat(written(device));

    // What a decoder makes of the same stream with record 7 erased for some frames, after a
    // short wait while nothing newer had come, concealed by a second decoder that heard the two
    // records before it (silence instead, had the record before been quiet): the player's output
    // is exactly that, for one wait and one number of erased frames (the first decoder never saw
    // the wait). Within a block of concealment nothing fades yet.
    int matches = 0;
    for (int waited = 0; waited <= 6; ++waited)
    for (int erased = 0; erased <= 12; ++erased)
    for (const bool silentWait : {false, true}) {
        if (silentWait && waited == 0) continue;  // the same as without a wait
        VoiceCodec decoder, aside;
        std::vector<std::int16_t> expected;
        for (int i = 0; i < 12; ++i) {
            if (i == 6) {
                std::vector<std::int16_t> frame(SamplesPerFrame), block(BlockSamples);
                for (int r = 4; r < 6; ++r) aside.Decode(stream.records[r].speech.data(), CodedBlockSize, block.data(), nullptr);
                for (int k = 1; k <= waited; ++k) {
                    if (silentWait) std::fill(frame.begin(), frame.end(), std::int16_t{0});
                    else aside.Conceal(frame.data(), 1);
                    expected.insert(expected.end(), frame.begin(), frame.end());
                }
                for (int k = 0; k < erased; ++k) {
                    decoder.Conceal(frame.data(), 1);
                    expected.insert(expected.end(), frame.begin(), frame.end());
                }
                std::vector<std::int16_t> next(BlockSamples);
                decoder.Decode(stream.records[7].speech.data(), CodedBlockSize, next.data(), nullptr);
                expected.insert(expected.end(), next.begin(), next.end());
                ++i;
                continue;
            }
            std::vector<std::int16_t> block(BlockSamples);
            decoder.Decode(stream.records[i].speech.data(), CodedBlockSize, block.data(), nullptr);
            expected.insert(expected.end(), block.begin(), block.end());
        }
        if (occurrences(out, expected) == 1) {
            ++matches;
            // The lost record takes its own time, no more: what was concealed aside counts.
            EXPECT_EQ(waited + erased, FramesPerBlock);
        }
    }
    EXPECT_EQ(matches, 1);
    for (const auto& block : stream.decoded) EXPECT_LE(occurrences(out, block), 1);
    EXPECT_EQ(player.playoutCounters().concealed, 1u);
    EXPECT_EQ(player.playoutCounters().played, 11u);
}

TEST_F(PlayerFixture, GainDoublesWhatIsPlayedWithSaturation)
{
    const Stream stream = spokenStream(100, 10, 3);
    VoicePlayer player(audio, 1);
    ASSERT_TRUE(player.StartAll());
    for (const auto& r : stream.records) ASSERT_TRUE(player.Submit(r, true));
    const std::vector<std::int16_t> out = playOut(player, audio.device());
    std::vector<std::int16_t> doubled = concat(stream.decoded);
    const auto loud = std::count_if(doubled.begin(), doubled.end(), [](std::int16_t v) { return std::abs(v) > 16384; });
    ASSERT_GT(loud, 0) << "the test needs samples that doubling takes past the limits";
    applyGain(doubled.data(), static_cast<int>(doubled.size()), true);
    // A backlog, so time-scaled: the blocks, doubled and clipped, are heard in order, and no
    // sample wrapped around (the loudest stay at the limits).
    std::vector<std::vector<std::int16_t>> doubledBlocks;
    for (std::size_t at = 0; at < doubled.size(); at += BlockSamples)
        doubledBlocks.emplace_back(doubled.begin() + long(at), doubled.begin() + long(at + BlockSamples));
    EXPECT_GE(blocksInOrder(out, doubledBlocks), int(doubledBlocks.size()) - 2);
    EXPECT_GT(std::count(out.begin(), out.end(), std::int16_t{32767}) + std::count(out.begin(), out.end(), std::int16_t{-32768}), 0);
}

TEST_F(PlayerFixture, ElevenBlocksOutstandingStopOutputUntilSomeReturn)
{
    const Stream stream = spokenStream(200, 2);
    VoicePlayer player(audio, 2);
    ASSERT_TRUE(player.StartAll());
    for (int i = 0; i < 11; ++i) ASSERT_TRUE(player.Play(stream.decoded[0].data(), BlockBytes));
    test::FakeDevice* device = audio.device();
    EXPECT_EQ(player.queuedSamples(), VoicePlayer::MaxQueuedSamples);
    const std::size_t buffers = written(device).size();
    EXPECT_TRUE(player.Play(stream.decoded[1].data(), BlockBytes));  // dropped, yet true
    EXPECT_EQ(written(device).size(), buffers);

    device->held.completeFront();
    ASSERT_TRUE(test::waitFor([&] { return player.queuedSamples() < VoicePlayer::MaxQueuedSamples; }));
    EXPECT_TRUE(player.Play(stream.decoded[1].data(), BlockBytes));
    EXPECT_GT(written(device).size(), buffers);
}

TEST_F(PlayerFixture, FullHandOverRefusesAndCounts)
{
    // No thread takes them: the queue fills to its bound, then refuses.
    VoicePlayer player(audio, 8);
    const Stream stream = spokenStream(1, 1);
    for (std::size_t i = 0; i < VoicePlayer::HandOverCapacity; ++i) EXPECT_TRUE(player.Submit(stream.records[0], false));
    EXPECT_FALSE(player.Submit(stream.records[0], false));
    EXPECT_EQ(player.handOverDropped(), 1u);
}

TEST_F(PlayerFixture, PlayRefusesUnusableBlocks)
{
    VoicePlayer player(audio, 3);
    ASSERT_TRUE(player.StartAll());
    std::array<std::int16_t, 2 * BlockSamples> pcm{};
    EXPECT_FALSE(player.Play(nullptr, 960));
    EXPECT_FALSE(player.Play(pcm.data(), 0));
    EXPECT_FALSE(player.Play(pcm.data(), 961));
    EXPECT_FALSE(player.Play(pcm.data(), 1922));
    EXPECT_TRUE(player.Play(pcm.data(), 1920));
    EXPECT_EQ(player.queued(), 12);  // in 10 ms buffers
    EXPECT_FALSE(player.Submit(nullptr, 64, false));
    std::array<std::uint8_t, 64> wire{};
    EXPECT_FALSE(player.Submit(wire.data(), 63, false));
    EXPECT_TRUE(player.Submit(wire.data(), 64, false));

    ASSERT_TRUE(test::waitFor([&] { return player.eventCount() == 1; }));  // the record was taken in
    const int before = player.queued();
    audio.failQueueCall = audio.queueCalls + 1;
    EXPECT_FALSE(player.Play(pcm.data(), 960));
    EXPECT_EQ(player.lastResult(), AudioError);
    EXPECT_EQ(player.queued(), before);
}

TEST_F(PlayerFixture, PlayerWithoutADeviceStaysSilent)
{
    audio.openResult = AudioNoDevice;
    VoicePlayer player(audio, 4);
    EXPECT_FALSE(player.StartAll());
    EXPECT_FALSE(player.threadRunning());
    EXPECT_FALSE(player.deviceOpen());
    EXPECT_EQ(player.lastResult(), AudioNoDevice);
    const Stream stream = spokenStream(1, 1);
    EXPECT_FALSE(player.Play(stream.decoded[0].data(), BlockBytes));
    EXPECT_TRUE(player.Submit(stream.records[0], true));
    EXPECT_EQ(audio.liveDevices, 0);
    EXPECT_EQ(audio.queueCalls, 0);

    NullAudioSystem none;
    VoicePlayer silent(none, 4);
    EXPECT_FALSE(silent.StartAll());
    EXPECT_FALSE(silent.Play(stream.decoded[0].data(), BlockBytes));
}

TEST_F(PlayerFixture, StartGuards)
{
    VoicePlayer player(audio, 6);
    EXPECT_FALSE(player.Open());  // no thread to receive the device's events yet
    EXPECT_FALSE(player.StopThread());
    ASSERT_TRUE(player.StartAll());
    EXPECT_FALSE(player.StartAll());
    EXPECT_FALSE(player.Open());
    EXPECT_EQ(audio.opens, 1);
    EXPECT_TRUE(player.threadRunning());
}

TEST_F(PlayerFixture, DestructionReturnsEveryBufferAndClosesTheDevice)
{
    const Stream stream = spokenStream(300, 5);
    {
        VoicePlayer player(audio, 7);
        ASSERT_TRUE(player.StartAll());
        // The first block of a new member is played from the caller's thread.
        ASSERT_TRUE(player.Play(stream.decoded[0].data(), BlockBytes));
        for (int i = 1; i < 5; ++i) ASSERT_TRUE(player.Submit(stream.records[i], false));
        ASSERT_TRUE(test::waitFor([&] { return player.passCount() >= 1; }));
        EXPECT_EQ(player.queued(), 6);
        ASSERT_EQ(audio.held(), 6u);
        EXPECT_EQ(audio.cleanCloses, 0);
    }
    // The device was reset (handing back the five buffers), closed without complaint, and is
    // gone, holding nothing.
    EXPECT_EQ(audio.liveDevices, 0);
    EXPECT_EQ(audio.cleanCloses, 1);
    EXPECT_EQ(audio.destroyedHolding, 0);
}

}  // namespace
}  // namespace lumo
