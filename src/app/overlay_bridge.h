// The link to the in-game overlay, in terms of the group: owns the overlay's pipe server, sends
// it the roster and the voice targets as the session changes them, and turns the overlay's
// requests (tick a member, answer a talker, talk) into the session's commands. While the pipe is
// open, questions about new talkers go to the overlay instead of the window. A plain QObject
// without widgets: a pipe that could not be created is reported by PipeServer::creationFailed.
#pragma once

#include "core/group/member_session.h"
#include "link/pipe_server.h"

#include <QObject>

namespace lumo {

class GroupEndpoint;

class OverlayBridge : public QObject, private OverlayLinkOwner {
    Q_OBJECT
public:
    // Opens the mailbox "LUMO" at once: the overlay's posts arrive from then on. The endpoint
    // must outlive the bridge.
    explicit OverlayBridge(GroupEndpoint& endpoint, QObject* parent = nullptr);

    PipeServer& pipeServer() { return pipeServer_; }
    // While a pipe exists chat text goes to the status line and questions to the overlay.
    bool pipeOpen() const { return pipeServer_.pipeOpen(); }
    // A new talker to ask about: true when the overlay asks (its column reads "不聊" meanwhile),
    // false when the window is to ask.
    bool askInOverlay(int memberId);
    // Tells the overlay to close and forgets its window: the next post looks "gamein" up again.
    void closeOverlay();

private:
    void onSessionEvent(const SessionEvent& event);

    // OverlayLinkOwner: the overlay's requests, in terms of members.
    const Roster& overlayRoster() const override;
    std::vector<int> overlayVoiceTargets() const override;
    void setMemberTicked(int memberId, bool ticked) override;
    bool answerFromOverlay(int memberId, VoiceAnswer answer) override;
    void setTalking(bool on) override;

    GroupEndpoint& endpoint_;
    PipeServer pipeServer_;
    bool selectionSent_ = false;
};

}  // namespace lumo
