#include "core/group/host_table.h"

#include <algorithm>

namespace lumo {

namespace {

bool sameMachine(const MemberEntry& a, const MemberEntry& b)
{
    return a.localPort == b.localPort && a.localAddress == b.localAddress && a.publicAddress == b.publicAddress;
}

Endpoint publicEndpoint(const MemberEntry& entry) { return {entry.publicAddress, entry.publicPort}; }

std::uint64_t sourceKey(Endpoint e) { return (std::uint64_t(e.address) << 16) | e.port; }

// Takes one token from the bucket, refilled by the time passed since it was last refilled.
bool take(double& tokens, Millis& refilled, Millis now, int burst, Millis every)
{
    if (now > refilled) {
        tokens = std::min<double>(burst, tokens + double(now - refilled) / double(every));
        refilled = now;
    }
    if (tokens < 1.0) return false;
    tokens -= 1.0;
    return true;
}

}  // namespace

int HostTable::findMember(const MemberEntry& entry) const
{
    for (int i = 0; i < roster_.count; ++i) {
        const MemberEntry& record = roster_.records[i];
        if (record.localAddress == entry.localAddress && record.publicAddress == entry.publicAddress) return i;
    }
    return -1;
}

int HostTable::memberAt(Endpoint source, int claimed) const
{
    if (roster_.holds(claimed) && publicEndpoint(roster_.records[claimed]) == source) return claimed;
    for (int i = 0; i < roster_.count; ++i)
        if (publicEndpoint(roster_.records[i]) == source) return i;
    return -1;
}

int HostTable::recordsAt(Endpoint source) const
{
    int n = 0;
    for (int i = 0; i < roster_.count; ++i)
        if (publicEndpoint(roster_.records[i]) == source) ++n;
    return n;
}

bool HostTable::admit(Endpoint source, bool join, Millis now)
{
    const std::uint64_t key = sourceKey(source);
    auto found = buckets_.find(key);
    if (found == buckets_.end()) {
        if (buckets_.size() >= MaxTrackedSources) {
            // Forget the source that has been quiet longest; a forgotten source starts afresh.
            buckets_.erase(bucketsByRecency_.back().source);
            bucketsByRecency_.pop_back();
        }
        bucketsByRecency_.push_front({key, {double(RequestBurst), now}, {double(JoinBurst), now}});
        found = buckets_.emplace(key, bucketsByRecency_.begin()).first;
    } else {
        bucketsByRecency_.splice(bucketsByRecency_.begin(), bucketsByRecency_, found->second);
    }
    SourceBuckets& buckets = *found->second;
    return join ? take(buckets.joins.tokens, buckets.joins.refilled, now, JoinBurst, JoinEveryMs)
                : take(buckets.requests.tokens, buckets.requests.refilled, now, RequestBurst, RequestEveryMs);
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

void HostTable::removeRecord(int index)
{
    --roster_.count;
    roster_.records[index] = roster_.records[roster_.count];
    roster_.records[index].id = static_cast<std::uint16_t>(index);
    roster_.records[roster_.count] = MemberEntry{};
}

HostReply HostTable::handle(ByteView datagram, Endpoint source, Millis now)
{
    const WireRead read = readMessage(datagram);
    if (read.message && handlerOf(read.message->message) == Handler::HostTable) return receive(*read.message, source, now);
    HostReply reply;
    reply.dropped = read.message ? DropReason::UnknownMessage : dropReasonOf(read.fault);
    drops_.add(reply.dropped);
    lastNow_ = std::max(lastNow_, now);
    return reply;
}

HostReply HostTable::receive(const WireMessage& message, Endpoint source, Millis now)
{
    lastNow_ = std::max(lastNow_, now);
    HostReply reply;
    const auto refuse = [this, &reply](DropReason why) {
        reply.dropped = why;
        drops_.add(why);
    };
    if (handlerOf(message.message) != Handler::HostTable) {
        refuse(DropReason::UnknownMessage);
        return reply;
    }
    if (!admit(source, message.message == Message::JoinRequest, now)) {
        refuse(DropReason::RateLimited);
        return reply;
    }

    // The sender's record, with the address and port the host actually saw it come from.
    MemberEntry entry = readEntry(message);
    entry.publicAddress = source.address;
    entry.publicPort = source.port;

    reply.sends.push_back({source, makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost)});

    // Every request but a join comes from a member, and from where that member is recorded.
    const int claimed = message.message == Message::RosterRequest ? int(entry.id) : int(message.header.firstId);
    const int sender = memberAt(source, claimed);
    if (message.message != Message::JoinRequest && sender < 0) {
        refuse(DropReason::NotAMember);
        return reply;
    }

    switch (message.message) {
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
            if (recordsAt(source) >= MaxRecordsPerSource) {
                refuse(DropReason::SourceFull);
                return reply;
            }
            entry.id = static_cast<std::uint16_t>(roster_.count);
            roster_.records[roster_.count] = entry;
            ++roster_.count;
        }
        if (!sweepDue_ && holdsDuplicates()) sweepDue_ = now + DuplicateSweepMs;
        broadcast(reply);
        break;
    }
    case Message::RosterRequest:
        // To the member that asked, with its real index, whatever id it named.
        sendRosterTo(reply, sender);
        break;
    case Message::LeaveNotice: {
        // Every record of that address and port goes: they are one client.
        for (int i = roster_.count - 1; i >= 0; --i) {
            if (publicEndpoint(roster_.records[i]) != source) continue;
            reply.leftNames.push_back(roster_.records[i].nameBytes());
            removeRecord(i);
        }
        broadcast(reply);
        break;
    }
    case Message::PathRequest: {
        const int target = message.header.secondId;
        if (!roster_.holds(target)) break;
        reply.sends.push_back({source, makeHeaderOnly(cmd::PathProbe, idByte(sender), idByte(target), Kind::FromHost)});
        reply.sends.push_back({publicEndpoint(roster_.records[target]),
                               makeHeaderOnly(cmd::PathProbe, idByte(target), idByte(sender), Kind::FromHost)});
        break;
    }
    default:
        break;
    }
    return reply;
}

bool HostTable::holdsDuplicates() const
{
    for (int k = 0; k < roster_.count; ++k)
        for (int m = k + 1; m < roster_.count; ++m)
            if (sameMachine(roster_.records[m], roster_.records[k])) return true;
    return false;
}

HostReply HostTable::advance(Millis now)
{
    lastNow_ = std::max(lastNow_, now);
    if (!sweepDue_ || now < *sweepDue_) return {};
    return sweepDuplicates();
}

HostReply HostTable::sweepDuplicates()
{
    sweepDue_.reset();
    HostReply reply;
    for (int k = 0; k < roster_.count; ++k) {
        for (int m = k + 1; m < roster_.count; ++m) {
            if (!sameMachine(roster_.records[m], roster_.records[k])) continue;
            removeRecord(m);
            broadcast(reply);
        }
    }
    return reply;
}

}  // namespace lumo
