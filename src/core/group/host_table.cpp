#include "core/group/host_table.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace lumo {

namespace {

bool sameMachine(const MemberEntry& a, const MemberEntry& b)
{
    return a.localPort == b.localPort && a.localAddress == b.localAddress && a.publicAddress == b.publicAddress;
}

// Budgets count per address: the ports of one address are one sender's to choose.
std::uint64_t sourceKey(Endpoint e) { return e.address; }

// Whether the bucket has refilled to its burst by `now`: forgetting it then loses nothing.
bool fullBy(double tokens, Millis refilled, Millis now, int burst, Millis every)
{
    return tokens + double(std::max<Millis>(0, now - refilled)) / double(every) >= double(burst);
}

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
    if (roster_.holds(claimed) && roster_.records[claimed].publicEndpoint() == source) return claimed;
    for (int i = 0; i < roster_.count; ++i)
        if (roster_.records[i].publicEndpoint() == source) return i;
    return -1;
}

int HostTable::recordsAt(Ipv4 address) const
{
    int n = 0;
    for (int i = 0; i < roster_.count; ++i)
        if (roster_.records[i].publicAddress == address) ++n;
    return n;
}

bool HostTable::stoppedAnswering(int index, Millis now) const
{
    const Presence& p = presence_[std::size_t(index)];
    return now - p.lastHeard >= (p.asksRoster ? AskerQuietMs : QuietPlainMs);
}

bool HostTable::reclaimPlace(HostReply& reply, std::optional<Ipv4> address, Millis now)
{
    int quietest = -1;
    for (int i = 0; i < roster_.count; ++i) {
        if (address && roster_.records[i].publicAddress != *address) continue;
        if (!stoppedAnswering(i, now)) continue;
        if (quietest < 0 || presence_[std::size_t(i)].lastHeard < presence_[std::size_t(quietest)].lastHeard) quietest = i;
    }
    if (quietest < 0) return false;
    reply.leftNames.push_back(roster_.records[quietest].nameBytes());
    removeRecord(quietest);
    return true;
}

void HostTable::removeSilentMembers(HostReply& reply, Millis now)
{
    bool removed = false;
    for (int i = roster_.count - 1; i >= 0; --i) {
        const Presence& p = presence_[std::size_t(i)];
        if (!p.asksRoster || now - p.lastHeard < SilentMemberMs) continue;
        reply.leftNames.push_back(roster_.records[i].nameBytes());
        removeRecord(i);
        removed = true;
    }
    if (removed) broadcast(reply);
}

bool HostTable::admit(Endpoint source, bool join, Millis now)
{
    const std::uint64_t key = sourceKey(source);
    auto found = buckets_.find(key);
    if (found == buckets_.end()) {
        if (buckets_.size() >= MaxTrackedSources) {
            // Forget the source that has been quiet longest, but only once its buckets are full
            // again: a forgotten source starts afresh, so forgetting one that spent its budget
            // would give the budget back. Until then the new source is not served.
            const SourceBuckets& oldest = bucketsByRecency_.back();
            if (!fullBy(oldest.requests.tokens, oldest.requests.refilled, now, RequestBurst, RequestEveryMs) ||
                !fullBy(oldest.joins.tokens, oldest.joins.refilled, now, JoinBurst, JoinEveryMs))
                return false;
            buckets_.erase(oldest.source);
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

bool HostTable::spend(Ipv4 address, std::size_t bytes)
{
    auto [it, fresh] = sendBudgets_.try_emplace(address, SendBudget{SendBurstBytes, lastNow_});
    SendBudget& budget = it->second;
    if (lastNow_ > budget.refilled) {
        budget.bytes = std::min(SendBurstBytes, budget.bytes + double(lastNow_ - budget.refilled) * SendBytesPerSecond / 1000.0);
        budget.refilled = lastNow_;
    }
    if (budget.bytes < double(bytes)) return false;
    budget.bytes -= double(bytes);
    return true;
}

HostTable::JoinFlood* HostTable::floodOf(Ipv4 address)
{
    return const_cast<JoinFlood*>(std::as_const(*this).floodOf(address));
}

const HostTable::JoinFlood* HostTable::floodOf(Ipv4 address) const
{
    const auto found = floods_.find(address);
    return found != floods_.end() && lastNow_ - found->second.lastJoin < JoinFloodQuietMs ? &found->second : nullptr;
}

bool HostTable::countRequest(Ipv4 address, bool join, std::size_t bytes, Millis now)
{
    auto found = floods_.find(address);
    if (found != floods_.end() && now - found->second.lastJoin >= JoinFloodQuietMs) {
        floods_.erase(found);
        found = floods_.end();
    }
    if (found == floods_.end()) {
        if (!join) return true;
        if (floods_.size() >= MaxTrackedSources)
            std::erase_if(floods_, [now](const auto& f) { return now - f.second.lastJoin >= JoinFloodQuietMs; });
        if (floods_.size() >= MaxTrackedSources) return false;
        found = floods_.emplace(address, JoinFlood{}).first;
    }
    if (join) found->second.lastJoin = now;
    found->second.bytesIn += double(bytes);
    return true;
}

void HostTable::sendRosterTo(HostReply& reply, int index, std::optional<Requester> requester)
{
    if (!roster_.holds(index)) return;
    const MemberEntry& record = roster_.records[index];
    Bytes roster = makeRosterUpdate(idByte(index), roster_);
    std::vector<Bytes> vouches = vouchesFor(index);
    std::size_t size = roster.size();
    for (const Bytes& vouch : vouches) size += vouch.size();
    // Replies to an address's own requests during its join flood stay within the flood's bound,
    // but for each joiner's own first roster.
    JoinFlood* flood = requester && requester->address == record.publicAddress ? floodOf(record.publicAddress) : nullptr;
    const Endpoint to = record.publicEndpoint();
    const bool joinersOwn = flood && requester->index == index && !flood->servedAlready(to) &&
                            flood->served.size() < JoinFloodServedJoiners;
    const bool withinFlood = !flood || joinersOwn ||
                             flood->bytesOut + double(size) <=
                                 std::max(JoinFloodFreeBytes, JoinFloodReplyFactor * flood->bytesIn);
    const bool sent = withinFlood && spend(record.publicAddress, size);
    presence_[std::size_t(index)].rosterOwed = !sent;
    if (!sent) return;
    if (flood) {
        flood->bytesOut += double(size);
        if (joinersOwn) flood->served.push_back(to);
    }
    reply.sends.push_back({to, std::move(roster)});
    // After the roster they name records of: a member that reads them first finds no record.
    for (Bytes& vouch : vouches) reply.sends.push_back({to, std::move(vouch)});
}

std::vector<Bytes> HostTable::vouchesFor(int index) const
{
    const Presence& recipient = presence_[std::size_t(index)];
    if (!recipient.key || !recipient.cookie) return {};
    std::vector<VouchedKey> entries;
    for (int i = 0; i < roster_.count; ++i) {
        const Presence& other = presence_[std::size_t(i)];
        if (i == index || !other.key) continue;
        entries.push_back({idByte(i), roster_.records[i].publicEndpoint(), *other.key});
    }
    return makeKeyVouches(idByte(index), entries, vouchKeyOf(*recipient.cookie, *recipient.key));
}

std::size_t HostTable::rosterBytesFor(int index) const
{
    std::size_t size = RosterUpdateHeaderSize + MemberEntrySize * std::size_t(roster_.count);
    const Presence& recipient = presence_[std::size_t(index)];
    if (!recipient.key || !recipient.cookie) return size;
    std::size_t keyed = 0;
    for (int i = 0; i < roster_.count; ++i) keyed += i != index && presence_[std::size_t(i)].key ? 1 : 0;
    const std::size_t records = (keyed + MaxVouchEntries - 1) / MaxVouchEntries;
    return size + records * VouchFixedSize + keyed * VouchEntrySize;
}

void HostTable::sendOwedRosters(HostReply& reply)
{
    // An address still flooding gets its owed rosters once its flood is over.
    for (int i = 0; i < roster_.count; ++i)
        if (presence_[std::size_t(i)].rosterOwed && !floodOf(roster_.records[i].publicAddress)) sendRosterTo(reply, i);
}

void HostTable::broadcast(HostReply& reply, std::optional<Requester> requester)
{
    for (int i = 0; i < roster_.count; ++i) sendRosterTo(reply, i, requester);
}

void HostTable::removeRecord(int index)
{
    --roster_.count;
    roster_.records[index] = roster_.records[roster_.count];
    roster_.records[index].id = static_cast<std::uint16_t>(index);
    roster_.records[roster_.count] = MemberEntry{};
    presence_[std::size_t(index)] = presence_[std::size_t(roster_.count)];
    presence_[std::size_t(roster_.count)] = Presence{};
    // Budgets are kept for addresses that hold records only, so there are never many.
    for (auto it = sendBudgets_.begin(); it != sendBudgets_.end();)
        it = recordsAt(it->first) == 0 ? sendBudgets_.erase(it) : std::next(it);
}

HostReply HostTable::handle(ByteView datagram, Endpoint source, Millis now)
{
    if (isKeyedJoin(datagram)) return receiveKeyedJoin(datagram, source, now);
    const WireRead read = readMessage(datagram);
    if (read.message && handlerOf(read.message->message) == Handler::HostTable) return receive(*read.message, source, now);
    HostReply reply;
    reply.dropped = read.message ? DropReason::UnknownMessage : dropReasonOf(read.fault);
    drops_.add(reply.dropped);
    lastNow_ = std::max(lastNow_, now);
    return reply;
}

HostReply HostTable::receiveKeyedJoin(ByteView datagram, Endpoint source, Millis now)
{
    lastNow_ = std::max(lastNow_, now);
    const auto join = readKeyedJoin(datagram);
    if (!join || !cookies_.valid(join->cookie, source, now)) {
        HostReply reply;
        // Of the right size, its signature or its cookie failed.
        reply.dropped = datagram.size() == KeyedJoinSize ? DropReason::KeyNotProved : DropReason::BadLength;
        drops_.add(reply.dropped);
        return reply;
    }
    // Taken as the JoinRequest it carries, its whole size counted against its address.
    WireMessage message;
    message.header = DatagramHeader{cmd::JoinRequest, datagram[1], datagram[2], std::uint8_t(Kind::ToHost)};
    message.message = Message::JoinRequest;
    message.payload = datagram.subspan(HeaderSize);
    return receiveRequest(message, source, now, ProvenJoin{join->identity, join->cookie});
}

HostReply HostTable::receive(const WireMessage& message, Endpoint source, Millis now)
{
    return receiveRequest(message, source, now, std::nullopt);
}

HostReply HostTable::receiveRequest(const WireMessage& message, Endpoint source, Millis now,
                                    const std::optional<ProvenJoin>& proven)
{
    lastNow_ = std::max(lastNow_, now);
    const std::optional<SigningPublicKey> provenKey = proven ? std::optional(proven->key) : std::nullopt;
    const std::optional<JoinCookieValue> provenCookie = proven ? std::optional(proven->cookie) : std::nullopt;
    HostReply reply;
    const auto refuse = [this, &reply](DropReason why) {
        reply.dropped = why;
        drops_.add(why);
    };
    if (handlerOf(message.message) != Handler::HostTable) {
        refuse(DropReason::UnknownMessage);
        return reply;
    }
    // The sender's record, with the address and port the host actually saw it come from.
    MemberEntry entry = readEntry(message);
    entry.publicAddress = source.address;
    entry.publicPort = source.port;

    // A LUMO joiner shows first that it receives where it says it is: a cookie, no larger than
    // its request, and nothing kept. Its requests' budget bounds how many it is sent.
    if (message.message == Message::JoinRequest && !provenKey && entry.reserved == KeysMark) {
        if (!admit(source, false, now)) {
            refuse(DropReason::RateLimited);
            return reply;
        }
        reply.sends.push_back({source, makeJoinCookie(message.header.firstId, cookies_.cookieFor(source, now))});
        return reply;
    }

    // Every request but a join comes from a member, and from where that member is recorded.
    const int claimed = message.message == Message::RosterRequest ? int(entry.id) : int(message.header.firstId);
    const int sender = memberAt(source, claimed);
    const bool join = message.message == Message::JoinRequest;
    if (!countRequest(source.address, join, message.size(), now)) {
        refuse(DropReason::RateLimited);
        return reply;
    }
    if (!admit(source, message.message == Message::JoinRequest, now)) {
        // Over its address's rate, a member is still sent its roster now and then: requests
        // forged from its address spend the budget, and the roster goes to the member anyway.
        std::optional<Millis>& reserve = presence_[std::size_t(std::max(sender, 0))].reserveUsed;
        const bool reserved = message.message == Message::RosterRequest && sender >= 0 &&
                              (!reserve || now - *reserve >= RosterReserveMs);
        if (!reserved) {
            refuse(DropReason::RateLimited);
            return reply;
        }
        reserve = now;
    }

    reply.sends.push_back({source, makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost)});
    if (JoinFlood* flood = floodOf(source.address)) flood->bytesOut += double(HeaderSize);

    if (message.message != Message::JoinRequest && sender < 0) {
        refuse(DropReason::NotAMember);
        return reply;
    }
    if (sender >= 0) {
        Presence& presence = presence_[std::size_t(sender)];
        presence.lastHeard = now;
        if (message.message == Message::RosterRequest) presence.asksRoster = true;
    }

    switch (message.message) {
    case Message::JoinRequest: {
        const int known = findMember(entry);
        if (entry.id < UnassignedId && known >= 0) {
            // A member connecting again keeps its record: the one its addresses are found in.
            // The id it names may be stale (the table was reordered while a roster to it was
            // lost) and may even be another member's now, so it only says this is a rejoin.
            // The roster tells the member its real index. From another port of its address the
            // record moves only once the member stopped answering where it is recorded: every
            // roster shows the id and local address a forger would need.
            // A record with a key moves only to that key's holder, and at once: it proved itself.
            const bool moving = roster_.records[known].publicEndpoint() != source;
            const std::optional<SigningPublicKey>& recordKey = presence_[std::size_t(known)].key;
            if (moving && recordKey && provenKey != recordKey) {
                refuse(DropReason::KeyNotProved);
                return reply;
            }
            if (moving && !recordKey && !stoppedAnswering(known, now)) {
                refuse(DropReason::RecordHeld);
                return reply;
            }
            if (moving) presence_[std::size_t(known)] = Presence{now, false, {}, false, recordKey, {}};
            if (provenKey) {
                presence_[std::size_t(known)].key = provenKey;
                presence_[std::size_t(known)].cookie = provenCookie;
            }
            entry.id = static_cast<std::uint16_t>(known);
            roster_.records[known] = entry;
        } else {
            // A joiner that would be refused takes the place of a record that stopped answering.
            if (recordsAt(source.address) >= MaxRecordsPerAddress && !reclaimPlace(reply, source.address, now)) {
                refuse(DropReason::SourceFull);
                return reply;
            }
            if (roster_.count >= MaxGroupMembers && !reclaimPlace(reply, std::nullopt, now))
                return reply;  // full: acknowledged, not entered
            entry.id = static_cast<std::uint16_t>(roster_.count);
            roster_.records[roster_.count] = entry;
            presence_[std::size_t(roster_.count)] = Presence{now, false, {}, false, provenKey, provenCookie};
            ++roster_.count;
        }
        if (!sweepDue_ && holdsDuplicates()) sweepDue_ = now + DuplicateSweepMs;
        broadcast(reply, Requester{source.address, int(entry.id)});
        break;
    }
    case Message::RosterRequest:
        // To the member that asked, with its real index, whatever id it named.
        sendRosterTo(reply, sender, Requester{source.address, -1});
        break;
    case Message::LeaveNotice: {
        // Every record of that address and port goes: they are one client.
        for (int i = roster_.count - 1; i >= 0; --i) {
            if (roster_.records[i].publicEndpoint() != source) continue;
            reply.leftNames.push_back(roster_.records[i].nameBytes());
            removeRecord(i);
        }
        broadcast(reply, Requester{source.address, -1});
        break;
    }
    case Message::PathRequest: {
        const int target = message.header.secondId;
        if (!roster_.holds(target)) break;
        reply.sends.push_back({source, makeHeaderOnly(cmd::PathProbe, idByte(sender), idByte(target), Kind::FromHost)});
        if (JoinFlood* flood = floodOf(source.address)) flood->bytesOut += double(HeaderSize);
        reply.sends.push_back({roster_.records[target].publicEndpoint(),
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

std::optional<Millis> HostTable::nextDeadline() const
{
    std::optional<Millis> due = sweepDue_;
    for (int i = 0; i < roster_.count; ++i) {
        const Presence& p = presence_[std::size_t(i)];
        if (p.asksRoster && (!due || p.lastHeard + SilentMemberMs < *due)) due = p.lastHeard + SilentMemberMs;
        if (!p.rosterOwed) continue;
        // When the owed roster fits its address's budget.
        const auto budget = sendBudgets_.find(roster_.records[i].publicAddress);
        const double size = double(rosterBytesFor(i));
        const double missing = budget == sendBudgets_.end() ? 0 : size - budget->second.bytes;
        Millis fits = budget == sendBudgets_.end() ? lastNow_
                                                    : budget->second.refilled + Millis(std::ceil(std::max(0.0, missing) * 1000.0 / SendBytesPerSecond));
        if (const JoinFlood* flood = floodOf(roster_.records[i].publicAddress))
            fits = std::max(fits, flood->lastJoin + JoinFloodQuietMs);
        if (!due || fits < *due) due = fits;
    }
    return due;
}

HostReply HostTable::advance(Millis now)
{
    lastNow_ = std::max(lastNow_, now);
    HostReply reply;
    if (sweepDue_ && now >= *sweepDue_) reply = sweepDuplicates();
    removeSilentMembers(reply, now);
    sendOwedRosters(reply);
    return reply;
}

HostReply HostTable::sweepDuplicates()
{
    sweepDue_.reset();
    HostReply reply;
    for (int k = 0; k < roster_.count; ++k) {
        for (int m = k + 1; m < roster_.count; ++m) {
            if (!sameMachine(roster_.records[m], roster_.records[k])) continue;
            // The later record goes, unless the earlier one's member stopped answering: then
            // the later (a client restarted on another port) takes the earlier one's place.
            if (stoppedAnswering(k, lastNow_) && !stoppedAnswering(m, lastNow_)) {
                roster_.records[k] = roster_.records[m];
                roster_.records[k].id = static_cast<std::uint16_t>(k);
                presence_[std::size_t(k)] = presence_[std::size_t(m)];
            }
            removeRecord(m);
            broadcast(reply);
        }
    }
    return reply;
}

}  // namespace lumo
