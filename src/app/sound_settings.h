// The player's sound choices, remembered between runs in the settings file's group "sound"
// (RememberedSettings reads and writes them, after its checks of the file as a whole). Everything
// read back is checked: a value out of range or of the wrong kind is taken as unset, so a damaged
// file never breaks voice.
#pragma once

#include "core/voice/sound_choices.h"

#include <QString>

class QSettings;

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace lumo {

struct SoundSettings {
    DeviceChoice devices;                 // device labels; empty: the default device
    int quietLimit = DefaultQuietLimit;   // the silence gate's limit
    std::uint32_t pushToTalkKeysym = 0;   // X11 keysym; 0: no key (voice activation only)
    QString pushToTalkKeyName;            // as the dialog shows it
    std::map<std::string, int> volumes;   // output volume per member name (GBK), per cent
    // Cleaning the microphone. Echo cancellation unset: it follows the output device (off for a
    // headset), until the player chooses.
    bool noiseSuppression = true;
    bool gainControl = true;
    std::optional<bool> echoCancellation;
    bool voiceDetection = false;

    // From and to the group "sound" of an open settings file.
    static SoundSettings read(QSettings& settings);
    void write(QSettings& settings) const;
    // The remembered volume of a member, DefaultVolumePercent when none is.
    int volumeOf(const std::string& gbkName) const;
    void setVolume(const std::string& gbkName, int percent);
    // The steps the capture runs, the output device deciding echo cancellation when unchosen.
    VoiceProcessingChoice processing() const;

    // Bounds on what is read back.
    static constexpr int MaxDeviceLabel = 512;
    static constexpr int MaxVolumes = 512;
    static constexpr std::uint32_t MaxKeysym = 0x1fffffff;
};

}  // namespace lumo
