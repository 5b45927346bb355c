#include "app/voice_switch_keys.h"

#include "app/sound_controller.h"
#include "app/voice_switches.h"
#include "keys/global_key.h"

#include <QAction>

#include <cstdio>

namespace lumo {

VoiceSwitchKeys::VoiceSwitchKeys(SoundController& sound, VoiceSwitches& switches, QObject* parent)
    : QObject(parent), sound_(sound), switches_(switches)
{
    connect(&sound_, &SoundController::switchKeysChanged, this, &VoiceSwitchKeys::watch);
    watch();
}

VoiceSwitchKeys::~VoiceSwitchKeys() = default;

void VoiceSwitchKeys::watch()
{
    const SoundSettings& settings = sound_.settings();
    // Only a key that changed is watched anew: the other keeps its watcher (and its portal binding).
    if (!(settings.muteKey == watchedMute_)) {
        watchedMute_ = settings.muteKey;
        mute_ = watchKey(watchedMute_, QStringLiteral("mute"), tr("闭麦/开麦（LUMO 群聊语音）"));
        if (mute_) connect(mute_.get(), &GlobalKey::pressed, switches_.muteAction(), &QAction::toggle);
    }
    if (!(settings.deafenKey == watchedDeafen_)) {
        watchedDeafen_ = settings.deafenKey;
        deafen_ = watchKey(watchedDeafen_, QStringLiteral("deafen"), tr("闭听/开听（LUMO 群聊语音）"));
        if (deafen_) connect(deafen_.get(), &GlobalKey::pressed, switches_.deafenAction(), &QAction::toggle);
    }
    showState();
}

std::unique_ptr<GlobalKey> VoiceSwitchKeys::watchKey(const SwitchKey& key, const QString& id, const QString& description)
{
    if (!key.keysym) return nullptr;
    GlobalKeyRequest request;
    request.id = id;
    request.description = description;
    request.keysym = key.keysym;
    request.keyName = key.name;
    auto watcher = std::make_unique<GlobalKey>(request);
    connect(watcher.get(), &GlobalKey::changed, this, &VoiceSwitchKeys::showState);
    return watcher;
}

const GlobalKey* VoiceSwitchKeys::key(KeyRole role) const
{
    return role == KeyRole::Mute ? mute_.get() : role == KeyRole::Deafen ? deafen_.get() : nullptr;
}

QString VoiceSwitchKeys::stateText() const
{
    // Both keys are heard the same way: the first one's word serves for both.
    for (const GlobalKey* watcher : {mute_.get(), deafen_.get()})
        if (watcher && !watcher->stateText().isEmpty()) return watcher->stateText();
    return {};
}

QString VoiceSwitchKeys::problemNote() const
{
    for (const GlobalKey* watcher : {mute_.get(), deafen_.get()}) {
        if (!watcher || watcher->problem().isEmpty()) continue;
        return watcher->way() == KeyWay::None ? tr("闭麦、闭听的按键无法使用，详见“声音设置”。")
                                              : tr("闭麦、闭听的按键仅在 X11 程序有焦点时有效。");
    }
    return {};
}

void VoiceSwitchKeys::showState()
{
    emit stateChanged(stateText());
    // A key that silently does nothing is worse than none: the player hears once why.
    const QString note = problemNote();
    if (note == toldProblem_) return;
    toldProblem_ = note;
    if (note.isEmpty()) return;
    emit problem(note);
    std::fprintf(stderr, "lumo: %s\n", qPrintable(stateText()));
}

}  // namespace lumo
