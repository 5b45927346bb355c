// Mute and deafen: two switches the player flips from the main window's buttons or the "&File"
// menu. Mute stops sending what the microphone gives (talking, push-to-talk and the gate keep
// their state, so unmuting sends again at once); deafen stops playing what members say. Both
// start off in each run. A plain QObject: the window places the buttons and the menu entries.
#pragma once

#include <QObject>

class QAction;

namespace lumo {

class VoiceIo;

class VoiceSwitches : public QObject {
    Q_OBJECT
public:
    // The actions belong to `parent` (the window, so that their shortcuts work in it).
    VoiceSwitches(VoiceIo& voice, QObject* parent);

    QAction* muteAction() const { return mute_; }
    QAction* deafenAction() const { return deafen_; }

signals:
    // For the status line: what the switch now does.
    void statusText(const QString& text);

private:
    QAction* mute_;
    QAction* deafen_;
};

}  // namespace lumo
