// The group host's member table and its handling of requests, as pure logic: a request and the
// address it came from go in, the datagrams to send from the host socket come out. Its one timer,
// the duplicate sweep, runs when the caller calls advance() at nextDeadline().
//
// A request is believed only as far as its source shows: the records the host keeps say where
// each member's datagrams come from (public address and port), and a roster request, a path
// request or a leave is taken only from the member recorded there. Anyone else gets the Ack and
// nothing more, so a forged source cannot make the host send rosters to someone else or throw a
// member out. Each source may send only so many requests and joins in a while (token buckets,
// with the time passed in), and one address and port holds at most a few records.
#pragma once

#include "core/wire/wire.h"
#include "core/group/message_route.h"

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
    DropReason dropped = DropReason::None; // why the request was refused (an Ack may still go)
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
    // A record that shares local port, local address and public address with an earlier one (a
    // client restarted on the same machine joins again with a fresh id) is swept away this long
    // after it appeared: 256 of the member session's 200 ms ticks.
    static constexpr Millis DuplicateSweepMs = 256 * 200;

    const Roster& roster() const { return roster_; }
    const DropCountsByReason& dropCounts() const { return drops_; }
    std::size_t trackedSources() const { return buckets_.size(); }

    // Handles one request (a message handlerOf gives to the host table) received at `now`.
    // Requests over the source's rate, and messages that are no request, are dropped without an
    // Ack; every other request is acknowledged.
    HostReply receive(const WireMessage& message, Endpoint source, Millis now);
    // Reads a datagram and handles it as above when it is a request (tests, benches, fuzzing).
    HostReply handle(ByteView datagram, Endpoint source, Millis now);
    // As above, at the time of the last call that gave one.
    HostReply handle(ByteView datagram, Endpoint source) { return handle(datagram, source, lastNow_); }

    // When advance() should next run: the sweep of a duplicate the table holds; nullopt while it
    // holds none, so a quiet host is never woken.
    std::optional<Millis> nextDeadline() const { return sweepDue_; }
    // Runs the sweep when it is due.
    HostReply advance(Millis now);
    // Sweeps now, due or not.
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
    bool holdsDuplicates() const;
    // The record the datagram's source is recorded at: `claimed` when that record is there,
    // otherwise the first one there; -1 when no member is recorded at `source`.
    int memberAt(Endpoint source, int claimed) const;
    int recordsAt(Endpoint source) const;
    bool admit(Endpoint source, bool join, Millis now);
    void broadcast(HostReply& reply) const;          // to every member, each with its own index
    void sendRosterTo(HostReply& reply, int index) const;
    void removeRecord(int index);

    Roster roster_;
    DropCountsByReason drops_;
    std::optional<Millis> sweepDue_;
    // The sources' buckets, the one heard last first, and where each source's is in that list: a
    // flood from ever new (perhaps forged) sources forgets the quietest in constant time.
    std::list<SourceBuckets> bucketsByRecency_;
    std::unordered_map<std::uint64_t, std::list<SourceBuckets>::iterator> buckets_;
    Millis lastNow_ = 0;
};

}  // namespace lumo
