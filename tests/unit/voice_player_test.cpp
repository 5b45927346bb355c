// A player on a fake output device: what it plays for a stream of records, the gain boost,
// the bound on outstanding buffers, a device that cannot open, and clean destruction.
#include <gtest/gtest.h>

#include <array>

#include "voice/voice_player.h"
#include "voice_test_support.h"

namespace lumo {
namespace {

// Records 1..count of a spoken stream, and the 60 ms blocks they decode to in order.
struct Stream {
    std::vector<VoiceRecord> records;
    std::vector<std::vector<std::int16_t>> decoded;
};

Stream spokenStream(std::uint32_t first, int count)
{
    Stream stream;
    VoiceCodec encoder;
    VoiceCodec decoder;
    const auto blocks = test::blocksOf(test::phraseSamples());
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

std::vector<std::int16_t> join(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b)
{
    std::vector<std::int16_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    return both;
}

struct PlayerFixture : ::testing::Test {
    test::FakeAudio audio;

    std::vector<std::vector<std::int16_t>> written(test::FakeDevice* device)
    {
        std::lock_guard lock(device->mutex);
        return device->written;
    }
    // Submits a record and waits until the player thread's pass over it is done.
    void submitAndSettle(VoicePlayer& player, const VoiceRecord& record, bool gain = false)
    {
        const std::uint64_t passes = player.passCount();
        ASSERT_TRUE(player.Submit(record, gain));
        ASSERT_TRUE(test::waitFor([&] { return player.passCount() == passes + 1; }));
    }
};

TEST_F(PlayerFixture, PlaysTheStreamInOrderAndDecodesEachRecordOnce)
{
    const Stream stream = spokenStream(40, 6);
    VoicePlayer player(audio, 5);
    ASSERT_TRUE(player.StartAll());
    test::FakeDevice* device = audio.device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->memberId, 5);

    // 40 resynchronises (d >= 8 from 0) and plays; 41 follows; 43 waits for 42; 42 brings both.
    for (int i : {0, 1, 3, 2, 4}) {
        submitAndSettle(player, stream.records[i]);
    }
    const auto out = written(device);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], stream.decoded[0]);
    EXPECT_EQ(out[1], stream.decoded[1]);
    EXPECT_EQ(out[2], join(stream.decoded[2], stream.decoded[3]));
    EXPECT_EQ(out[3], stream.decoded[4]);
}

TEST_F(PlayerFixture, GainDoublesWhatIsPlayedWithoutSaturation)
{
    const Stream stream = spokenStream(100, 3);
    VoicePlayer player(audio, 1);
    ASSERT_TRUE(player.StartAll());
    submitAndSettle(player, stream.records[0], false);
    submitAndSettle(player, stream.records[1], true);
    submitAndSettle(player, stream.records[2], false);
    const auto out = written(audio.device());
    ASSERT_EQ(out.size(), 3u);
    std::vector<std::int16_t> doubled = stream.decoded[1];
    doubleWithoutSaturation(doubled.data(), static_cast<int>(doubled.size()));
    EXPECT_EQ(out[0], stream.decoded[0]);
    EXPECT_EQ(out[1], doubled);
    EXPECT_NE(out[1], stream.decoded[1]);
    EXPECT_EQ(out[2], stream.decoded[2]);
}

TEST_F(PlayerFixture, ElevenOutstandingBuffersStopOutputUntilOneReturns)
{
    const Stream stream = spokenStream(200, 14);
    VoicePlayer player(audio, 2);
    ASSERT_TRUE(player.StartAll());
    for (int i = 0; i < 11; ++i)
        submitAndSettle(player, stream.records[i]);
    test::FakeDevice* device = audio.device();
    EXPECT_EQ(written(device).size(), 11u);
    EXPECT_EQ(player.queued(), 11);

    // The twelfth is decoded (the stream stays in step) but not played.
    submitAndSettle(player, stream.records[11]);
    EXPECT_EQ(written(device).size(), 11u);
    EXPECT_EQ(player.queued(), 11);
    EXPECT_TRUE(player.Play(stream.decoded[0].data(), BlockBytes));  // dropped, yet true
    EXPECT_EQ(written(device).size(), 11u);

    device->held.completeFront();
    ASSERT_TRUE(test::waitFor([&] { return player.queued() == 10; }));
    submitAndSettle(player, stream.records[12]);
    const auto out = written(device);
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out.back(), stream.decoded[12]);
    EXPECT_EQ(player.queued(), 11);
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
    EXPECT_FALSE(player.Submit(nullptr, 64, false));
    std::array<std::uint8_t, 64> wire{};
    EXPECT_FALSE(player.Submit(wire.data(), 63, false));
    EXPECT_TRUE(player.Submit(wire.data(), 64, false));

    audio.failQueueCall = audio.queueCalls + 1;
    EXPECT_FALSE(player.Play(pcm.data(), 960));
    EXPECT_EQ(player.lastResult(), AudioError);
    EXPECT_EQ(player.queued(), 1);
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
        for (int i = 1; i < 5; ++i)
            submitAndSettle(player, stream.records[i]);
        EXPECT_EQ(player.queued(), 5);
        ASSERT_EQ(audio.held(), 5u);
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
