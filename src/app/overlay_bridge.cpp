#include "app/overlay_bridge.h"

#include "net/group_endpoint.h"

namespace lumo {

OverlayBridge::OverlayBridge(GroupEndpoint& endpoint, QObject* parent)
    : QObject(parent), endpoint_(endpoint), pipeServer_(static_cast<OverlayLinkOwner&>(*this))
{
    connect(&endpoint_, &GroupEndpoint::sessionEvent, this, &OverlayBridge::onSessionEvent);
}

void OverlayBridge::onSessionEvent(const SessionEvent& event)
{
    switch (event.kind) {
    case SessionEvent::Kind::RosterChanged: pipeServer_.sendRoster(); break;
    case SessionEvent::Kind::SelectionChanged:
        selectionSent_ = true;
        pipeServer_.sendSelection();
        break;
    default: break;
    }
}

bool OverlayBridge::askInOverlay(int memberId)
{
    if (!pipeServer_.pipeOpen()) return false;
    // The overlay asks instead; its answer comes back through the link.
    endpoint_.questionSentToOverlay(memberId);
    pipeServer_.requestCall(memberId);
    return true;
}

const Roster& OverlayBridge::overlayRoster() const { return endpoint_.session().roster(); }

std::vector<int> OverlayBridge::overlayVoiceTargets() const
{
    const VoiceTargetList& targets = endpoint_.session().voiceTargets();
    return std::vector<int>(targets.ids.begin(), targets.ids.begin() + targets.count);
}

void OverlayBridge::setMemberTicked(int memberId, bool ticked)
{
    // The overlay hears back which members are targets, whether or not its request changed them.
    selectionSent_ = false;
    endpoint_.tick(memberId, ticked);
    if (!selectionSent_) pipeServer_.sendSelection();
}

bool OverlayBridge::answerFromOverlay(int memberId, VoiceAnswer answer) { return endpoint_.answerFromOverlay(memberId, answer); }

void OverlayBridge::setTalking(bool on) { endpoint_.setVoice(on); }

void OverlayBridge::closeOverlay()
{
    pipeServer_.forgetOverlayWindow();
    pipeServer_.closeOverlay();
}

}  // namespace lumo
