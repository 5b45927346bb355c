#include "voice/audio_backends.h"

#include "voice/audio_backends_internal.h"

namespace lumo {

namespace {

void setError(std::string* error, std::string text)
{
    if (error)
        *error = std::move(text);
}

}  // namespace

std::unique_ptr<AudioSystem> makeAudioSystem(std::string_view option, std::string* error)
{
    if (option == "portaudio")
        return makePortAudioSystem(error);
    constexpr std::string_view portAudioPrefix = "portaudio:";
    if (option.starts_with(portAudioPrefix)) {
        auto system = makePortAudioSystem(error);
        if (!system) return nullptr;
        const std::string_view devicesText = option.substr(portAudioPrefix.size());
        std::string reason;
        const auto choice = resolveDeviceChoice(system->devices(), devicesText, &reason);
        if (!choice) {
            setError(error, reason + " (lumo --list-audio-devices lists them)");
            return nullptr;
        }
        if (!system->chooseDevices(*choice, &reason)) {
            setError(error, reason);
            return nullptr;
        }
        return system;
    }
    if (option == "null")
        return std::make_unique<NullAudioSystem>();
    constexpr std::string_view wavPrefix = "wav:";
    if (option.starts_with(wavPrefix)) {
        const std::string_view rest = option.substr(wavPrefix.size());
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos || colon == 0 || colon + 1 == rest.size()) {
            setError(error, "--audio wav: expects wav:MIC.wav:SPEAKER_DIR");
            return nullptr;
        }
        return makeWavAudioSystem(std::string(rest.substr(0, colon)),
                                  std::string(rest.substr(colon + 1)), error);
    }
    setError(error, "unknown --audio choice '" + std::string(option) +
                        "' (portaudio, null or wav:MIC.wav:SPEAKER_DIR)");
    return nullptr;
}

std::string audioOptionHelp()
{
    return "  --audio portaudio[:INPUT:OUTPUT]|null|wav:MIC.wav:SPEAKER_DIR\n"
           "        portaudio: the sound card (default); INPUT and OUTPUT pick devices by\n"
           "          number or name (lumo --list-audio-devices lists them; empty: default)\n"
           "        null: no sound devices; voice is neither captured nor played\n"
           "        wav:MIC.wav:SPEAKER_DIR: capture from MIC.wav (8 kHz, 16-bit) in real time,\n"
           "          then silence; write what is played for member N to\n"
           "          SPEAKER_DIR/peer-N.wav (8 kHz, 16-bit, mono)\n";
}

}  // namespace lumo
