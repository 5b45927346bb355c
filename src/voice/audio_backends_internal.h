// The back ends behind makeAudioSystem, for the factory and for tests.
#pragma once

#include <memory>
#include <string>

#include "voice/audio_device.h"

namespace lumo {

// PortAudio's default input and output devices. Null (with a reason) when PortAudio cannot
// start. Its start-up probing of ALSA and JACK, which prints dozens of lines to stderr on a
// machine without those, is kept off the terminal.
std::unique_ptr<AudioSystem> makePortAudioSystem(std::string* error);

// Captures from micPath (8000 Hz, 16-bit; several channels are mixed down) one 60 ms block
// every 60 ms while recording, then silence once the file is used up; the file is read once
// for the whole run, so a later capture continues where the last one stopped. Each output
// device appends what a sound card would play, on the real-time clock and silence included, to
// speakerDir/peer-<member id>.wav (8 kHz 16-bit mono; the file holds every player of that
// member during the run, one after another, from each one's opening to its closing). The
// directory is created when missing. Null (with a reason) when the file cannot be used.
std::unique_ptr<AudioSystem> makeWavAudioSystem(const std::string& micPath,
                                                const std::string& speakerDir, std::string* error);

}  // namespace lumo
