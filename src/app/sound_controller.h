// The one owner of the player's sound settings: the devices, the silence gate's limit, the
// push-to-talk key, the microphone's cleaning steps and each member's volume by name. It reads them at start and writes every
// change through the program's settings file (RememberedSettings), and carries them out on the
// audio system and the voice I/O. The sound dialog and the main window change sound only here.
// A plain QObject without widgets.
#pragma once

#include "app/sound_settings.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <string>

namespace lumo {

class AudioSystem;
class GroupEndpoint;
class GlobalKey;
class RememberedSettings;
class VoiceIo;
struct SessionEvent;

// The steps that clean the microphone before the gate, each switched on its own.
enum class CleaningStep { NoiseSuppression, GainControl, EchoCancellation, VoiceDetection };

class SoundController : public QObject {
    Q_OBJECT
public:
    // `devicesFromCommandLine`: the audio system's devices were named on the command line; they
    // hold for this run, over the remembered ones, and are not remembered. Everything passed
    // must outlive the controller.
    SoundController(AudioSystem& audio, GroupEndpoint& endpoint, VoiceIo& voice, RememberedSettings& remembered,
                    bool devicesFromCommandLine, QObject* parent = nullptr);
    ~SoundController() override;

    const SoundSettings& settings() const { return settings_; }
    AudioSystem& audio() const { return audio_; }

    // Picks the devices; false (with the reason) when one is not there. The choice is remembered
    // all the same: it is used once the device is back.
    bool chooseDevices(const DeviceChoice& devices, std::string* reason);
    void setQuietLimit(int limit);
    // A cleaning step switched by the player (echo cancellation then no longer follows the
    // output device).
    void setCleaning(CleaningStep step, bool on);
    // The key as a captured press gives it (keysym 0: no key, voice activation only).
    void setPushToTalkKey(std::uint32_t keysym, const QString& name);
    // A member's volume now and, by name, in later groups and runs.
    void setMemberVolume(int memberId, int percent);
    int memberVolume(int memberId) const;
    // Whether the push-to-talk key is heard (through raw key events or the desktop's portal).
    bool pushToTalkWatched() const;
    // How the push-to-talk key is heard; null without a key.
    const GlobalKey* pushToTalkKey() const { return pushToTalk_.get(); }
    // What the desktop bound, that it is being asked, or what does not work and what to do;
    // empty without a key or with nothing to add to its name.
    QString pushToTalkState() const;
    // The status line's word on a push-to-talk key that cannot be heard (or only partly);
    // empty while it works.
    QString pushToTalkProblemNote() const;
    // The gate level of the running capture; nullopt while the program does not capture.
    std::optional<int> captureLevel() const;

signals:
    void pushToTalkStateChanged(const QString& state);
    // A new push-to-talk problem, once each: the status line says it.
    void pushToTalkProblem(const QString& note);

private:
    void showPushToTalkState();
    void onSessionEvent(const SessionEvent& event);
    void watchPushToTalk();
    void remember();

    AudioSystem& audio_;
    GroupEndpoint& endpoint_;
    VoiceIo& voice_;
    RememberedSettings& remembered_;
    SoundSettings settings_;
    // Devices named on the command line hold for the run only: the remembered ones are saved.
    std::optional<DeviceChoice> commandLineDevices_;
    DeviceChoice rememberedDevices_;
    std::unique_ptr<GlobalKey> pushToTalk_;
    QString toldKeyProblem_;  // the push-to-talk problem the player was last told about
};

}  // namespace lumo
