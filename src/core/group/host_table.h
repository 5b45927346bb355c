// The group host's member table and its handling of requests, as pure logic: a kind-3 datagram
// and the address it came from go in, the datagrams to send from the host socket come out.
//
// A request is believed only as far as its source shows: the records the host keeps say where
// each member's datagrams come from (public address and port), and a roster request, a path
// request or a leave is taken only from the member recorded there. Anyone else gets the Ack and
// nothing more, so a forged source cannot make the host send rosters to someone else or throw a
// member out. Each source may send only so many requests and joins in a while (token buckets,
// with the time passed in), and one address and port holds at most a few records.
#pragma once

#include "core/wire/wire.h"
#include "core/group/member_dispatch.h"

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumo {

using Millis = std::int64_t;

struct HostReply {
    std::vector<Outgoing> sends;           // all sent from hostSocket, in order
    std::vector<std::string> leftNames;    // GBK names of members that left (for the status line)
};

// Requests the host refused, by reason.
struct HostDropCounts {
    std::uint64_t malformed = 0;     // too short, not kind 3, or no request at all
    std::uint64_t rateLimited = 0;   // the source sent more than its share: not even acknowledged
    std::uint64_t notAMember = 0;    // roster, path or leave request from where no member is recorded
    std::uint64_t sourceFull = 0;    // a join from an address and port that holds enough records
};

class HostTable {
public:
    HostTable() = default;
    // The bucket index points into the recency list: a copy would point into the original's.
    HostTable(const HostTable&) = delete;
    HostTable& operator=(const HostTable&) = delete;

    // Records one public address and port may hold. A client restarted on the same machine
    // holds two until the duplicate sweep; members behind one translator have ports of their
    // own, so they never share this count.
    static constexpr int MaxRecordsPerSource = 4;
    // Per source address and port: requests (roster, path, leave) and joins, as a burst and a
    // steady rate. A member asks a few times a minute; a path flood of 50 a second is cut down.
    static constexpr int RequestBurst = 20;
    static constexpr Millis RequestEveryMs = 100;
    static constexpr int JoinBurst = 4;
    static constexpr Millis JoinEveryMs = 2000;
    // Sources remembered for the buckets at most; the longest quiet is forgotten first.
    static constexpr std::size_t MaxTrackedSources = 1024;

    const Roster& roster() const { return roster_; }
    const HostDropCounts& dropCounts() const { return drops_; }
    std::size_t trackedSources() const { return buckets_.size(); }

    // Handles one datagram addressed to the host, received at `now`. Malformed datagrams,
    // commands that mean nothing to a host and requests over the source's rate are dropped
    // without an Ack; every other request is acknowledged.
    HostReply handle(ByteView datagram, Endpoint source, Millis now);
    // As above, at the time of the last call that gave one.
    HostReply handle(ByteView datagram, Endpoint source) { return handle(datagram, source, lastNow_); }

    // Removes records that share local port, local address and public address with an earlier
    // record (a client restarted on the same machine joins again with a fresh id).
    HostReply sweepDuplicates();

private:
    struct Bucket {
        double tokens = 0;
        Millis refilled = 0;
    };
    struct SourceBuckets {
        std::uint64_t source = 0;
        Bucket requests;
        Bucket joins;
    };

    int findMember(const MemberEntry& entry) const;  // by local and public address, or -1
    // The record the datagram's source is recorded at: `claimed` when that record is there,
    // otherwise the first one there; -1 when no member is recorded at `source`.
    int memberAt(Endpoint source, int claimed) const;
    int recordsAt(Endpoint source) const;
    bool admit(Endpoint source, bool join, Millis now);
    void broadcast(HostReply& reply) const;          // to every member, each with its own index
    void sendRosterTo(HostReply& reply, int index) const;
    void removeRecord(int index);

    Roster roster_;
    HostDropCounts drops_;
    // The sources' buckets, the one heard last first, and where each source's is in that list: a
    // flood from ever new (perhaps forged) sources forgets the quietest in constant time.
    std::list<SourceBuckets> bucketsByRecency_;
    std::unordered_map<std::uint64_t, std::list<SourceBuckets>::iterator> buckets_;
    Millis lastNow_ = 0;
};

}  // namespace lumo
