// PortAudio's device list and the choice of devices: on the machine's own devices where it has
// any, and on an ALSA null device that the test sets up in a private ALSA configuration (it
// needs no sound card and no kernel module; it has no clock of its own, so blocks come as fast
// as they are taken, and what it records is not promised to be silence).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "voice/audio_backends.h"
#include "voice/audio_backends_internal.h"
#include "voice/level_monitor.h"
#include "voice/voice_player.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(PortAudioDevicesTest, TheMachinesDevicesAreListedAndEachCanBeChosen)
{
    std::string error;
    auto system = makePortAudioSystem(&error);
    ASSERT_TRUE(system) << error;
    const auto devices = system->devices();
    if (devices.empty()) GTEST_SKIP() << "this machine has no sound devices";
    int defaultInputs = 0, defaultOutputs = 0;
    for (const AudioDeviceInfo& device : devices) {
        EXPECT_FALSE(device.name.empty());
        EXPECT_TRUE(device.inputChannels > 0 || device.outputChannels > 0);
        defaultInputs += device.defaultInput;
        defaultOutputs += device.defaultOutput;
        const DeviceChoice byNumber{device.inputChannels > 0 ? std::to_string(device.index) : "",
                                    device.outputChannels > 0 ? std::to_string(device.index) : ""};
        ASSERT_TRUE(system->chooseDevices(byNumber, &error)) << error;
        const DeviceChoice chosen = system->chosenDevices();
        EXPECT_EQ(chosen.input, device.inputChannels > 0 ? deviceLabel(device) : std::string());
        EXPECT_EQ(chosen.output, device.outputChannels > 0 ? deviceLabel(device) : std::string());
    }
    EXPECT_LE(defaultInputs, 1);
    EXPECT_LE(defaultOutputs, 1);
    // A device that is not there leaves the choice as it was.
    const DeviceChoice before = system->chosenDevices();
    EXPECT_FALSE(system->chooseDevices({"no such device anywhere", ""}, &error));
    EXPECT_EQ(system->chosenDevices(), before);
}

// A private HOME whose .asoundrc defines the null device; PortAudio's ALSA host lists it.
struct AlsaNullHome {
    fs::path home = fs::temp_directory_path() / ("lumo-alsa-" + std::to_string(::getpid()));
    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    AlsaNullHome()
    {
        fs::create_directories(home);
        std::ofstream(home / ".asoundrc") << "pcm.lumonullpcm { type null }\n"
                                             "pcm.lumonull { type plug\n slave.pcm \"lumonullpcm\" }\n";
        ::setenv("HOME", home.c_str(), 1);
    }
    ~AlsaNullHome()
    {
        ::setenv("HOME", savedHome.c_str(), 1);
        fs::remove_all(home);
    }
};

TEST(PortAudioDevicesTest, AnAlsaNullDeviceIsListedChosenByNameRecordsAndPlays)
{
    AlsaNullHome alsa;
    std::string error;
    auto system = makeAudioSystem("portaudio", &error);
    ASSERT_TRUE(system) << error;
    const auto devices = system->devices();
    const auto null = findDevice(devices, "lumonull", DeviceDirection::Input);
    if (!null) GTEST_SKIP() << "PortAudio lists no ALSA devices here (no ALSA host API)";
    EXPECT_EQ(null->hostApi, "ALSA");
    EXPECT_GT(null->outputChannels, 0);
    system.reset();

    // By name on the command line, both ways.
    system = makeAudioSystem("portaudio:lumonull:lumonull", &error);
    ASSERT_TRUE(system) << error;
    EXPECT_EQ(system->chosenDevices(), (DeviceChoice{"ALSA: lumonull", "ALSA: lumonull"}));
    EXPECT_FALSE(makeAudioSystem("portaudio:no such microphone:", &error));
    EXPECT_NE(error.find("no such microphone"), std::string::npos);

    // Capture from it: whole blocks arrive and are measured on the gate's scale.
    LevelMonitor monitor(*system);
    ASSERT_TRUE(monitor.StartAll()) << "result " << monitor.lastResult();
    ASSERT_TRUE(waitUntil([&] { return monitor.blocksSeen() >= 3; }, 5s));
    EXPECT_GE(monitor.lastLevel(), 0);
    EXPECT_LE(monitor.lastLevel(), 128);
    monitor.StopAll();
    EXPECT_FALSE(monitor.deviceLost());  // stopped on purpose, not lost

    // Play to it: the player opens it and takes a tone without refusing.
    VoicePlayer player(*system, 128);
    ASSERT_TRUE(player.StartAll()) << "result " << player.lastResult();
    std::vector<std::int16_t> tone(960);
    fillTestTone(tone.data(), int(tone.size()), 0, int(tone.size()), 440, 8000);
    EXPECT_TRUE(player.Play(tone.data(), int(tone.size() * 2)));
}

}  // namespace
}  // namespace lumo
