// The parts of the program the main window drives, made in the order each goes before what it
// drives: the group endpoint (the network), the overlay bridge (its link listens before any
// plug-in can be switched on), the voice I/O (the devices) and the sound controller, which gives
// the voice I/O the remembered sound choices (devices named on the command line hold for this
// run); and the directory's HTTP client, sending from the bind address so that the directory
// sees this client where its group is hosted. What the caller does not give is made here: no
// sound card, the default settings file, a libcurl client.
#pragma once

#include <memory>

namespace lumo {

class AudioSystem;
class GroupEndpoint;
class HttpClient;
class MemberKeys;
class OverlayBridge;
class RememberedSettings;
class SoundController;
class VoiceIo;
struct MainDialogOptions;

class GroupParts {
public:
    explicit GroupParts(const MainDialogOptions& options);
    ~GroupParts();

    GroupEndpoint& endpoint() const { return *endpoint_; }
    OverlayBridge& overlay() const { return *overlay_; }
    VoiceIo& voice() const { return *voice_; }
    SoundController& sound() const { return *sound_; }
    HttpClient& directoryHttp() const { return *directoryHttp_; }
    MemberKeys& keys() const { return *keys_; }

private:
    std::unique_ptr<AudioSystem> ownAudio_;
    std::unique_ptr<RememberedSettings> ownRemembered_;
    std::unique_ptr<HttpClient> ownDirectoryHttp_;
    HttpClient* directoryHttp_ = nullptr;
    std::unique_ptr<GroupEndpoint> endpoint_;
    std::unique_ptr<MemberKeys> keys_;
    std::unique_ptr<OverlayBridge> overlay_;
    std::unique_ptr<VoiceIo> voice_;
    std::unique_ptr<SoundController> sound_;
};

}  // namespace lumo
