// Start-up of the program: command line, the main window, and an orderly end however it comes
// (window closed, Escape, or a termination signal).
#pragma once

#include "core/wire/wire.h"

#include <QString>
#include <optional>

namespace lumo {

struct LaunchOptions {
    std::optional<Ipv4> bindAddress;
    QString memberName;     // with connectAddress: join at start as pressing Connect does
    QString connectAddress;
    QString audio;          // portaudio[:INPUT:OUTPUT] | null | wav:MIC.wav:SPEAKER_DIR
    bool verbose = false;   // the lumo.* logging categories at debug level, to stderr
    bool listAudioDevices = false;  // print the devices and exit
};

// Parses the command line (and LUMO_BIND_ADDRESS). Returns nullopt after printing help, the
// version or an error; `exitCode` then says how to end.
std::optional<LaunchOptions> parseCommandLine(const QStringList& arguments, int& exitCode);

int runLumo(int argc, char** argv);

}  // namespace lumo
