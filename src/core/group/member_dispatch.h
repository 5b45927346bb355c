// What a member does with a message that arrives on either of its sockets, as pure logic: the
// message and the group state go in, the state change and the datagram to send come out.
#pragma once

#include "core/group/message_route.h"
#include "core/wire/wire.h"

#include <optional>
#include <string>

namespace lumo {

// The parts of the main window's state that the member side reads and writes.
struct MemberState {
    Roster groupRoster;
    MemberEntry ownEntry;
};

struct MemberDispatch {
    enum class Action {
        Dropped,         // names a member outside the roster, or is not a member's message (why says which)
        Ignored,         // well-formed but needs nothing (VoiceStopNotice, PathOpener, VoiceDirect)
        AckArrived,      // the group host acknowledged a request
        RosterReplaced,  // groupRoster (and ownEntry when the roster names it) replaced
        ProbeRelayed,    // a host's PathProbe, passed on to the other member (send is set)
        ProbeAnswered,   // a member's PathProbe, answered with PathConfirm (send is set)
        PathConfirmed,   // the other member heard our probe
        ChatArrived,     // chatSender / chatText are set
        VoiceArrived,    // voiceSender / voiceRecord are set
    };

    Action action = Action::Dropped;
    DropReason why = DropReason::None;  // Dropped: the reason
    std::optional<Outgoing> send;  // always sent from memberSocket
    int chatSender = -1;
    std::string chatText;  // GBK bytes as received
    int voiceSender = -1;
    VoiceRecord voiceRecord;
    // ProbeAnswered, PathConfirmed: the member the probe or confirmation came from (-1 when the
    // roster holds no such member; a confirmation still counts, as designed).
    int pathPeer = -1;
};

// Handles one message. Every id read from the header is checked against the valid records of
// groupRoster before it is used; a message that fails any check is Dropped and changes nothing.
MemberDispatch dispatchMemberMessage(MemberState& state, const WireMessage& message);

}  // namespace lumo
