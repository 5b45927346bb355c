#include "app/group_parts.h"

#include "app/main_dialog.h"
#include "app/member_keys.h"
#include "app/overlay_bridge.h"
#include "app/remembered_settings.h"
#include "app/sound_controller.h"
#include "app/voice_io.h"

#include "directory/curl_http_client.h"
#include "net/group_endpoint.h"
#include "voice/audio_device.h"

#include <QFileInfo>

namespace lumo {

GroupParts::GroupParts(const MainDialogOptions& options)
{
    AudioSystem* audio = options.audio;
    if (!audio) {
        ownAudio_ = std::make_unique<NullAudioSystem>();
        audio = ownAudio_.get();
    }
    RememberedSettings* remembered = options.remembered;
    if (!remembered) {
        ownRemembered_ = std::make_unique<RememberedSettings>();
        remembered = ownRemembered_.get();
    }
    directoryHttp_ = options.directoryHttp;
    if (!directoryHttp_) {
        ownDirectoryHttp_ = std::make_unique<CurlHttpClient>(
            options.bindAddress ? dottedAddress(*options.bindAddress) : std::string());
        directoryHttp_ = ownDirectoryHttp_.get();
    }
    endpoint_ = std::make_unique<GroupEndpoint>(options.bindAddress);
    // The identity and the remembered keys live beside the settings.
    keys_ = std::make_unique<MemberKeys>(*endpoint_, QFileInfo(remembered->fileName()).absolutePath());
    overlay_ = std::make_unique<OverlayBridge>(*endpoint_);
    voice_ = std::make_unique<VoiceIo>(*endpoint_, *audio);
    sound_ = std::make_unique<SoundController>(*audio, *endpoint_, *voice_, *remembered, options.devicesFromCommandLine);
}

GroupParts::~GroupParts() = default;

}  // namespace lumo
