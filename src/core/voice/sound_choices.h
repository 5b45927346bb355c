// The pure side of the player's sound choices: which devices (`--audio portaudio:IN:OUT` and the
// sound dialog), how loud a captured block is for the silence gate and its meter, how the
// microphone is cleaned, each member's output volume, the dialog's test tone, and the
// push-to-talk key's held state. No devices, no threads, no Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo {

// --- Devices ---------------------------------------------------------------------------------

// One device as the sound system lists it.
struct AudioDeviceInfo {
    int index = -1;        // the sound system's own number, stable until its list is read again
    std::string hostApi;   // "ALSA", "JACK Audio Connection Kit", ...
    std::string name;
    int inputChannels = 0;
    int outputChannels = 0;
    bool defaultInput = false;
    bool defaultOutput = false;
};

enum class DeviceDirection { Input, Output };

// The player's choice: a device name or index for each direction; empty means the system's
// default device.
struct DeviceChoice {
    std::string input;
    std::string output;
    bool operator==(const DeviceChoice&) const = default;
};

// The ways "IN:OUT" can be read: device names may hold colons themselves ("hw:0,0"), so every
// colon is a candidate split, first colon first. Text without a colon is the input alone.
std::vector<DeviceChoice> deviceChoiceCandidates(std::string_view text);

// The device `text` names in that direction: a decimal index, else the name (case-insensitive),
// else "host API: name" as the list prints it, else the one device whose name contains the
// text. Empty text is the default device. Sets `error` (a one-line reason) when nothing or more
// than one device fits.
std::optional<AudioDeviceInfo> findDevice(const std::vector<AudioDeviceInfo>& devices, std::string_view text,
                                          DeviceDirection direction, std::string* error = nullptr);

// Resolves the readings of "IN:OUT" against the list: the first reading whose two halves both name
// a device, as the devices' labels (an empty half stays empty: the default device, whichever
// that is when a device opens). On failure, the reason for the first reading.
std::optional<DeviceChoice> resolveDeviceChoice(const std::vector<AudioDeviceInfo>& devices, std::string_view text,
                                              std::string* error = nullptr);

// "host API: name", as lists and settings show a device.
std::string deviceLabel(const AudioDeviceInfo& device);

// The text `lumo --list-audio-devices` prints: one line per device, its index, directions,
// label, and "(default input)"/"(default output)".
std::string deviceListText(const std::vector<AudioDeviceInfo>& devices);

// --- The silence gate's level ----------------------------------------------------------------

// The gate looks at the high byte of every other sample and calls a block quiet when more than
// 200 of those lie in -limit..limit. DefaultQuietLimit is the gate's long-standing value.
inline constexpr int DefaultQuietLimit = 2;
inline constexpr int MaxQuietLimit = 127;
// A gate level above any limit: blocks too short to be judged quiet.
inline constexpr int AlwaysLoudLevel = 129;

// The block's level on the gate's own scale (0..128, high-byte magnitude): the block is quiet
// under a limit exactly when its level is at most that limit. It is the magnitude that the
// loudest (examined - 200) of the examined high bytes reach.
int gateLevel(const std::uint8_t* data, int length);

// Where a gate level sits on a meter, 0.0 .. 1.0: logarithmic, so that the quiet end where
// the threshold lives is not squeezed into a pixel.
double meterFraction(int level);

// --- Cleaning the microphone ----------------------------------------------------------------

// Which processing steps the capture runs on the microphone before the gate and the encoder.
struct VoiceProcessingChoice {
    bool noiseSuppression = true;
    bool gainControl = true;
    bool echoCancellation = true;
    // The gate opens only on blocks in which the voice detector hears speech (besides the level).
    bool voiceDetection = false;
    bool operator==(const VoiceProcessingChoice&) const = default;
};

// Whether a device label names a headset or headphones, whose microphone does not hear what they
// play (case-insensitive: "headset", "headphone", "earphone", "earbud", "耳机").
bool looksLikeHeadset(std::string_view deviceLabel);

// Echo cancellation as the player chose it, or, without a choice, on unless the output device
// looks like a headset (an empty label is the system's default device: taken as speakers).
bool echoCancellationFor(std::optional<bool> chosen, std::string_view outputLabel);

// --- Output volume ---------------------------------------------------------------------------

inline constexpr int DefaultVolumePercent = 100;
inline constexpr int MaxVolumePercent = 400;

// A volume read from settings or a menu, kept within 0..MaxVolumePercent.
int clampVolume(long long percent);

// Scales samples by percent/100, doubled again when `doubled` ("增溢"), saturating at the
// 16-bit limits (never wrapping).
void applyVolume(std::int16_t* samples, int count, int percent, bool doubled);

// --- Test tone -------------------------------------------------------------------------------

// A sine of `hz` at 8 kHz with the given peak, starting at sample `start` of the tone, with a
// 10 ms fade at both ends of a tone `total` samples long, so that it starts and stops without
// a click.
void fillTestTone(std::int16_t* out, int count, int start, int total, int hz, int peak);

}  // namespace lumo
