// G.729 framing of 60 ms blocks: argument checks, silence, independence of instances, and a
// spoken phrase surviving the round trip.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>

#include "core/voice/voice_codec.h"
#include "voice_test_support.h"

namespace lumo {
namespace {

std::vector<std::int16_t> tone(int block, double frequency, double amplitude)
{
    std::vector<std::int16_t> samples(BlockSamples);
    for (int i = 0; i < BlockSamples; ++i) {
        const double t = double(block * BlockSamples + i) / 8000.0;
        samples[i] = static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * frequency * t));
    }
    return samples;
}

TEST(VoiceCodecTest, RefusedArgumentsLeaveOutputsUntouched)
{
    VoiceCodec codec;
    std::array<std::int16_t, 2 * BlockSamples> pcm{};
    std::array<std::uint8_t, 64> out;
    out.fill(0xAB);
    int outLength = -5;

    for (int length : {0, 959, 961, 1920, -960}) {
        EXPECT_FALSE(codec.Encode(pcm.data(), length, out.data(), &outLength)) << length;
    }
    EXPECT_FALSE(codec.Encode(nullptr, BlockBytes, out.data(), &outLength));
    EXPECT_FALSE(codec.Encode(pcm.data(), BlockBytes, nullptr, &outLength));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 0xAB; }));
    EXPECT_EQ(outLength, -5);

    std::array<std::int16_t, BlockSamples> decoded;
    decoded.fill(1234);
    std::array<std::uint8_t, 61> coded{};
    for (int length : {0, 59, 61, 64}) {
        EXPECT_FALSE(codec.Decode(coded.data(), length, decoded.data(), &outLength)) << length;
    }
    EXPECT_FALSE(codec.Decode(nullptr, CodedBlockSize, decoded.data(), &outLength));
    EXPECT_FALSE(codec.Decode(coded.data(), CodedBlockSize, nullptr, &outLength));
    EXPECT_TRUE(std::all_of(decoded.begin(), decoded.end(), [](auto s) { return s == 1234; }));
    EXPECT_EQ(outLength, -5);

    // Accepted calls write exactly their 60 bytes / 480 samples and the length, which may be
    // omitted.
    EXPECT_TRUE(codec.Encode(pcm.data(), BlockBytes, out.data(), &outLength));
    EXPECT_EQ(outLength, 60);
    EXPECT_TRUE(std::all_of(out.begin() + 60, out.end(), [](auto b) { return b == 0xAB; }));
    EXPECT_TRUE(codec.Encode(pcm.data(), BlockBytes, out.data(), nullptr));
    EXPECT_TRUE(codec.Decode(out.data(), CodedBlockSize, decoded.data(), &outLength));
    EXPECT_EQ(outLength, 960);
    EXPECT_TRUE(codec.Decode(out.data(), CodedBlockSize, decoded.data(), nullptr));
}

TEST(VoiceCodecTest, ZerosDecodeToNearSilence)
{
    VoiceCodec encoder;
    VoiceCodec decoder;
    const std::vector<std::int16_t> zeros(BlockSamples, 0);
    std::array<std::uint8_t, CodedBlockSize> coded;
    std::array<std::int16_t, BlockSamples> decoded;
    for (int block = 0; block < 4; ++block) {
        ASSERT_TRUE(encoder.Encode(zeros.data(), BlockBytes, coded.data(), nullptr));
        ASSERT_TRUE(decoder.Decode(coded.data(), CodedBlockSize, decoded.data(), nullptr));
        for (std::int16_t s : decoded)
            ASSERT_LE(std::abs(s), 64) << "block " << block;
        // Near silence is also what the silence gate calls quiet.
        EXPECT_TRUE(IsQuietBlock(reinterpret_cast<const std::uint8_t*>(decoded.data()), BlockBytes));
    }
}

TEST(VoiceCodecTest, InstancesKeepTheirOwnStates)
{
    // Two streams encoded alone, each by a fresh instance...
    auto encodeAlone = [](double frequency) {
        VoiceCodec codec;
        std::vector<std::array<std::uint8_t, CodedBlockSize>> coded(8);
        for (int b = 0; b < 8; ++b)
            codec.Encode(tone(b, frequency, 8000).data(), BlockBytes, coded[b].data(), nullptr);
        return coded;
    };
    const auto aloneA = encodeAlone(300);
    const auto aloneB = encodeAlone(1100);
    ASSERT_NE(aloneA, aloneB);

    // ...and in alternation by two instances, one decoding on the side as VoiceCapture does.
    VoiceCodec a;
    VoiceCodec b;
    std::array<std::int16_t, BlockSamples> scratch;
    for (int block = 0; block < 8; ++block) {
        std::array<std::uint8_t, CodedBlockSize> codedA;
        std::array<std::uint8_t, CodedBlockSize> codedB;
        ASSERT_TRUE(a.Encode(tone(block, 300, 8000).data(), BlockBytes, codedA.data(), nullptr));
        ASSERT_TRUE(a.Decode(aloneB[block].data(), CodedBlockSize, scratch.data(), nullptr));
        ASSERT_TRUE(b.Encode(tone(block, 1100, 8000).data(), BlockBytes, codedB.data(), nullptr));
        EXPECT_EQ(codedA, aloneA[block]) << "block " << block;
        EXPECT_EQ(codedB, aloneB[block]) << "block " << block;
    }
}

TEST(VoiceCodecTest, SpokenPhraseSurvivesTheRoundTrip)
{
    const std::vector<std::int16_t> phrase = test::phraseSamples();
    ASSERT_GT(phrase.size(), 8000u) << test::phrasePath();

    VoiceCodec encoder;
    VoiceCodec decoder;
    std::vector<std::int16_t> decoded;
    for (const auto& block : test::blocksOf(phrase)) {
        std::array<std::uint8_t, CodedBlockSize> coded;
        std::array<std::int16_t, BlockSamples> out;
        ASSERT_TRUE(encoder.Encode(block.data(), BlockBytes, coded.data(), nullptr));
        ASSERT_TRUE(decoder.Decode(coded.data(), CodedBlockSize, out.data(), nullptr));
        decoded.insert(decoded.end(), out.begin(), out.end());
    }
    // The codec delays by a few milliseconds; the waveform matches well at that delay (about
    // 0.8 for this phrase), and the loudness contour almost exactly.
    int lag = 0;
    const double c = test::bestCorrelation(phrase, decoded, 160, &lag);
    RecordProperty("correlation", std::to_string(c));
    EXPECT_GT(c, 0.7) << "best lag " << lag;
    EXPECT_LE(lag, 80);
    const double contour = test::correlation(test::envelope(phrase), test::envelope(decoded, lag), 0);
    RecordProperty("contour", std::to_string(contour));
    EXPECT_GT(contour, 0.95);
    // Sound that merely had the right loudness would not line up sample by sample.
    EXPECT_LT(std::abs(test::correlation(phrase, decoded, lag + 400)), 0.3);
}

}  // namespace
}  // namespace lumo
