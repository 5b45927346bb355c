// Capture on a fake input device: the start and stop steps with their guards and unwinding,
// the capture thread, the cleaning and the gate, the sequence counter, the far end it cancels,
// and that the capture path allocates nothing.
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

constexpr VoiceProcessingChoice NoCleaning{false, false, false, false};

struct CaptureFixture : ::testing::Test {
    test::FakeAudio audio;
    VoiceCapture capture{audio};
    std::mutex mutex;
    std::vector<VoiceRecord> sent;

    void SetUp() override
    {
        // Blocks go out as they were captured, so that a test can tell which went; the cleaning
        // has tests of its own below.
        audio.setVoiceProcessing(NoCleaning);
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
    record(std::vector<std::int16_t>(BlockSamples, 0));  // quiet, but within the hang-over
    record(speechBlock(2));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 3; }));

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
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 4; }));
    ASSERT_TRUE(capture.StopAll());

    std::lock_guard lock(mutex);
    ASSERT_EQ(sent.size(), 4u);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(sent[i].sequence, i + 1);
    EXPECT_EQ(capture.sequence(), 4u);

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
    // Even samples at 1000 (high byte 3): held back under the limit 3, sent under the default
    // limit (the one held back just before goes first), and everything goes with the gate off.
    // The level is measured either way.
    std::vector<std::int16_t> soft(BlockSamples, 0);
    for (std::size_t i = 0; i < soft.size(); i += 2) soft[i] = 1000;
    capture.setQuietLimit(3);
    record(soft);
    ASSERT_TRUE(test::waitFor([&] { return capture.blocksSeen() == 1; }));
    EXPECT_EQ(capture.lastLevel(), 3);
    EXPECT_EQ(sentCount(), 0u);
    capture.setQuietLimit(DefaultQuietLimit);
    record(soft);
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 2; }));
    capture.setQuietLimit(-1);
    record(std::vector<std::int16_t>(BlockSamples, 0));
    ASSERT_TRUE(test::waitFor([&] { return sentCount() == 3; }));
    EXPECT_EQ(capture.lastLevel(), 0);
    capture.StopAll();
}

// Blocks that tell themselves apart once encoded: a quiet one (level 0) or a loud one, each
// different.
std::vector<std::int16_t> quietBlock(int seed)
{
    std::vector<std::int16_t> samples(BlockSamples);
    for (int i = 0; i < BlockSamples; ++i) samples[i] = std::int16_t((i * 13 + seed * 29) % 200 - 100);
    return samples;
}

struct Scripted {
    std::vector<std::int16_t> samples;
    bool talking = true;
};

TEST_F(CaptureFixture, TheBlocksBeforeAWordGoFirstAndTheGateHangsOverButNothingFromBeforeTalking)
{
    const SpeechGate::Timing timing;
    ASSERT_EQ(timing.lookBackBlocks, 2);
    ASSERT_EQ(timing.hangOverBlocks, 4);
    // Captured in this order (talking on unless marked), and what must go out, in this order.
    std::vector<Scripted> script;
    std::vector<int> expected;
    auto add = [&](std::vector<std::int16_t> samples, bool talking = true) {
        script.push_back({std::move(samples), talking});
        return int(script.size()) - 1;
    };
    add(quietBlock(1), false);               // before talking: never sent
    add(quietBlock(2), false);
    const int first = add(speechBlock(1));   // the word starts at once: nothing before it goes
    expected.push_back(first);
    for (int k = 0; k < 4; ++k) expected.push_back(add(quietBlock(10 + k)));  // hang-over
    add(quietBlock(20));                     // held, then too old for the look-back
    const int before1 = add(quietBlock(21)); // held: the look-back
    const int before2 = add(quietBlock(22));
    const int word = add(speechBlock(2));
    for (int i : {before1, before2, word}) expected.push_back(i);

    std::vector<VoiceRecord> records;
    capture.setBlockSink([&records](const VoiceRecord& r) { records.push_back(r); });
    for (const Scripted& block : script) {
        capture.setEnabled(block.talking);
        capture.OnBlock(reinterpret_cast<const std::uint8_t*>(block.samples.data()), BlockBytes);
    }
    // What one encoder makes of the expected blocks in this order, numbered from 1.
    VoiceCodec reference;
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t r = 0; r < records.size(); ++r) {
        std::array<std::uint8_t, CodedBlockSize> coded;
        reference.Encode(script[std::size_t(expected[r])].samples.data(), BlockBytes, coded.data(), nullptr);
        EXPECT_EQ(records[r].speech, coded) << "record " << r << " should be block " << expected[r];
        EXPECT_EQ(records[r].sequence, r + 1);
    }
}

// A steady noise that the level gate alone sends whole (-20 dBFS of hiss).
std::vector<std::vector<std::int16_t>> hissBlocks(int count)
{
    std::vector<std::vector<std::int16_t>> blocks;
    unsigned state = 12345;
    for (int b = 0; b < count; ++b) {
        std::vector<std::int16_t> block(BlockSamples);
        for (auto& s : block) {
            state = state * 1103515245u + 12345u;
            s = std::int16_t(int((state >> 16) % 6001) - 3000);
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

TEST_F(CaptureFixture, CleaningFollowsTheAudioSystemsChoiceFromTheNextBlockAndTheMeterShowsItsResult)
{
    std::size_t records = 0;
    capture.setBlockSink([&records](const VoiceRecord&) { ++records; });
    capture.setEnabled(true);
    const auto hiss = hissBlocks(60);
    auto feed = [&](int from, int to) {
        const std::size_t before = records;
        for (int b = from; b < to; ++b)
            capture.OnBlock(reinterpret_cast<const std::uint8_t*>(hiss[std::size_t(b)].data()), BlockBytes);
        return records - before;
    };
    // Uncleaned, the hiss passes the gate block after block.
    EXPECT_EQ(feed(0, 10), 10u);
    EXPECT_GT(capture.lastLevel(), DefaultQuietLimit);
    // With the default cleaning, the hiss is taken down under the threshold within a second or
    // two, and from then on nothing goes.
    audio.setVoiceProcessing(VoiceProcessingChoice{});
    feed(10, 40);
    EXPECT_EQ(feed(40, 50), 0u);
    EXPECT_LE(capture.lastLevel(), DefaultQuietLimit);
    // Switched off again: the next block is judged as captured, and goes with the two held
    // back before it.
    audio.setVoiceProcessing(NoCleaning);
    EXPECT_EQ(feed(50, 51), 1u + std::size_t(SpeechGate::Timing{}.lookBackBlocks));
    EXPECT_GT(capture.lastLevel(), DefaultQuietLimit);
}

TEST_F(CaptureFixture, WhatTheOutputsPlayIsCancelledFromTheMicrophone)
{
    // A member's voice plays on an output; the microphone hears it back, 40 ms later at half its
    // level. Without echo cancellation the echo is sent on; with it, after it has adapted,
    // nothing is. The output writes its far end as a sound card's callback would, just ahead of
    // each microphone block.
    // The member says the test phrase again and again, with a pause after it.
    std::vector<std::int16_t> talk;
    const auto phrase = test::phraseSamples();
    ASSERT_FALSE(phrase.empty());
    while (talk.size() < std::size_t(160 * BlockSamples)) {
        talk.insert(talk.end(), phrase.begin(), phrase.end());
        talk.insert(talk.end(), 4000, 0);
    }
    for (const bool cancel : {false, true}) {
        test::FakeAudio room;
        room.setVoiceProcessing({true, true, cancel, false});
        VoiceCapture listener(room);
        std::size_t lateRecords = 0;
        int block = 0;
        listener.setBlockSink([&](const VoiceRecord&) { lateRecords += block >= 100; });
        listener.setEnabled(true);
        FarEndReference::Writer speaker(&room.farEnd());
        std::vector<std::int16_t> heard(BlockSamples), previous(BlockSamples, 0);
        for (block = 0; block < 160; ++block) {
            const std::vector<std::int16_t> played(talk.begin() + block * BlockSamples,
                                                   talk.begin() + (block + 1) * BlockSamples);
            speaker.write(played.data(), BlockSamples);
            for (int i = 0; i < BlockSamples; ++i) {
                const int j = i - 320;
                heard[std::size_t(i)] = std::int16_t((j < 0 ? previous[std::size_t(j + BlockSamples)] : played[std::size_t(j)]) / 2);
            }
            previous = played;
            listener.OnBlock(reinterpret_cast<const std::uint8_t*>(heard.data()), BlockBytes);
        }
        if (cancel)
            EXPECT_EQ(lateRecords, 0u);
        else
            EXPECT_GT(lateRecords, 20u);
    }
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
