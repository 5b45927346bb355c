#include "net/host_table.h"

namespace lumo {

namespace {

bool sameMachine(const MemberEntry& a, const MemberEntry& b)
{
    return a.localPort == b.localPort && a.localAddress == b.localAddress && a.publicAddress == b.publicAddress;
}

Endpoint publicEndpoint(const MemberEntry& entry) { return {entry.publicAddress, entry.publicPort}; }

}  // namespace

int HostTable::findMember(const MemberEntry& entry) const
{
    for (int i = 0; i < roster_.count; ++i) {
        const MemberEntry& record = roster_.records[i];
        if (record.localAddress == entry.localAddress && record.publicAddress == entry.publicAddress) return i;
    }
    return -1;
}

void HostTable::sendRosterTo(HostReply& reply, int index) const
{
    if (!roster_.holds(index)) return;
    reply.sends.push_back({publicEndpoint(roster_.records[index]), makeRosterUpdate(idByte(index), roster_)});
}

void HostTable::broadcast(HostReply& reply) const
{
    for (int i = 0; i < roster_.count; ++i) sendRosterTo(reply, i);
}

HostReply HostTable::handle(ByteView datagram, Endpoint source)
{
    HostReply reply;
    const auto header = readHeader(datagram);
    if (!header || header->kind != static_cast<std::uint8_t>(Kind::ToHost)) return reply;
    const auto message = identify(*header);
    if (!message || !lengthFits(*message, datagram)) return reply;

    // The sender's record, with the address and port the host actually saw it come from.
    MemberEntry entry = decodeMemberEntry(datagram.data() + HeaderSize);
    entry.publicAddress = source.address;
    entry.publicPort = source.port;

    reply.sends.push_back({source, makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost)});

    switch (*message) {
    case Message::JoinRequest: {
        const int known = findMember(entry);
        if (entry.id < UnassignedId && known >= 0) {
            // A member connecting again keeps its record: the one its addresses are found in.
            // The id it names may be stale (the table was reordered while a roster to it was
            // lost) and may even be another member's now, so it only says this is a rejoin.
            // The roster tells the member its real index.
            entry.id = static_cast<std::uint16_t>(known);
            roster_.records[known] = entry;
        } else {
            if (roster_.count >= MaxGroupMembers) return reply;  // full: acknowledged, not entered
            entry.id = static_cast<std::uint16_t>(roster_.count);
            roster_.records[roster_.count] = entry;
            ++roster_.count;
        }
        broadcast(reply);
        break;
    }
    case Message::RosterRequest:
        sendRosterTo(reply, entry.id);
        break;
    case Message::LeaveNotice: {
        for (int i = 0; i < roster_.count; ++i) {
            if (!sameMachine(roster_.records[i], entry)) continue;
            --roster_.count;
            roster_.records[i] = roster_.records[roster_.count];
            roster_.records[i].id = static_cast<std::uint16_t>(i);
            roster_.records[roster_.count] = MemberEntry{};
            reply.leftNames.push_back(entry.nameBytes());
        }
        broadcast(reply);
        break;
    }
    case Message::PathRequest: {
        if (findMember(entry) < 0) {
            sendRosterTo(reply, entry.id);
            break;
        }
        const int target = header->secondId;
        if (!roster_.holds(target)) break;
        reply.sends.push_back({source, makeHeaderOnly(cmd::PathProbe, header->firstId, header->secondId, Kind::FromHost)});
        reply.sends.push_back({publicEndpoint(roster_.records[target]),
                               makeHeaderOnly(cmd::PathProbe, header->secondId, header->firstId, Kind::FromHost)});
        break;
    }
    default:
        break;
    }
    return reply;
}

HostReply HostTable::sweepDuplicates()
{
    HostReply reply;
    for (int k = 0; k < roster_.count; ++k) {
        for (int m = k + 1; m < roster_.count; ++m) {
            if (!sameMachine(roster_.records[m], roster_.records[k])) continue;
            --roster_.count;
            roster_.records[m] = roster_.records[roster_.count];
            roster_.records[m].id = static_cast<std::uint16_t>(m);
            roster_.records[roster_.count] = MemberEntry{};
            broadcast(reply);
        }
    }
    return reply;
}

}  // namespace lumo
