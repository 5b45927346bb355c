// The two remembered global keys that flip mute and deafen: each press works exactly as a click
// on the window's button (VoiceSwitches), whatever program has the focus. The keys are heard the
// way the push-to-talk key is (GlobalKey: X11 raw key events, or the desktop's portal); the
// sound settings (SoundController) keep them. A plain QObject without widgets.
#pragma once

#include "app/sound_settings.h"

#include <QObject>
#include <QString>

#include <memory>

namespace lumo {

class GlobalKey;
class SoundController;
class VoiceSwitches;

class VoiceSwitchKeys : public QObject {
    Q_OBJECT
public:
    // Both must outlive this object. Watches the remembered keys at once and again whenever the
    // player picks others.
    VoiceSwitchKeys(SoundController& sound, VoiceSwitches& switches, QObject* parent = nullptr);
    ~VoiceSwitchKeys() override;

    // How the key of `role` (Mute or Deafen) is heard; null without a key.
    const GlobalKey* key(KeyRole role) const;
    // What does not work and what to do, for a settings window; empty when both keys are heard
    // (or there are none).
    QString stateText() const;
    // The status line's word on keys that cannot be heard (or only partly); empty while they work.
    QString problemNote() const;

signals:
    void stateChanged(const QString& state);
    // A new problem, once each: the status line says it.
    void problem(const QString& note);

private:
    void watch();
    std::unique_ptr<GlobalKey> watchKey(const SwitchKey& key, const QString& id, const QString& description);
    void showState();

    SoundController& sound_;
    VoiceSwitches& switches_;
    SwitchKey watchedMute_, watchedDeafen_;
    std::unique_ptr<GlobalKey> mute_, deafen_;
    QString toldProblem_;
};

}  // namespace lumo
