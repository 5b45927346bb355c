#include "app/sound_controller.h"

#include "app/remembered_settings.h"
#include "app/voice_io.h"
#include "core/group/member_session.h"
#include "keys/global_key.h"
#include "net/group_endpoint.h"
#include "voice/audio_device.h"

#include <algorithm>
#include <cstdio>

namespace lumo {

SoundController::SoundController(AudioSystem& audio, GroupEndpoint& endpoint, VoiceIo& voice,
                                 RememberedSettings& remembered, bool devicesFromCommandLine, QObject* parent)
    : QObject(parent), audio_(audio), endpoint_(endpoint), voice_(voice), remembered_(remembered),
      settings_(remembered.sound())
{
    rememberedDevices_ = settings_.devices;
    if (devicesFromCommandLine) {
        commandLineDevices_ = audio_.chosenDevices();
        settings_.devices = *commandLineDevices_;
    } else if (!audio_.chooseDevices(settings_.devices, nullptr)) {
        // A remembered device that is not plugged in: the defaults serve until it is chosen again.
        audio_.chooseDevices({}, nullptr);
    }
    voice_.setQuietLimit(settings_.quietLimit);
    audio_.setVoiceProcessing(settings_.processing());
    watchPushToTalk();
    connect(&endpoint_, &GroupEndpoint::sessionEvent, this, &SoundController::onSessionEvent);
}

SoundController::~SoundController() = default;

void SoundController::onSessionEvent(const SessionEvent& event)
{
    if (event.kind != SessionEvent::Kind::RosterChanged) return;
    // Volumes are remembered by name: the new roster's ids get theirs.
    const Roster& roster = endpoint_.session().roster();
    for (int id = 0; id < roster.count && id < RosterCapacity; ++id)
        voice_.setMemberVolume(id, settings_.volumeOf(roster.records[std::size_t(id)].nameBytes()));
}

bool SoundController::chooseDevices(const DeviceChoice& devices, std::string* reason)
{
    const bool chosen = audio_.chooseDevices(devices, reason);
    settings_.devices = devices;
    // Devices picked in the dialog are the player's choice from now on.
    if (!commandLineDevices_ || devices != *commandLineDevices_) {
        commandLineDevices_.reset();
        rememberedDevices_ = devices;
    }
    audio_.setVoiceProcessing(settings_.processing());  // echo cancellation may follow the output
    remember();
    return chosen;
}

void SoundController::setQuietLimit(int limit)
{
    settings_.quietLimit = std::clamp(limit, 0, MaxQuietLimit);
    voice_.setQuietLimit(settings_.quietLimit);
    remember();
}

void SoundController::setCleaning(CleaningStep step, bool on)
{
    switch (step) {
    case CleaningStep::NoiseSuppression: settings_.noiseSuppression = on; break;
    case CleaningStep::GainControl: settings_.gainControl = on; break;
    case CleaningStep::EchoCancellation: settings_.echoCancellation = on; break;
    case CleaningStep::VoiceDetection: settings_.voiceDetection = on; break;
    }
    audio_.setVoiceProcessing(settings_.processing());
    remember();
}

void SoundController::setPushToTalkKey(std::uint32_t keysym, const QString& name)
{
    const std::uint32_t key = keysym <= SoundSettings::MaxKeysym ? keysym : 0;
    const bool changed = key != settings_.pushToTalkKeysym;
    settings_.pushToTalkKeysym = key;
    settings_.pushToTalkKeyName = key ? name.left(64) : QString();
    if (changed) watchPushToTalk();
    remember();
}

void SoundController::setMemberVolume(int memberId, int percent)
{
    voice_.setMemberVolume(memberId, percent);
    // Remembered by name: ids change from one group to the next.
    const std::string name = endpoint_.session().memberName(memberId);
    if (name.empty()) return;
    settings_.setVolume(name, percent);
    remember();
}

int SoundController::memberVolume(int memberId) const { return voice_.memberVolume(memberId); }

std::optional<int> SoundController::captureLevel() const
{
    if (!voice_.capturing()) return std::nullopt;
    return voice_.inputLevel();
}

void SoundController::watchPushToTalk()
{
    if (pushToTalk_) voice_.pushToTalk(false);
    pushToTalk_.reset();
    toldKeyProblem_.clear();
    if (settings_.pushToTalkKeysym) {
        GlobalKeyRequest request;
        request.id = QStringLiteral("push-to-talk");
        request.description = tr("按住说话（LUMO 群聊语音）");
        request.keysym = settings_.pushToTalkKeysym;
        request.keyName = settings_.pushToTalkKeyName;
        pushToTalk_ = std::make_unique<GlobalKey>(request);
        connect(pushToTalk_.get(), &GlobalKey::pressed, this, [this] { voice_.pushToTalk(true); });
        connect(pushToTalk_.get(), &GlobalKey::released, this, [this] { voice_.pushToTalk(false); });
        connect(pushToTalk_.get(), &GlobalKey::changed, this, &SoundController::showPushToTalkState);
    }
    showPushToTalkState();
}

bool SoundController::pushToTalkWatched() const { return pushToTalk_ && pushToTalk_->way() != KeyWay::None; }

QString SoundController::pushToTalkState() const { return pushToTalk_ ? pushToTalk_->stateText() : QString(); }

QString SoundController::pushToTalkProblemNote() const
{
    if (!pushToTalk_ || pushToTalk_->problem().isEmpty()) return {};
    return pushToTalk_->way() == KeyWay::None ? tr("按键说话无法使用，详见“声音设置”。")
                                              : tr("按键说话仅在 X11 程序有焦点时有效。");
}

void SoundController::showPushToTalkState()
{
    emit pushToTalkStateChanged(pushToTalkState());
    // A key that silently does nothing is worse than none: the player hears once why, on the
    // status line (the whole text in the sound dialog and on stderr).
    const QString problem = pushToTalk_ ? pushToTalk_->problem() : QString();
    if (problem == toldKeyProblem_) return;
    toldKeyProblem_ = problem;  // a key that works again is told about when it fails again
    if (problem.isEmpty()) return;
    emit pushToTalkProblem(pushToTalkProblemNote());
    std::fprintf(stderr, "lumo: %s\n", qPrintable(tr("按键说话：%1").arg(problem)));
}

void SoundController::remember()
{
    SoundSettings kept = settings_;
    kept.devices = rememberedDevices_;
    remembered_.rememberSound(kept);
}

}  // namespace lumo
