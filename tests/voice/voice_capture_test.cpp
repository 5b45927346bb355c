// Capture on a fake input device: the start and stop steps with their guards and unwinding,
// the capture thread, the silence gate and the sequence counter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "voice/voice_capture.h"
#include "fake_audio.h"
#include "voice_test_support.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<std::int16_t> speechBlock(int seed)
{
    std::vector<std::int16_t> samples(BlockSamples);
    for (int i = 0; i < BlockSamples; ++i)
        samples[i] = static_cast<std::int16_t>(((i * 37 + seed * 11) % 200 - 100) * 80);
    return samples;
}

struct CaptureFixture : ::testing::Test {
    test::FakeAudio audio;
    VoiceCapture capture{audio};
    std::mutex mutex;
    std::vector<VoiceRecord> sent;

    void SetUp() override
    {
        capture.setBlockSink([this](const VoiceRecord& record) {
            std::lock_guard lock(mutex);
            sent.push_back(record);
        });
    }
    std::size_t sentCount()
    {
        std::lock_guard lock(mutex);
        return sent.size();
    }
    // Records one block and waits until the capture thread has queued its buffer again.
    void record(const std::vector<std::int16_t>& block)
    {
        ASSERT_EQ(audio.deliver(block), BlockSamples);
        ASSERT_TRUE(test::waitFor([&] { return audio.held() == WaveRecorder::BufferCount; }));
    }
    bool idle() const
    {
        return !capture.threadRunning() && !capture.deviceOpen() && !capture.buffersQueued() &&
               !capture.recording();
    }
};

TEST_F(CaptureFixture, StartAllWalksUpAndASecondStartChangesNothing)
{
    ASSERT_TRUE(capture.StartAll());
    EXPECT_TRUE(capture.threadRunning() && capture.deviceOpen() && capture.buffersQueued() &&
                capture.recording());
    EXPECT_EQ(audio.held(), 10u);
    EXPECT_EQ(audio.opens, 1);

    const int queueCalls = audio.queueCalls;
    EXPECT_FALSE(capture.StartAll());  // refused at StartThread
    EXPECT_EQ(audio.opens, 1);
    EXPECT_EQ(audio.queries, 1);
    EXPECT_EQ(audio.queueCalls, queueCalls);
    EXPECT_EQ(audio.held(), 10u);
    EXPECT_TRUE(capture.recording());

    // The individual steps refuse in the wrong state too.
    EXPECT_FALSE(capture.Open());
    EXPECT_FALSE(capture.QueueBuffers());
    EXPECT_FALSE(capture.StartRecording());

    EXPECT_TRUE(capture.StopAll());
    EXPECT_TRUE(idle());
    EXPECT_EQ(audio.liveDevices, 0);
}

TEST_F(CaptureFixture, StopAllOnAnIdleRecorderRefusesEveryStepButStillWaits)
{
    const auto start = Clock::now();
    EXPECT_TRUE(capture.StopAll());
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_TRUE(idle());
    EXPECT_EQ(audio.opens + audio.queries + audio.queueCalls, 0);
    EXPECT_EQ(capture.lastResult(), 0);

    EXPECT_FALSE(capture.StopRecording());
    EXPECT_FALSE(capture.ReleaseBuffers());
    EXPECT_FALSE(capture.Close());
    EXPECT_FALSE(capture.StopThread());
    // Open needs the thread that receives the device's events.
    EXPECT_FALSE(capture.Open());
    EXPECT_EQ(audio.opens, 0);
}

TEST_F(CaptureFixture, BlocksAreGatedNumberedAndNumbersContinueAcrossRestarts)
{
    capture.setEnabled(true);
    ASSERT_TRUE(capture.StartAll());

    record(speechBlock(1));
    record(std::vector<std::int16_t>(BlockSamples, 0));  // quiet: dropped, takes no number
    record(speechBlock(2));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 2; }));

    // Talking off: captured but neither numbered nor sent.
    capture.setEnabled(false);
    record(speechBlock(3));
    capture.setEnabled(true);

    // A partly recorded buffer returned by the stop is not passed on.
    ASSERT_EQ(audio.deliver(std::vector<std::int16_t>(100, 3000)), 100);
    ASSERT_TRUE(capture.StopAll());
    EXPECT_TRUE(idle());
    EXPECT_EQ(audio.liveDevices, 0);

    ASSERT_TRUE(capture.StartAll());
    EXPECT_EQ(audio.opens, 2);
    record(speechBlock(4));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 3; }));
    ASSERT_TRUE(capture.StopAll());

    std::lock_guard lock(mutex);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].sequence, 1u);
    EXPECT_EQ(sent[1].sequence, 2u);
    EXPECT_EQ(sent[2].sequence, 3u);
    EXPECT_EQ(capture.sequence(), 3u);

    // The first record on the wire starts 01 00 00 00 and carries what the codec makes of the
    // first block.
    std::array<std::uint8_t, 64> wire;
    encodeVoiceRecord(sent[0], wire.data());
    EXPECT_EQ(wire[0], 1);
    EXPECT_EQ(wire[1] | wire[2] | wire[3], 0);
    VoiceCodec reference;
    std::array<std::uint8_t, CodedBlockSize> coded;
    ASSERT_TRUE(reference.Encode(speechBlock(1).data(), BlockBytes, coded.data(), nullptr));
    EXPECT_EQ(sent[0].speech, coded);
}

TEST_F(CaptureFixture, BlocksOfOtherLengthsTakeNoNumber)
{
    capture.setEnabled(true);
    const std::vector<std::int16_t> block = speechBlock(5);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.data());
    capture.OnBlock(bytes, 958);
    capture.OnBlock(nullptr, 960);
    EXPECT_EQ(sentCount(), 0u);
    EXPECT_EQ(capture.sequence(), 0u);
    capture.OnBlock(bytes, 960);
    EXPECT_EQ(sentCount(), 1u);
    EXPECT_EQ(capture.sequence(), 1u);
}

TEST_F(CaptureFixture, FailuresUnwindToIdle)
{
    audio.queryResult = AudioBadFormat;  // no device takes 8 kHz mono
    EXPECT_FALSE(capture.StartAll());
    EXPECT_TRUE(idle());
    EXPECT_EQ(capture.lastResult(), AudioBadFormat);
    EXPECT_EQ(audio.opens, 0);

    audio.queryResult = AudioOk;
    audio.failQueueCall = 4;  // the fourth buffer is refused
    EXPECT_FALSE(capture.StartAll());
    EXPECT_TRUE(idle());
    // Closed successfully: the buffers queued before the failure were taken back first.
    EXPECT_EQ(audio.liveDevices, 0);
    EXPECT_EQ(capture.lastResult(), AudioOk);

    // Recording refused: the ten queued buffers are taken back, freed at once and the device
    // closes cleanly.
    audio.startResult = AudioError;
    const auto start = Clock::now();
    EXPECT_FALSE(capture.StartAll());
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_TRUE(idle());
    EXPECT_EQ(audio.liveDevices, 0);
    EXPECT_EQ(capture.lastResult(), AudioOk);

    audio.startResult = AudioOk;
    ASSERT_TRUE(capture.StartAll());
    EXPECT_EQ(audio.held(), 10u);
    EXPECT_TRUE(capture.StopAll());
}

TEST_F(CaptureFixture, HalfQueuedBuffersAreTakenBack)
{
    ASSERT_TRUE(capture.StartThread());
    ASSERT_TRUE(capture.Open());
    audio.failQueueCall = audio.queueCalls + 3;
    EXPECT_FALSE(capture.QueueBuffers());
    EXPECT_FALSE(capture.buffersQueued());
    test::FakeDevice* device = audio.device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->held.size(), 0u);
    EXPECT_EQ(device->resets, 2);  // the reset before queueing and the one taking them back
    EXPECT_TRUE(capture.Close());  // a device holding buffers would refuse
    EXPECT_TRUE(capture.StopThread());
}

TEST_F(CaptureFixture, StopReturnsWhileTheSinkIsStuck)
{
    std::mutex gate;
    std::condition_variable opened;
    bool stuck = false;
    bool release = false;
    capture.setEnabled(true);
    capture.setBlockSink([&](const VoiceRecord&) {
        std::unique_lock lock(gate);
        stuck = true;
        opened.notify_all();
        opened.wait(lock, [&] { return release; });
    });
    ASSERT_TRUE(capture.StartAll());
    ASSERT_EQ(audio.deliver(speechBlock(6)), BlockSamples);
    {
        std::unique_lock lock(gate);
        ASSERT_TRUE(opened.wait_for(lock, 3s, [&] { return stuck; }));
    }

    // Bounded: StopAll returns although the sink is released only below (a hang is caught by
    // the test's time-out; no upper bound on the wall clock of a busy machine). It waited for
    // the thread first: a lower bound, which slowness cannot break.
    const auto start = Clock::now();
    EXPECT_TRUE(capture.StopAll());
    EXPECT_GE(Clock::now() - start, 500ms);
    EXPECT_TRUE(idle());
    EXPECT_EQ(audio.liveDevices, 0);

    {
        std::lock_guard lock(gate);
        release = true;
    }
    opened.notify_all();
    // A new start is not disturbed by the late thread.
    capture.setBlockSink([this](const VoiceRecord& r) {
        std::lock_guard lock(mutex);
        sent.push_back(r);
    });
    ASSERT_TRUE(capture.StartAll());
    record(speechBlock(7));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 1; }));
    EXPECT_EQ(sent.back().sequence, 2u);
    EXPECT_TRUE(capture.StopAll());
}

TEST_F(CaptureFixture, AnUnpluggedDeviceIsToldStopsCleanlyAndCaptureRestartsOncePluggedBack)
{
    std::atomic<int> lost{0};
    capture.setLostSink([&] { ++lost; });
    capture.setEnabled(true);
    ASSERT_TRUE(capture.StartAll());
    record(speechBlock(1));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 1; }));

    test::FakeDevice* device = audio.device();
    ASSERT_NE(device, nullptr);
    device->lose();
    ASSERT_TRUE(test::waitFor([&] { return lost.load() == 1; }));
    // The device still holds its buffers; stopping takes them back, closes it and ends the thread.
    const auto started = Clock::now();
    EXPECT_TRUE(capture.StopAll());
    EXPECT_LT(Clock::now() - started, 2s);
    EXPECT_TRUE(idle());
    EXPECT_EQ(audio.liveDevices.load(), 0);
    EXPECT_EQ(audio.destroyedHolding.load(), 0);

    // Away: capture cannot start, and says so by failing, not by hanging.
    audio.inputUnplugged = true;
    EXPECT_FALSE(capture.StartAll());
    EXPECT_TRUE(idle());
    EXPECT_EQ(capture.lastResult(), AudioNoDevice);

    // Back: capture starts again and numbering goes on.
    audio.inputUnplugged = false;
    ASSERT_TRUE(capture.StartAll());
    record(speechBlock(2));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 2; }));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(sent.back().sequence, 2u);
    }
    EXPECT_EQ(lost.load(), 1);
    capture.StopAll();
}

TEST_F(CaptureFixture, TheGateLimitAndLevelFollowTheMicrophone)
{
    capture.setEnabled(true);
    ASSERT_TRUE(capture.StartAll());
    // Even samples at 1000 (high byte 3): sent under the default limit, held back under 3,
    // and everything goes with the gate off. The level is measured either way.
    std::vector<std::int16_t> soft(BlockSamples, 0);
    for (std::size_t i = 0; i < soft.size(); i += 2) soft[i] = 1000;
    record(soft);
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 1 && capture.blocksSeen() == 1; }));
    EXPECT_EQ(capture.lastLevel(), 3);
    capture.setQuietLimit(3);
    record(soft);
    ASSERT_TRUE(test::waitFor([&] { return capture.blocksSeen() == 2; }));
    EXPECT_EQ(sentCount(), 1u);
    capture.setQuietLimit(-1);
    record(std::vector<std::int16_t>(BlockSamples, 0));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 2; }));
    EXPECT_EQ(capture.lastLevel(), 0);
    capture.StopAll();
}

TEST(VoiceCaptureTest, NullSystemMeansNoCapture)
{
    NullAudioSystem none;
    VoiceCapture capture(none);
    capture.setEnabled(true);
    EXPECT_FALSE(capture.StartAll());
    EXPECT_FALSE(capture.threadRunning());
    EXPECT_EQ(capture.lastResult(), AudioNoDevice);
    EXPECT_TRUE(capture.enabled());
}

}  // namespace
}  // namespace lumo
