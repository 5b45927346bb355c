#include "app/overlay_bridge.h"

#include "core/link/member_state_of.h"
#include "net/group_endpoint.h"

#include <QTimer>

namespace lumo {

OverlayBridge::OverlayBridge(GroupEndpoint& endpoint, QObject* parent)
    : QObject(parent), endpoint_(endpoint), pipeServer_(static_cast<OverlayLinkOwner&>(*this))
{
    talking_.fill(-1);
    connect(&endpoint_, &GroupEndpoint::sessionEvent, this, &OverlayBridge::onSessionEvent);
    connect(&endpoint_, &GroupEndpoint::trustChanged, this, &OverlayBridge::statesChanged);
}

void OverlayBridge::onSessionEvent(const SessionEvent& event)
{
    switch (event.kind) {
    case SessionEvent::Kind::RosterChanged:
        talking_.fill(-1);  // the ids name others now
        pipeServer_.sendRoster();
        break;
    case SessionEvent::Kind::SelectionChanged:
        selectionSent_ = true;
        pipeServer_.sendSelection();
        break;
    case SessionEvent::Kind::MemberChanged: statesChanged(); break;
    default: break;
    }
}

void OverlayBridge::showTalking(int memberId, int levelPercent)
{
    if (memberId < 0 || memberId >= RosterCapacity || talking_[std::size_t(memberId)] == levelPercent) return;
    talking_[std::size_t(memberId)] = levelPercent;
    statesChanged();
}

void OverlayBridge::statesChanged()
{
    if (statesDue_ || !pipeServer_.memberStatesWanted()) return;
    statesDue_ = true;
    QTimer::singleShot(0, this, [this] {
        statesDue_ = false;
        pipeServer_.sendMemberStates();
    });
}

std::vector<link::MemberState> OverlayBridge::overlayMemberStates() const
{
    const MemberSession& session = endpoint_.session();
    std::vector<link::MemberState> states;
    for (int id = 0; id < session.roster().count && id < RosterCapacity; ++id)
        states.push_back(link::memberStateOf(id, session.status(id), endpoint_.keyState(id), talking_[std::size_t(id)]));
    return states;
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
