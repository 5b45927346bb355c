// The audio back ends: the --audio option, the null system, PortAudio on whatever this machine
// has, and a spoken phrase going from a WAV microphone through capture, encoding, a player and
// its real-time WAV speaker into a file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "voice/audio_backends.h"
#include "voice/far_end_reference.h"
#include "voice/voice_capture.h"
#include "voice/voice_player.h"
#include "voice_judge.h"
#include "voice_test_support.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir()
    {
        path = fs::temp_directory_path() /
               ("lumo-voice-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

TEST(AudioOptionTest, ChoosesTheBackEndOrSaysWhyNot)
{
    std::string error;
    auto none = makeAudioSystem("null", &error);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->QueryInput(AudioFormat{}), AudioNoDevice);
    EXPECT_EQ(none->QueryOutput(AudioFormat{}), AudioNoDevice);

    for (const char* bad : {"", "alsa", "wav", "wav:", "wav:mic.wav", "wav::dir", "wav:mic.wav:"}) {
        error.clear();
        EXPECT_EQ(makeAudioSystem(bad, &error), nullptr) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    TempDir dir;
    error.clear();
    EXPECT_EQ(makeAudioSystem("wav:" + (dir.path / "missing.wav").string() + ":" + dir.path.string(), &error),
              nullptr);
    EXPECT_NE(error.find("missing.wav"), std::string::npos) << error;
    // A microphone at another rate is refused rather than played at the wrong speed.
    const fs::path fast = dir.path / "fast.wav";
    ASSERT_EQ(std::system(("sox -n -r 16000 -c 1 -b 16 " + fast.string() + " synth 0.1 sine 440").c_str()), 0);
    error.clear();
    EXPECT_EQ(makeAudioSystem("wav:" + fast.string() + ":" + dir.path.string(), &error), nullptr);
    EXPECT_NE(error.find("8000"), std::string::npos) << error;

    EXPECT_NE(audioOptionHelp().find("wav:MIC.wav:SPEAKER_DIR"), std::string::npos);
}

TEST(AudioOptionTest, PortAudioStartsQuietlyAndFailsCleanlyWithoutASoundCard)
{
    ::testing::internal::CaptureStderr();
    std::string error;
    auto system = makeAudioSystem("portaudio", &error);
    const std::string noise = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(noise, "");
    if (!system)
        GTEST_SKIP() << "PortAudio did not start: " << error;

    // With a sound card these start and stop; without one they fail. Either way cleanly.
    VoiceCapture capture(*system);
    if (capture.StartAll())
        EXPECT_TRUE(capture.StopAll());
    else
        EXPECT_FALSE(capture.threadRunning());
    VoicePlayer player(*system, 3);
    if (player.StartAll()) {
        std::vector<std::int16_t> silence(BlockSamples, 0);
        EXPECT_TRUE(player.Play(silence.data(), BlockBytes));
    } else {
        EXPECT_FALSE(player.threadRunning());
    }
}

TEST(WavBackEndTest, PhraseGoesFromTheMicrophoneFileToTheSpeakerFile)
{
    const std::vector<std::int16_t> phrase = test::phraseSamples();
    ASSERT_FALSE(phrase.empty());
    TempDir dir;
    std::string error;
    auto system = makeAudioSystem("wav:" + test::phrasePath().string() + ":" + (dir.path / "out").string(),
                                  &error);
    ASSERT_NE(system, nullptr) << error;

    // The player here plays what this very capture sends, so echo cancellation would take the
    // phrase for its own echo: the back end is judged with the cleaning off.
    const VoiceProcessingChoice noCleaning{false, false, false, false};
    system->setVoiceProcessing(noCleaning);
    // What should come out: what a capture sends of the phrase's blocks (given to it directly),
    // encoded and decoded in order.
    std::vector<std::int16_t> expected;
    {
        NullAudioSystem direct;
        direct.setVoiceProcessing(noCleaning);
        VoiceCapture reference(direct);
        VoiceCodec decoder;
        reference.setBlockSink([&](const VoiceRecord& record) {
            std::array<std::int16_t, BlockSamples> out;
            decoder.Decode(record.speech.data(), CodedBlockSize, out.data(), nullptr);
            expected.insert(expected.end(), out.begin(), out.end());
        });
        reference.setEnabled(true);
        for (const auto& block : test::blocksOf(phrase))
            reference.OnBlock(reinterpret_cast<const std::uint8_t*>(block.data()), BlockBytes);
    }
    // The n-th block sent is at least the n-th of the file.
    const std::size_t lastSent = expected.empty() ? 0 : expected.size() / BlockSamples - 1;
    ASSERT_GT(expected.size(), phrase.size() / 2);

    std::mutex mutex;
    std::vector<std::uint32_t> numbers;
    // Each record as the capture sent it and the player got it (at once), in ms from the start:
    // the speaker file opens with the player, at about 0.
    std::map<std::uint32_t, test::SentRecord> sent;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration capturedIn{};
    {
        VoicePlayer player(*system, 9);
        ASSERT_TRUE(player.StartAll());
        VoiceCapture capture(*system);
        capture.setBlockSink([&](const VoiceRecord& record) {
            {
                std::lock_guard lock(mutex);
                numbers.push_back(record.sequence);
                const double nowMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
                sent[record.sequence] = test::SentRecord{record.sequence, record.speech, nowMs, {nowMs}};
            }
            player.Submit(record, false);
        });
        capture.setEnabled(true);
        ASSERT_TRUE(capture.StartAll());
        // The file lasts 28 blocks of 60 ms; then the microphone is silent. Stopped once the
        // last block is captured, not after a sleep of the test's own.
        const std::size_t blocks = expected.size() / BlockSamples;
        EXPECT_TRUE(test::waitFor([&] {
            std::lock_guard lock(mutex);
            return numbers.size() >= blocks;
        }, 30s));
        capturedIn = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(capture.StopAll());
        // Played in real time: the last buffers come back a little after the last record.
        EXPECT_TRUE(test::waitFor([&] { return player.queued() == 0; }, 30s));
    }
    // Real-time pacing: the microphone file gives its last block no sooner than the blocks
    // before it last (a lower bound: a slow machine cannot break it, a file read at once would).
    EXPECT_GE(capturedIn, std::chrono::milliseconds(lastSent * 60));

    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(numbers.size() * BlockSamples, expected.size());
        for (std::size_t i = 0; i < numbers.size(); ++i)
            EXPECT_EQ(numbers[i], i + 1);
    }
    system.reset();  // closes the speaker files

    test::Wav played;
    ASSERT_TRUE(test::readWav(dir.path / "out" / "peer-9.wav", &played));
    EXPECT_EQ(played.sampleRate, 8000);
    EXPECT_EQ(played.channels, 1);
    EXPECT_EQ(played.bitsPerSample, 16);
    // The speaker runs on the real-time clock: the file holds the player's whole life, silence
    // included (a short pre-roll first, and wherever the talker's gate held blocks back),
    // and every record of the phrase exactly once, in order: as decoded, or played a little
    // faster or slower where the player took back or put in time (a busy machine delays records;
    // the quiet blocks before the words are where it gives time back first).
    EXPECT_GT(played.samples.size(), expected.size());
    const test::PlayoutReport report = test::judgePlayout(sent, played.samples, 0, 1, std::uint32_t(numbers.size()));
    EXPECT_GT(report.received, int(numbers.size()) / 2);
    EXPECT_EQ(report.received + report.quiet, int(numbers.size()));
    // A record the player got only after its turn (the machine held a thread up) is concealed in
    // its place, as it must be; a few of them at most.
    EXPECT_EQ(report.playedOnce, report.received - report.late);
    EXPECT_LE(report.late, report.received / 5);
    EXPECT_EQ(report.repeats, 0);
    EXPECT_EQ(report.outOfOrder, 0);
    EXPECT_TRUE(std::all_of(played.samples.begin(), played.samples.begin() + 80, [](std::int16_t v) { return v == 0; }));
}

TEST(WavBackEndTest, WhatTheSpeakersPlayIsTheFarEndTheCaptureReads)
{
    TempDir dir;
    std::string error;
    auto system = makeAudioSystem("wav:" + test::phrasePath().string() + ":" + dir.path.string(), &error);
    ASSERT_NE(system, nullptr) << error;
    FarEndReference::Reader reader(system->farEnd());
    std::vector<std::int16_t> first(BlockSamples), second(BlockSamples);
    for (int i = 0; i < BlockSamples; ++i) {
        first[std::size_t(i)] = std::int16_t(3000 + i);
        second[std::size_t(i)] = std::int16_t(-3000 - i);
    }
    std::vector<std::int16_t> heard;
    int sources = 0;
    {
        // One member talks, another one's speaker is open and silent: the far end is their sum.
        VoicePlayer a(*system, 4), b(*system, 5);
        ASSERT_TRUE(a.StartAll() && b.StartAll());
        // Read a block every 30 ms, faster than the speakers play: the reader runs dry and falls
        // back with a wider margin each time (reading samples twice), but never skips ahead,
        // whatever the machine's load. A third of a second of that first, so that the margin
        // is wider than a block when the blocks play; then until the reader has had them.
        std::array<std::int16_t, BlockSamples> block;
        auto readOnce = [&] {
            std::this_thread::sleep_for(30ms);
            reader.read(block.data(), BlockSamples);
            heard.insert(heard.end(), block.begin(), block.end());
            sources = std::max(sources, reader.sources());
        };
        for (int k = 0; k < 10; ++k) readOnce();
        ASSERT_GE(reader.resyncs(), 2);
        ASSERT_TRUE(a.Play(first.data(), BlockBytes));
        ASSERT_TRUE(a.Play(second.data(), BlockBytes));
        for (int k = 0, after = 0; k < 100 && after < 15; ++k) {
            readOnce();
            if (a.queued() == 0) ++after;
        }
    }
    EXPECT_EQ(sources, 2);
    // What was played, each block whole.
    EXPECT_NE(std::search(heard.begin(), heard.end(), first.begin(), first.end()), heard.end());
    EXPECT_NE(std::search(heard.begin(), heard.end(), second.begin(), second.end()), heard.end());
}

TEST(WavBackEndTest, LaterPlayersOfAMemberAppendToItsFile)
{
    TempDir dir;
    std::string error;
    auto system = makeAudioSystem("wav:" + test::phrasePath().string() + ":" + dir.path.string(), &error);
    ASSERT_NE(system, nullptr) << error;
    std::vector<std::int16_t> block(BlockSamples);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < BlockSamples; ++i)
            block[i] = static_cast<std::int16_t>(round * 1000 + i);
        VoicePlayer player(*system, 4);
        ASSERT_TRUE(player.StartAll());
        ASSERT_TRUE(player.Play(block.data(), BlockBytes));
        EXPECT_TRUE(test::waitFor([&] { return player.queued() == 0; }, 30s));
    }
    {
        // A player destroyed while its buffer is still playing leaves that buffer out.
        VoicePlayer player(*system, 4);
        ASSERT_TRUE(player.StartAll());
        ASSERT_TRUE(player.Play(block.data(), BlockBytes));
    }
    // The header is kept up to date: the file can be read while the program still runs. It
    // holds each player's life one after another, silence included: the first two blocks once
    // each and in order, the third (destroyed while playing) not whole.
    auto check = [&](const test::Wav& played) {
        std::vector<std::int16_t> first(BlockSamples), second(BlockSamples);
        for (int i = 0; i < BlockSamples; ++i) {
            first[i] = static_cast<std::int16_t>(i);
            second[i] = static_cast<std::int16_t>(1000 + i);
        }
        const auto a = std::search(played.samples.begin(), played.samples.end(), first.begin(), first.end());
        ASSERT_NE(a, played.samples.end());
        const auto b = std::search(a, played.samples.end(), second.begin(), second.end());
        ASSERT_NE(b, played.samples.end());
        EXPECT_EQ(std::search(b + 1, played.samples.end(), second.begin(), second.end()), played.samples.end());
    };
    test::Wav played;
    ASSERT_TRUE(test::readWav(dir.path / "peer-4.wav", &played));
    check(played);
    system.reset();
    ASSERT_TRUE(test::readWav(dir.path / "peer-4.wav", &played));
    check(played);
}

}  // namespace
}  // namespace lumo
