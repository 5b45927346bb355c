// The pure side of the sound choices: device specs and lookup, the gate's level against the
// gate itself, per-member volume, the test tone, and the push-to-talk key's state.
#include "core/voice/silence_gate.h"
#include "core/voice/sound_choices.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace lumo {
namespace {

std::vector<AudioDeviceInfo> sampleDevices()
{
    return {
        {0, "ALSA", "HDA Intel PCH: ALC3246 Analog (hw:0,0)", 2, 2, false, false},
        {1, "ALSA", "USB Headset: Audio (hw:1,0)", 1, 2, false, false},
        {2, "ALSA", "pulse", 32, 32, true, true},
        {3, "ALSA", "HDMI 0 (hw:0,3)", 0, 8, false, false},
        {4, "JACK Audio Connection Kit", "system", 2, 2, false, false},
    };
}

TEST(DeviceChoiceText, EveryColonIsACandidateSplitAndNoColonIsTheInputAlone)
{
    const auto none = deviceChoiceCandidates("3");
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0], (DeviceChoice{"3", ""}));

    const auto two = deviceChoiceCandidates("a:b:c");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], (DeviceChoice{"a", "b:c"}));
    EXPECT_EQ(two[1], (DeviceChoice{"a:b", "c"}));

    const auto empties = deviceChoiceCandidates(":");
    ASSERT_EQ(empties.size(), 1u);
    EXPECT_EQ(empties[0], (DeviceChoice{"", ""}));
}

TEST(DeviceChoiceText, DevicesAreFoundByIndexNameLabelOrAUniquePart)
{
    const auto devices = sampleDevices();
    std::string error;
    EXPECT_EQ(findDevice(devices, "1", DeviceDirection::Input)->name, "USB Headset: Audio (hw:1,0)");
    EXPECT_EQ(findDevice(devices, "PULSE", DeviceDirection::Output)->index, 2);
    EXPECT_EQ(findDevice(devices, "JACK Audio Connection Kit: system", DeviceDirection::Input)->index, 4);
    EXPECT_EQ(findDevice(devices, "headset", DeviceDirection::Input)->index, 1);
    EXPECT_EQ(findDevice(devices, "", DeviceDirection::Input)->index, 2);  // the default

    // HDMI has no input; "hw:0" fits two devices; 9 is not there.
    EXPECT_FALSE(findDevice(devices, "3", DeviceDirection::Input, &error));
    EXPECT_NE(error.find("no input"), std::string::npos);
    EXPECT_FALSE(findDevice(devices, "hw:0", DeviceDirection::Output, &error));
    EXPECT_NE(error.find("fits 2"), std::string::npos);
    EXPECT_FALSE(findDevice(devices, "9", DeviceDirection::Output, &error));
    EXPECT_FALSE(findDevice(devices, "speakers", DeviceDirection::Output, &error));
    EXPECT_NE(error.find("speakers"), std::string::npos);
    EXPECT_FALSE(findDevice({}, "", DeviceDirection::Output, &error));
}

TEST(DeviceChoiceText, TheTextResolvesToLabelsEvenWhenNamesHoldColons)
{
    const auto devices = sampleDevices();
    // The first colon would split inside the headset's name; the reading that names two
    // devices wins.
    const auto choice = resolveDeviceChoice(devices, "USB Headset: Audio (hw:1,0):HDMI 0 (hw:0,3)");
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->input, "ALSA: USB Headset: Audio (hw:1,0)");
    EXPECT_EQ(choice->output, "ALSA: HDMI 0 (hw:0,3)");

    const auto byIndex = resolveDeviceChoice(devices, "1:3");
    ASSERT_TRUE(byIndex);
    EXPECT_EQ(*byIndex, (DeviceChoice{"ALSA: USB Headset: Audio (hw:1,0)", "ALSA: HDMI 0 (hw:0,3)"}));

    // Empty halves stay the default, even on a machine without devices.
    EXPECT_EQ(*resolveDeviceChoice(devices, ":3"), (DeviceChoice{"", "ALSA: HDMI 0 (hw:0,3)"}));
    EXPECT_EQ(*resolveDeviceChoice({}, ":"), (DeviceChoice{}));

    std::string error;
    EXPECT_FALSE(resolveDeviceChoice(devices, "3:3", &error));  // HDMI cannot record
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(resolveDeviceChoice({}, "0:0", &error));
}

TEST(DeviceChoiceText, TheListMarksDirectionsAndDefaults)
{
    const std::string text = deviceListText(sampleDevices());
    EXPECT_NE(text.find("2  in/out  ALSA: pulse  (default input)  (default output)\n"), std::string::npos);
    EXPECT_NE(text.find("3  out  ALSA: HDMI 0 (hw:0,3)\n"), std::string::npos);
    EXPECT_EQ(deviceListText({}), "no sound devices\n");
}

// A block whose examined high bytes are given, the rest of each sample random.
std::vector<std::uint8_t> blockWithHighBytes(const std::vector<int>& highs, std::mt19937& random)
{
    std::vector<std::uint8_t> block(960);
    for (auto& byte : block) byte = std::uint8_t(random());
    for (std::size_t i = 0; i < highs.size(); ++i) block[1 + 4 * i] = std::uint8_t(std::int8_t(highs[i]));
    return block;
}

TEST(GateLevel, AgreesWithTheGateForEveryLimit)
{
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        // Mostly quiet bytes with a varying share of louder ones, as speech over a hiss gives.
        std::vector<int> highs(240);
        const int loud = int(random() % 80);
        const int loudness = 1 + int(random() % 128);
        for (int i = 0; i < 240; ++i)
            highs[std::size_t(i)] = i < loud ? int(random() % loudness) - loudness / 2 : int(random() % 7) - 3;
        std::shuffle(highs.begin(), highs.end(), random);
        const auto block = blockWithHighBytes(highs, random);
        const int level = gateLevel(block.data(), int(block.size()));
        for (int limit = 0; limit <= MaxQuietLimit; ++limit)
            ASSERT_EQ(IsQuietBlock(block.data(), int(block.size()), limit), level <= limit)
                << "round " << round << " limit " << limit << " level " << level;
    }
}

TEST(GateLevel, KnownBlocks)
{
    std::array<std::uint8_t, 960> zero{};
    EXPECT_EQ(gateLevel(zero.data(), 960), 0);
    EXPECT_TRUE(IsQuietBlock(zero.data(), 960));  // the default limit is the long-standing one

    // Even samples at 1000 (high byte 3): level 3, sent under the default limit.
    std::array<std::int16_t, 480> samples{};
    for (std::size_t i = 0; i < samples.size(); i += 2) samples[i] = 1000;
    std::array<std::uint8_t, 960> bytes{};
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    EXPECT_EQ(gateLevel(bytes.data(), 960), 3);
    EXPECT_FALSE(IsQuietBlock(bytes.data(), 960, DefaultQuietLimit));
    EXPECT_TRUE(IsQuietBlock(bytes.data(), 960, 3));

    // 40 loud bytes make a block loud, 39 do not: the level is the 40th loudest.
    std::mt19937 random(1);
    std::vector<int> highs(240, 0);
    for (int i = 0; i < 40; ++i) highs[std::size_t(i)] = -(50 + i);  // magnitudes 50..89
    auto block = blockWithHighBytes(highs, random);
    EXPECT_EQ(gateLevel(block.data(), 960), 50);
    highs[39] = 0;
    block = blockWithHighBytes(highs, random);
    EXPECT_EQ(gateLevel(block.data(), 960), 0);

    // Too short to be quiet, and the gate switched off.
    EXPECT_EQ(gateLevel(zero.data(), 400), AlwaysLoudLevel);
    EXPECT_EQ(gateLevel(nullptr, 960), AlwaysLoudLevel);
    EXPECT_FALSE(IsQuietBlock(zero.data(), 960, -1));
}

TEST(GateLevel, TheMeterRisesWithTheLevelAndStaysInItsBox)
{
    EXPECT_EQ(meterFraction(0), 0.0);
    EXPECT_EQ(meterFraction(128), 1.0);
    EXPECT_EQ(meterFraction(AlwaysLoudLevel), 1.0);
    for (int level = 1; level <= 128; ++level) EXPECT_GT(meterFraction(level), meterFraction(level - 1));
    EXPECT_GT(meterFraction(DefaultQuietLimit), 0.15);  // the default threshold is not a sliver
}

TEST(MemberVolume, ScalesAndSaturatesWithTheDoubling)
{
    std::vector<std::int16_t> samples{1000, -1000, 20000, -20000, 32767, -32768, 0};
    auto scaled = [&](int percent, bool doubled) {
        auto copy = samples;
        applyVolume(copy.data(), int(copy.size()), percent, doubled);
        return copy;
    };
    EXPECT_EQ(scaled(100, false), samples);
    EXPECT_EQ(scaled(50, false), (std::vector<std::int16_t>{500, -500, 10000, -10000, 16383, -16384, 0}));
    EXPECT_EQ(scaled(100, true), (std::vector<std::int16_t>{2000, -2000, 32767, -32768, 32767, -32768, 0}));
    EXPECT_EQ(scaled(150, false), (std::vector<std::int16_t>{1500, -1500, 30000, -30000, 32767, -32768, 0}));
    EXPECT_EQ(scaled(0, true), std::vector<std::int16_t>(samples.size(), 0));
    // Out-of-range volumes (a damaged settings file) are held to 0..400 %.
    EXPECT_EQ(scaled(-50, false), std::vector<std::int16_t>(samples.size(), 0));
    EXPECT_EQ(scaled(100000, false), scaled(MaxVolumePercent, false));
    EXPECT_EQ(scaled(MaxVolumePercent, true)[0], 8000);
    EXPECT_EQ(clampVolume(1LL << 40), MaxVolumePercent);
}

TEST(TestTone, AQuietStartAndEndAndThePitchAsked)
{
    std::vector<std::int16_t> tone(4800);
    fillTestTone(tone.data(), int(tone.size()), 0, int(tone.size()), 440, 8000);
    int peak = 0;
    int crossings = 0;
    for (std::size_t i = 0; i < tone.size(); ++i) {
        peak = std::max(peak, std::abs(int(tone[i])));
        if (i && (tone[i - 1] < 0) != (tone[i] < 0)) ++crossings;
    }
    EXPECT_LE(peak, 8000);
    EXPECT_GE(peak, 7900);
    EXPECT_LT(std::abs(int(tone.front())), 100);
    EXPECT_LT(std::abs(int(tone.back())), 500);
    EXPECT_NEAR(crossings, 2 * 440 * 0.6, 4);  // 0.6 s of 440 Hz

    // In pieces it is the same tone; past its end, silence.
    std::vector<std::int16_t> pieces(4800 + 100);
    for (int start = 0; start < int(pieces.size()); start += 960)
        fillTestTone(pieces.data() + start, std::min(960, int(pieces.size()) - start), start, 4800, 440, 8000);
    EXPECT_TRUE(std::equal(tone.begin(), tone.end(), pieces.begin()));
    EXPECT_TRUE(std::all_of(pieces.begin() + 4800, pieces.end(), [](std::int16_t s) { return s == 0; }));
}

TEST(VoiceProcessingChoiceTest, EchoCancellationFollowsTheOutputUntilChosen)
{
    const struct {
        std::optional<bool> chosen;
        const char* output;
        bool expected;
    } cases[] = {
        {std::nullopt, "", true},  // the system's default device: taken as speakers
        {std::nullopt, "ALSA: HDA Intel PCH: ALC3246 Analog (hw:0,0)", true},
        {std::nullopt, "ALSA: USB Headset: Audio (hw:1,0)", false},
        {std::nullopt, "PulseAudio: Logitech HEADPHONES", false},
        {std::nullopt, "ALSA: Sony Earbuds", false},
        {std::nullopt, "ALSA: USB 耳机", false},
        {std::nullopt, "ALSA: Earphone jack", false},
        {true, "ALSA: USB Headset: Audio (hw:1,0)", true},  // the player's choice wins
        {false, "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(echoCancellationFor(c.chosen, c.output), c.expected) << c.output;
    // Noise suppression and gain control are on unless switched off; voice detection is not.
    const VoiceProcessingChoice defaults;
    EXPECT_TRUE(defaults.noiseSuppression && defaults.gainControl && defaults.echoCancellation);
    EXPECT_FALSE(defaults.voiceDetection);
}

}  // namespace
}  // namespace lumo
