#include "core/voice/sound_choices.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace lumo {

namespace {

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

bool fits(const AudioDeviceInfo& device, DeviceDirection direction)
{
    return direction == DeviceDirection::Input ? device.inputChannels > 0 : device.outputChannels > 0;
}

void setError(std::string* error, std::string text)
{
    if (error) *error = std::move(text);
}

const char* directionWord(DeviceDirection direction)
{
    return direction == DeviceDirection::Input ? "input" : "output";
}

}  // namespace

std::vector<DeviceChoice> deviceChoiceCandidates(std::string_view text)
{
    std::vector<DeviceChoice> out;
    for (std::size_t colon = text.find(':'); colon != std::string_view::npos; colon = text.find(':', colon + 1))
        out.push_back({std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))});
    if (out.empty()) out.push_back({std::string(text), {}});
    return out;
}

std::optional<AudioDeviceInfo> findDevice(const std::vector<AudioDeviceInfo>& devices, std::string_view text,
                                          DeviceDirection direction, std::string* error)
{
    if (text.empty()) {
        for (const AudioDeviceInfo& device : devices)
            if (fits(device, direction) &&
                (direction == DeviceDirection::Input ? device.defaultInput : device.defaultOutput))
                return device;
        setError(error, std::string("there is no default ") + directionWord(direction) + " device");
        return std::nullopt;
    }
    int index = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (ec == std::errc() && end == text.data() + text.size()) {
        for (const AudioDeviceInfo& device : devices)
            if (device.index == index) {
                if (fits(device, direction)) return device;
                setError(error, "device " + std::string(text) + " has no " + directionWord(direction));
                return std::nullopt;
            }
        setError(error, "there is no device " + std::string(text));
        return std::nullopt;
    }
    const std::string wanted = lowered(text);
    for (const AudioDeviceInfo& device : devices)
        if (fits(device, direction) && (lowered(device.name) == wanted || lowered(deviceLabel(device)) == wanted))
            return device;
    std::optional<AudioDeviceInfo> partial;
    int partialCount = 0;
    for (const AudioDeviceInfo& device : devices)
        if (fits(device, direction) && lowered(deviceLabel(device)).find(wanted) != std::string::npos) {
            partial = device;
            ++partialCount;
        }
    if (partialCount == 1) return partial;
    setError(error, partialCount == 0
                        ? std::string("no ") + directionWord(direction) + " device is called '" + std::string(text) + "'"
                        : "'" + std::string(text) + "' fits " + std::to_string(partialCount) + " " +
                              directionWord(direction) + " devices; give its number");
    return std::nullopt;
}

std::optional<DeviceChoice> resolveDeviceChoice(const std::vector<AudioDeviceInfo>& devices, std::string_view text,
                                              std::string* error)
{
    std::string firstError;
    for (const DeviceChoice& choice : deviceChoiceCandidates(text)) {
        // An empty half is the default device, whichever that is when a device opens.
        std::string reason;
        DeviceChoice resolved;
        bool found = true;
        if (!choice.input.empty()) {
            const auto input = findDevice(devices, choice.input, DeviceDirection::Input, &reason);
            found = input.has_value();
            if (input) resolved.input = deviceLabel(*input);
        }
        if (found && !choice.output.empty()) {
            const auto output = findDevice(devices, choice.output, DeviceDirection::Output, &reason);
            found = output.has_value();
            if (output) resolved.output = deviceLabel(*output);
        }
        if (found) return resolved;
        if (firstError.empty()) firstError = reason;
    }
    setError(error, firstError);
    return std::nullopt;
}

std::string deviceLabel(const AudioDeviceInfo& device)
{
    return device.hostApi.empty() ? device.name : device.hostApi + ": " + device.name;
}

std::string deviceListText(const std::vector<AudioDeviceInfo>& devices)
{
    if (devices.empty()) return "no sound devices\n";
    std::string out;
    for (const AudioDeviceInfo& device : devices) {
        std::string directions;
        if (device.inputChannels > 0) directions += "in";
        if (device.outputChannels > 0) directions += directions.empty() ? "out" : "/out";
        out += std::to_string(device.index) + "  " + directions + "  " + deviceLabel(device);
        if (device.defaultInput && device.inputChannels > 0) out += "  (default input)";
        if (device.defaultOutput && device.outputChannels > 0) out += "  (default output)";
        out += '\n';
    }
    return out;
}

int gateLevel(const std::uint8_t* data, int length)
{
    if (!data || length <= 1) return AlwaysLoudLevel;
    std::array<int, 129> count{};
    int examined = 0;
    for (int offset = 1; offset < length; offset += 4) {
        const int high = static_cast<std::int8_t>(data[offset]);
        ++count[std::size_t(std::abs(high))];
        ++examined;
    }
    // Quiet under a limit when more than 200 bytes lie within it, that is when fewer than
    // (examined - 200) lie above it.
    const int loudNeeded = examined - 200;
    if (loudNeeded <= 0) return AlwaysLoudLevel;
    int seen = 0;
    for (int magnitude = 128; magnitude >= 0; --magnitude) {
        seen += count[std::size_t(magnitude)];
        if (seen >= loudNeeded) return magnitude;
    }
    return 0;
}

double meterFraction(int level)
{
    if (level <= 0) return 0.0;
    if (level >= 128) return 1.0;
    return std::log2(1.0 + level) / std::log2(129.0);
}

bool looksLikeHeadset(std::string_view deviceLabel)
{
    const std::string label = lowered(deviceLabel);
    for (const char* word : {"headset", "headphone", "earphone", "earbud", "耳机"})
        if (label.find(word) != std::string::npos) return true;
    return false;
}

bool echoCancellationFor(std::optional<bool> chosen, std::string_view outputLabel)
{
    return chosen.value_or(!looksLikeHeadset(outputLabel));
}

int clampVolume(long long percent)
{
    return int(std::clamp<long long>(percent, 0, MaxVolumePercent));
}

void applyVolume(std::int16_t* samples, int count, int percent, bool doubled)
{
    const int factor = clampVolume(percent) * (doubled ? 2 : 1);
    if (factor == 100) return;
    for (int i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(std::clamp(int(samples[i]) * factor / 100, -32768, 32767));
}

void fillTestTone(std::int16_t* out, int count, int start, int total, int hz, int peak)
{
    constexpr int FadeSamples = 80;
    for (int i = 0; i < count; ++i) {
        const int n = start + i;
        if (n < 0 || n >= total) {
            out[i] = 0;
            continue;
        }
        const int edge = std::min(n, total - 1 - n);
        const double fade = edge >= FadeSamples ? 1.0 : double(edge) / FadeSamples;
        out[i] = static_cast<std::int16_t>(std::lround(peak * fade * std::sin(2 * M_PI * hz * n / 8000.0)));
    }
}

}  // namespace lumo
