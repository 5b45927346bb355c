// The microphone's cleaning as VoiceProcessor sets up the library: what each step does to noise,
// to quiet and loud speech and to an echo, and that a step switched off leaves the samples alone.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "voice/voice_processor.h"
#include "voice_test_support.h"

namespace lumo {
namespace {

using Samples = std::vector<std::int16_t>;

VoiceProcessingChoice only(bool noise, bool gain, bool echo, bool voice) { return {noise, gain, echo, voice}; }

double rmsDb(const Samples& s, std::size_t from, std::size_t to)
{
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return 10 * std::log10(std::max(sum / double(to - from), 1e-3) / (32768.0 * 32768.0));
}

double peakDb(const Samples& s, std::size_t from)
{
    int peak = 1;
    for (std::size_t i = from; i < s.size(); ++i) peak = std::max(peak, std::abs(int(s[i])));
    return 20 * std::log10(peak / 32768.0);
}

Samples noise(std::size_t count, double amplitude, unsigned seed = 3)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> gauss(0, amplitude);
    Samples out(count);
    for (auto& v : out) v = std::int16_t(std::clamp(gauss(random), -32768.0, 32767.0));
    return out;
}

Samples scaledTo(const Samples& s, double peakDbfs)
{
    const double factor = std::pow(10, (peakDbfs - peakDb(s, 0)) / 20);
    Samples out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = std::int16_t(std::clamp(s[i] * factor, -32768.0, 32767.0));
    return out;
}

// Runs whole blocks of `mic` (and `far`, when given) through a new processor.
struct Processed {
    Samples out;
    int voicedFrames = 0;
    int echoBlocks = 0;
};
Processed process(const Samples& mic, const VoiceProcessingChoice& choice, const Samples* far = nullptr)
{
    VoiceProcessor processor;
    EXPECT_TRUE(processor.ready());
    Processed run;
    run.out = mic;
    run.out.resize(mic.size() / BlockSamples * BlockSamples);
    for (std::size_t at = 0; at < run.out.size(); at += BlockSamples) {
        const auto result = processor.process(run.out.data() + at, far ? far->data() + at : nullptr, choice);
        run.voicedFrames += result.voicedFrames;
        run.echoBlocks += result.echoCancelled;
    }
    return run;
}

TEST(VoiceProcessorTest, StepsSwitchedOffLeaveTheSamplesAlone)
{
    const Samples mic = noise(BlockSamples * 20, 3000);
    const Samples far = noise(BlockSamples * 20, 3000, 9);
    const Processed run = process(mic, only(false, false, false, false), &far);
    EXPECT_TRUE(std::equal(run.out.begin(), run.out.end(), mic.begin()));
    EXPECT_EQ(run.voicedFrames, 0);
    EXPECT_EQ(run.echoBlocks, 0);
}

TEST(VoiceProcessorTest, NoiseSuppressionTakesASteadyNoiseDown)
{
    const Samples mic = noise(8000 * 3, 2000);  // -24 dBFS of hiss for 3 s
    const Processed run = process(mic, only(true, false, false, false));
    const std::size_t lastSecond = run.out.size() - 8000;
    EXPECT_LT(rmsDb(run.out, lastSecond, run.out.size()), rmsDb(mic, lastSecond, mic.size()) - 15);
}

TEST(VoiceProcessorTest, GainControlRaisesQuietSpeechAndKeepsLoudSpeechAtItsTarget)
{
    const Samples phrase = test::phraseSamples();
    ASSERT_FALSE(phrase.empty());
    Samples talk;
    for (int i = 0; i < 6; ++i) talk.insert(talk.end(), phrase.begin(), phrase.end());  // 10 s
    const std::size_t last = talk.size() - phrase.size();
    // Quiet speech is raised, step by step (its gain grows a few dB a second).
    const Samples quiet = scaledTo(talk, -35);
    EXPECT_GT(peakDb(process(quiet, only(false, true, false, false)).out, last), -35 + 10);
    // Loud speech is held near the target, from the start.
    const Samples loud = scaledTo(talk, -3);
    EXPECT_NEAR(peakDb(process(loud, only(false, true, false, false)).out, 0), VoiceProcessor::TargetPeakDbfs, 3);
    // Switched off, the level stays where it was.
    EXPECT_NEAR(peakDb(process(quiet, only(false, false, false, false)).out, 0), -35, 0.5);
}

TEST(VoiceProcessorTest, VoiceDetectionHearsSpeechAndNotSilence)
{
    const Samples phrase = test::phraseSamples();
    ASSERT_FALSE(phrase.empty());
    const int frames = int(phrase.size() / BlockSamples) * VoiceProcessor::BlockFrames;
    const Processed speech = process(phrase, only(false, false, false, true));
    EXPECT_GT(speech.voicedFrames, frames / 3);
    const Processed silence = process(Samples(phrase.size(), 0), only(false, false, false, true));
    EXPECT_EQ(silence.voicedFrames, 0);
}

TEST(VoiceProcessorTest, EchoCancellationRemovesWhatTheFarEndPlayedAndRestsWhenItIsSilent)
{
    Samples far = test::phraseSamples();
    ASSERT_FALSE(far.empty());
    far.insert(far.end(), far.begin(), far.end());
    const std::size_t played = far.size() / BlockSamples * BlockSamples;
    far.resize(played + 8000 * 2, 0);  // then 2 s of silence
    // The room: half the level, 50 ms later.
    Samples mic(far.size(), 0);
    for (std::size_t i = 400; i < far.size(); ++i) mic[i] = std::int16_t(far[i - 400] / 2);
    const Processed cancelled = process(mic, only(false, false, true, false), &far);
    const std::size_t from = 8000 * 2;
    EXPECT_LT(rmsDb(cancelled.out, from, played), rmsDb(mic, from, played) - 20);
    // It runs while the far end plays and for a second after, not through the silence.
    const int playedBlocks = int(played / BlockSamples);
    EXPECT_GE(cancelled.echoBlocks, playedBlocks);
    EXPECT_LT(cancelled.echoBlocks, playedBlocks + 8000 * 2 / BlockSamples);
}

}  // namespace
}  // namespace lumo
