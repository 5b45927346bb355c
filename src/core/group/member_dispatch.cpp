#include "core/group/member_dispatch.h"

namespace lumo {

namespace {

using Action = MemberDispatch::Action;

MemberDispatch result(Action action)
{
    MemberDispatch out;
    out.action = action;
    return out;
}

MemberDispatch dropped(DropReason why)
{
    MemberDispatch out;
    out.why = why;
    return out;
}

}  // namespace

MemberDispatch dispatchMemberMessage(MemberState& state, const WireMessage& message)
{
    const DatagramHeader& header = message.header;
    const Roster& roster = state.groupRoster;
    switch (message.message) {
    case Message::JoinRequest:
    case Message::RosterRequest:
    case Message::LeaveNotice:
    case Message::PathRequest:
        return dropped(DropReason::UnknownMessage);  // the host table's

    case Message::Ack:
        return result(Action::AckArrived);

    case Message::RosterUpdate: {
        Roster incoming = readRosterUpdate(message);
        const int ownIndex = header.firstId;
        // An empty roster is legal (the group emptied); a non-empty one must name our own record.
        if (incoming.count > 0 && !incoming.holds(ownIndex)) return dropped(DropReason::UnknownMember);
        if (incoming.count > 0) state.ownEntry = incoming.records[ownIndex];
        state.groupRoster = incoming;
        return result(Action::RosterReplaced);
    }

    case Message::HostPathProbe: {
        // [23, self, other, 1] becomes [23, other, self, 2], sent straight to the other member.
        const int other = header.secondId;
        if (!roster.holds(other)) return dropped(DropReason::UnknownMember);
        MemberDispatch out = result(Action::ProbeRelayed);
        out.pathPeer = other;
        out.send = Outgoing{roster.records[other].publicEndpoint(),
                            makeHeaderOnly(cmd::PathProbe, header.secondId, header.firstId, Kind::PeerToPeer)};
        return out;
    }

    case Message::MemberPathProbe: {
        // [23, self, sender, 2] is answered with [21, sender, self, 2].
        const int sender = header.secondId;
        if (!roster.holds(sender)) return dropped(DropReason::UnknownMember);
        MemberDispatch out = result(Action::ProbeAnswered);
        out.pathPeer = sender;
        out.send = Outgoing{roster.records[sender].publicEndpoint(),
                            makeHeaderOnly(cmd::PathConfirm, header.secondId, header.firstId, Kind::PeerToPeer)};
        return out;
    }

    case Message::PathConfirm: {
        MemberDispatch out = result(Action::PathConfirmed);
        if (roster.holds(header.secondId)) out.pathPeer = header.secondId;
        return out;
    }

    case Message::ChatText: {
        const int sender = header.secondId;
        if (!roster.holds(sender)) return dropped(DropReason::UnknownMember);
        MemberDispatch out = result(Action::ChatArrived);
        out.chatSender = sender;
        out.chatText.assign(message.payload.begin(), message.payload.end());
        return out;
    }

    case Message::VoiceGroup: {
        const int sender = header.secondId;
        if (!roster.holds(sender)) return dropped(DropReason::UnknownMember);
        MemberDispatch out = result(Action::VoiceArrived);
        out.voiceSender = sender;
        out.voiceRecord = readVoiceRecord(message);
        return out;
    }

    case Message::VoiceStopNotice:
    case Message::PathOpener:
    case Message::VoiceDirect:
        return result(Action::Ignored);
    }
    return dropped(DropReason::UnknownMessage);
}

}  // namespace lumo
