#include "core/group/member_dispatch.h"

namespace lumo {

namespace {

using Action = MemberDispatch::Action;

MemberDispatch result(Action action) { return MemberDispatch{action, std::nullopt, -1, {}, -1, {}, -1}; }

Endpoint publicEndpoint(const MemberEntry& entry) { return {entry.publicAddress, entry.publicPort}; }

}  // namespace

MemberDispatch dispatchMemberDatagram(MemberState& state, ByteView datagram, Endpoint /*source*/)
{
    const auto header = readHeader(datagram);
    if (!header) return result(Action::Dropped);
    const auto message = identify(*header);
    if (!message || !lengthFits(*message, datagram)) return result(Action::Dropped);

    const Roster& roster = state.groupRoster;
    switch (*message) {
    case Message::JoinRequest:
    case Message::RosterRequest:
    case Message::LeaveNotice:
    case Message::PathRequest:
        return result(Action::ForHost);

    case Message::Ack:
        return result(Action::AckArrived);

    case Message::RosterUpdate: {
        Roster incoming = readRosterUpdate(datagram);
        const int ownIndex = header->firstId;
        // An empty roster is legal (the group emptied); a non-empty one must name our own record.
        if (incoming.count > 0 && !incoming.holds(ownIndex)) return result(Action::Dropped);
        if (incoming.count > 0) state.ownEntry = incoming.records[ownIndex];
        state.groupRoster = incoming;
        return result(Action::RosterReplaced);
    }

    case Message::HostPathProbe: {
        // [23, self, other, 1] becomes [23, other, self, 2], sent straight to the other member.
        const int other = header->secondId;
        if (!roster.holds(other)) return result(Action::Dropped);
        MemberDispatch out = result(Action::ProbeRelayed);
        out.send = Outgoing{publicEndpoint(roster.records[other]),
                            makeHeaderOnly(cmd::PathProbe, header->secondId, header->firstId, Kind::PeerToPeer)};
        return out;
    }

    case Message::MemberPathProbe: {
        // [23, self, sender, 2] is answered with [21, sender, self, 2].
        const int sender = header->secondId;
        if (!roster.holds(sender)) return result(Action::Dropped);
        MemberDispatch out = result(Action::ProbeAnswered);
        out.pathPeer = sender;
        out.send = Outgoing{publicEndpoint(roster.records[sender]),
                            makeHeaderOnly(cmd::PathConfirm, header->secondId, header->firstId, Kind::PeerToPeer)};
        return out;
    }

    case Message::PathConfirm: {
        MemberDispatch out = result(Action::PathConfirmed);
        if (roster.holds(header->secondId)) out.pathPeer = header->secondId;
        return out;
    }

    case Message::ChatText: {
        const int sender = header->secondId;
        if (!roster.holds(sender)) return result(Action::Dropped);
        MemberDispatch out = result(Action::ChatArrived);
        out.chatSender = sender;
        out.chatText.assign(datagram.begin() + HeaderSize, datagram.end());
        return out;
    }

    case Message::VoiceGroup: {
        const int sender = header->secondId;
        if (!roster.holds(sender)) return result(Action::Dropped);
        MemberDispatch out = result(Action::VoiceArrived);
        out.voiceSender = sender;
        out.voiceRecord = decodeVoiceRecord(datagram.data() + HeaderSize);
        return out;
    }

    case Message::VoiceStopNotice:
    case Message::PathOpener:
    case Message::VoiceDirect:
        return result(Action::Ignored);
    }
    return result(Action::Dropped);
}

}  // namespace lumo
