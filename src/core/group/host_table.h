// The group host's member table and its handling of requests, as pure logic: a request and the
// address it came from go in, the datagrams to send from the host socket come out. Its one timer,
// the duplicate sweep, runs when the caller calls advance() at nextDeadline().
//
// A request is believed only as far as its source shows: the records the host keeps say where
// each member's datagrams come from (public address and port), and a roster request, a path
// request or a leave is taken only from the member recorded there. Anyone else gets the Ack and
// nothing more, so a forged source cannot make the host send rosters to someone else or throw a
// member out. Each address may send only so many requests and joins in a while (token buckets,
// with the time passed in), and one address holds at most a few records, whatever its ports.
//
// A record is kept while its member shows it is there. A member that asks for the roster (as
// this program's members do every half minute) and then falls silent is removed; a member that
// never asks (the plain protocol sends nothing while a member is quiet) keeps its place until a
// joiner needs it and it has been quiet for QuietPlainMs.
#pragma once

#include "core/wire/wire.h"
#include "core/group/message_route.h"
#include "core/trust/key_vouch.h"
#include "core/trust/keyed_join.h"

#include <algorithm>
#include <array>
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
    // `cookieSecrets` draws the secrets of the cookies LUMO joiners are asked to show.
    explicit HostTable(std::function<KeySeed()> cookieSecrets = randomSeed) : cookies_(std::move(cookieSecrets)) {}
    // The bucket index points into the recency list: a copy would point into the original's.
    HostTable(const HostTable&) = delete;
    HostTable& operator=(const HostTable&) = delete;

    // Records one public address may hold, whatever its ports: one address (a neighbour behind
    // the same carrier's translator, or a forger) cannot fill the group.
    static constexpr int MaxRecordsPerAddress = 4;
    // Per public address: requests (roster, path, leave) and joins, as a burst and a steady
    // rate. A member asks a few times a minute; a path flood of 50 a second is cut down.
    static constexpr int RequestBurst = 20;
    static constexpr Millis RequestEveryMs = 100;
    static constexpr int JoinBurst = 4;
    static constexpr Millis JoinEveryMs = 2000;
    // Addresses remembered for the buckets at most; the longest quiet is forgotten first, and
    // only once its buckets are full again, so a flood of new addresses resets nobody's budget.
    static constexpr std::size_t MaxTrackedSources = 1024;
    // A member is sent its roster once per this while, on request, even when its address is
    // over its rate: forged requests from its address cannot make the host fall silent to it.
    static constexpr Millis RosterReserveMs = 5000;
    // A member that has asked for the roster (it asks every 30 s) and sent nothing for this
    // long is gone: its record is removed.
    static constexpr Millis SilentMemberMs = 90'000;
    // Such a member has stopped answering after this long: its rejoin from another port of
    // its address, or its restarted client's second record, takes its place.
    static constexpr Millis AskerQuietMs = 45'000;
    // A record whose member never asked for the roster has stopped answering after this long
    // without a request; its place then goes to a joiner that would otherwise be refused.
    static constexpr Millis QuietPlainMs = 120'000;
    // Rosters towards one address: at most this many bytes a second after a burst, whatever it
    // sends (nothing in the plain protocol shows that an address really receives). A roster
    // over the budget is owed, and the latest one goes as soon as the budget allows.
    static constexpr double SendBytesPerSecond = 2048;
    static constexpr double SendBurstBytes = 16 * 1024;
    // A flood of joins from one address: from its first join until it has sent no join for
    // JoinFloodQuietMs. Meanwhile what the host sends that address in reply to its own requests
    // stays within the larger of JoinFloodFreeBytes and JoinFloodReplyFactor times the bytes it
    // sent, and each joiner gets its own first roster at once whatever the others took: a plain
    // joiner has no other way in (neighbours behind one translator join one after another), and
    // a player may press "更新" or retry a join right after joining, but forged joins get no more. Nothing in the plain
    // protocol shows that an address really receives, so every address is held to this.
    // Rosters held back are owed and go once the flood ends.
    static constexpr Millis JoinFloodQuietMs = 30'000;
    static constexpr double JoinFloodReplyFactor = 3;
    static constexpr double JoinFloodFreeBytes = 2 * MaxDatagramSize;  // two full rosters and their Acks
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
    // A joiner whose record shows KeysMark gets a JoinCookie alone (no Ack, no roster, nothing
    // kept); its KeyedJoin is handled here: with the cookie of its source and its signature it
    // is taken as its JoinRequest, and the record remembers its key. A record with a key moves
    // to another port at once with that key's KeyedJoin, and never without it.
    HostReply receiveKeyedJoin(ByteView datagram, Endpoint source, Millis now);
    // With every roster a keyed member is sent, the host vouches for the keys of the other keyed
    // members (KeyVouch, keyed by that member's join cookie), so their first handshake is taken
    // only from those keys.
    // The key a record's member proved when it joined; nullopt for a plain member.
    std::optional<SigningPublicKey> keyOf(int index) const
    {
        return index >= 0 && index < roster_.count ? presence_[std::size_t(index)].key : std::nullopt;
    }
    // Reads a datagram and handles it as above when it is a request (tests, benches, fuzzing).
    HostReply handle(ByteView datagram, Endpoint source, Millis now);
    // As above, at the time of the last call that gave one.
    HostReply handle(ByteView datagram, Endpoint source) { return handle(datagram, source, lastNow_); }

    // When advance() should next run: the sweep of a duplicate the table holds, or the removal
    // of a silent member; nullopt while neither can come, so a quiet host is never woken.
    std::optional<Millis> nextDeadline() const;
    // Runs the sweep and the removals that are due.
    HostReply advance(Millis now);
    // Sweeps now, due or not.
    HostReply sweepDuplicates();
    // Whether a roster to the member of record `index` waits for its address's send budget.
    bool rosterOwed(int index) const
    {
        return index >= 0 && index < roster_.count && presence_[std::size_t(index)].rosterOwed;
    }

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
    // What the table knows of each record's member beyond its record.
    struct Presence {
        Millis lastHeard = 0;        // its last request taken from where it is recorded
        bool asksRoster = false;     // it has asked for the roster: its silence means it is gone
        std::optional<Millis> reserveUsed;  // when a roster last went to it past its address's rate
        bool rosterOwed = false;     // a roster to it did not fit its address's send budget
        std::optional<SigningPublicKey> key;  // the identity key its KeyedJoin proved
        std::optional<JoinCookieValue> cookie;  // ...with this cookie: it keys the vouches to it
    };
    struct ProvenJoin {
        SigningPublicKey key;
        JoinCookieValue cookie;
    };
    HostReply receiveRequest(const WireMessage& message, Endpoint source, Millis now,
                             const std::optional<ProvenJoin>& proven);
    // The keys of the other keyed members, for the keyed member of record `index` (none for a
    // plain member): they go with every roster it is sent.
    std::vector<Bytes> vouchesFor(int index) const;
    // What a roster to record `index` and its vouches come to, in bytes.
    std::size_t rosterBytesFor(int index) const;

    int findMember(const MemberEntry& entry) const;  // by local and public address, or -1
    bool holdsDuplicates() const;
    // The record the datagram's source is recorded at: `claimed` when that record is there,
    // otherwise the first one there; -1 when no member is recorded at `source`.
    int memberAt(Endpoint source, int claimed) const;
    int recordsAt(Ipv4 address) const;
    bool admit(Endpoint source, bool join, Millis now);
    // Whether the member of record `index` has stopped answering at `now`.
    bool stoppedAnswering(int index, Millis now) const;
    // Frees the place of the longest-quiet record that stopped answering, of `address` only
    // when given; false when none has.
    bool reclaimPlace(HostReply& reply, std::optional<Ipv4> address, Millis now);
    void removeSilentMembers(HostReply& reply, Millis now);
    // To every member, each with its own index; `requester` is whose request it answers, when
    // there is one.
    struct Requester {
        Ipv4 address;
        int index;  // the joiner's record, for a join; else -1
    };
    void broadcast(HostReply& reply, std::optional<Requester> requester = std::nullopt);
    // The roster to one member, when its address's send budget has room and, when it answers a
    // request from that address during its join flood, when the flood's reply bound has; else
    // it is owed.
    void sendRosterTo(HostReply& reply, int index, std::optional<Requester> requester = std::nullopt);
    void sendOwedRosters(HostReply& reply);
    // Takes `bytes` from the send budget of `address` at lastNow_; false when it has not enough.
    bool spend(Ipv4 address, std::size_t bytes);
    struct JoinFlood {
        Millis lastJoin = 0;
        double bytesIn = 0;   // what the address sent since the flood began
        double bytesOut = 0;  // what the host sent it in reply
        // The joiners that got their own roster at once in this flood, a few at most.
        std::vector<Endpoint> served;
        bool servedAlready(Endpoint e) const { return std::find(served.begin(), served.end(), e) != served.end(); }
    };
    static constexpr std::size_t JoinFloodServedJoiners = 2 * MaxRecordsPerAddress;
    // The address's join flood when one is going on at lastNow_, else null.
    JoinFlood* floodOf(Ipv4 address);
    const JoinFlood* floodOf(Ipv4 address) const;
    // Counts a request from `address` into its flood, opening one for a join; false when no
    // flood can be tracked for it (too many addresses flooding at once).
    bool countRequest(Ipv4 address, bool join, std::size_t bytes, Millis now);
    void removeRecord(int index);

    Roster roster_;
    std::array<Presence, RosterCapacity> presence_{};  // per record, moved with it
    struct SendBudget {
        double bytes = SendBurstBytes;
        Millis refilled = 0;
    };
    std::unordered_map<Ipv4, SendBudget> sendBudgets_;  // addresses that hold records
    std::unordered_map<Ipv4, JoinFlood> floods_;        // addresses that joined lately, at most MaxTrackedSources
    DropCountsByReason drops_;
    std::optional<Millis> sweepDue_;
    // The sources' buckets, the one heard last first, and where each source's is in that list: a
    // flood from ever new (perhaps forged) sources forgets the quietest in constant time.
    std::list<SourceBuckets> bucketsByRecency_;
    std::unordered_map<std::uint64_t, std::list<SourceBuckets>::iterator> buckets_;
    Millis lastNow_ = 0;
    JoinCookies cookies_;
};

}  // namespace lumo
