// The group host's member table and its handling of requests, as pure logic: a kind-3 datagram
// and the address it came from go in, the datagrams to send from the host socket come out.
#pragma once

#include "common/wire.h"
#include "net/member_dispatch.h"

#include <optional>
#include <string>
#include <vector>

namespace lumo {

struct HostReply {
    std::vector<Outgoing> sends;           // all sent from hostSocket, in order
    std::vector<std::string> leftNames;    // GBK names of members that left (for the status line)
};

class HostTable {
public:
    const Roster& roster() const { return roster_; }

    // Handles one datagram addressed to the host. Malformed datagrams and commands that mean
    // nothing to a host are dropped without an Ack; every other request is acknowledged.
    HostReply handle(ByteView datagram, Endpoint source);

    // Removes records that share local port, local address and public address with an earlier
    // record (a client restarted on the same machine joins again with a fresh id).
    HostReply sweepDuplicates();

private:
    int findMember(const MemberEntry& entry) const;  // by local and public address, or -1
    void broadcast(HostReply& reply) const;          // to every member, each with its own index
    void sendRosterTo(HostReply& reply, int index) const;

    Roster roster_;
};

}  // namespace lumo
