// What the host-table tests share: a member's own record as it joins from behind a translator,
// its requests to the host, and the host's bare Ack.
#pragma once

#include "core/group/host_table.h"

namespace lumo::test {

inline constexpr Ipv4 Router = 0xCB007101;  // one translator in front of several members

inline MemberEntry entryFor(const char* name, Ipv4 local)
{
    MemberEntry e;
    e.setName(name);
    e.id = UnassignedId;
    e.localPort = MemberPort;
    e.localAddress = local;
    return e;
}

inline Bytes request(std::uint8_t command, const MemberEntry& e, std::uint8_t second = 0)
{
    return makeEntryDatagram(command, idByte(e.id), second, Kind::ToHost, e);
}

inline const Bytes AckBytes{21, 0, 0, 1};

}  // namespace lumo::test
