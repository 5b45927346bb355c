// The audio back ends the program can run on, chosen by its --audio option:
//   portaudio               the sound card (default)
//   null                    no devices at all: capture and players fail to start
//   wav:MIC.wav:SPEAKER_DIR capture from a WAV file in real time, write what each member's
//                           player plays to SPEAKER_DIR/peer-<member id>.wav
// A player tells the system its member id when it opens its output (VoicePlayer's
// constructor takes it), which is how the WAV back end names its files.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "voice/audio_device.h"

namespace lumo {

inline constexpr std::string_view DefaultAudioOption = "portaudio";

// Builds the back end an --audio option names. On failure returns null and, when error is
// given, a one-line reason.
std::unique_ptr<AudioSystem> makeAudioSystem(std::string_view option, std::string* error);

// The --audio lines of the program's --help text.
std::string audioOptionHelp();

}  // namespace lumo
