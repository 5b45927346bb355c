// Who is talking, for the member list: a member whose voice arrives shows as talking until its
// voice stops (TalkingIndicator decides, on the endpoint's clock), and the player's own row
// shows the microphone's level while the player talks. No widgets: the window binds
// talkingChanged and ownLevel to the member list. The timers run only while someone talks, so an
// idle window is not woken.
#pragma once

#include "core/group/member_session.h"
#include "core/voice/talking_indicator.h"

#include <QObject>

#include <cstdint>
#include <functional>

class QTimer;

namespace lumo {

class GroupEndpoint;
class VoiceIo;

class TalkingPresenter : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<std::int64_t()> nowMs;        // the clock the voice arrives on
        std::function<bool()> ownVoiceGoingOut;     // the microphone sends now
        std::function<int()> ownLevel;              // its gate level, 0..128
        std::function<int()> ownId;                 // the player's member id, or -1
    };
    static constexpr int LevelIntervalMs = 100;

    explicit TalkingPresenter(Hooks hooks, QObject* parent = nullptr);
    // One that hears `endpoint`'s voice and session events, on its clock, and the microphone
    // level of `voice`.
    static TalkingPresenter* forEndpoint(GroupEndpoint& endpoint, VoiceIo& voice, QObject* parent);

    // The session's events that end or start talking on either side.
    void sessionEvent(const SessionEvent& event);
    // A voice record of `memberId` is being played.
    void voiceArrived(int memberId);
    // The roster changed or the group was left: the ids mean others now; everyone is off.
    void resetAll();
    // Talking started or stopped on this side.
    void ownTalkingChanged();
    // Runs what is due now (the timers call it).
    void advance();

    bool talking(int memberId) const { return indicator_.talking(memberId); }

    // A gate level of 0..128 as 0..100, on the sound settings' meter scale.
    static int levelPercent(int level);

signals:
    void talkingChanged(int memberId, bool talking);
    // The player's own row: the microphone's level in per cent while talking, -1 when not.
    void ownLevel(int memberId, int percent);

private:
    void schedule();
    void showOwnLevel();

    Hooks hooks_;
    TalkingIndicator indicator_;
    QTimer* expiry_ = nullptr;
    QTimer* levelTimer_ = nullptr;
    int ownShownId_ = -1;
};

}  // namespace lumo
