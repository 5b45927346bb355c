#include "core/group/member_session.h"

#include "core/text/gbk.h"

#include <algorithm>

namespace lumo {

namespace {

using Event = SessionEvent::Kind;

// The connect judgement in ticks: the host must acknowledge within 10, and the answer is taken
// 2 ticks after the acknowledgement, when the roster has had time to follow.
constexpr std::int32_t ConnectWaitTicks = 10;
constexpr std::int32_t AckSettleTicks = 2;
// The voice slots' silence sweep runs on these tick counts.
constexpr std::uint32_t SilenceSweepPeriod = 512;

const MemberStatus NoStatus{};

}  // namespace

MemberIdentity MemberIdentity::of(const MemberEntry& entry)
{
    return {entry.nameBytes(), entry.publicAddress, entry.publicPort};
}

MemberSession::MemberSession()
{
    member_.ownEntry.id = UnassignedId;
    member_.ownEntry.localPort = MemberPort;
}

// ---------------------------------------------------------------------------------------------
// Output

void MemberSession::send(Endpoint to, Bytes bytes)
{
    if (joinedHost_ && to == hostEndpoint()) ownQuietTicks_ = 0;
    output_.sends.push_back({to, std::move(bytes)});
}

void MemberSession::event(Event kind, int memberId, std::string text)
{
    output_.events.push_back({kind, memberId, std::move(text)});
}

SessionOutput MemberSession::takeOutput()
{
    SessionOutput out = std::move(output_);
    output_ = SessionOutput{};
    return out;
}

Endpoint MemberSession::hostEndpoint() const { return {joinedHost_.value_or(0), HostPort}; }

Endpoint MemberSession::endpointOf(int memberId) const
{
    const MemberEntry& entry = member_.groupRoster.records[memberId];
    return {entry.publicAddress, entry.publicPort};
}

Endpoint MemberSession::pathEndpoint(int memberId) const
{
    if (memberId >= 0 && memberId < int(routes_.size()) && routes_[std::size_t(memberId)].learned)
        return *routes_[std::size_t(memberId)].learned;
    return endpointOf(memberId);
}

std::optional<Endpoint> MemberSession::insideEndpoint(int memberId) const
{
    const MemberEntry& own = member_.ownEntry;
    if (!member_.groupRoster.holds(memberId) || memberId == own.id || own.publicAddress == 0) return std::nullopt;
    const MemberEntry& entry = member_.groupRoster.records[memberId];
    if (entry.publicAddress != own.publicAddress || entry.localAddress == 0 || entry.localAddress == entry.publicAddress)
        return std::nullopt;
    const Endpoint inside{entry.localAddress, entry.localPort != 0 ? entry.localPort : MemberPort};
    // Two homes behind one carrier's translator may use the same private addresses: never
    // ourselves.
    if (inside == Endpoint{own.localAddress, own.localPort != 0 ? own.localPort : MemberPort}) return std::nullopt;
    return inside;
}

const MemberStatus& MemberSession::status(int memberId) const
{
    return memberId >= 0 && memberId < int(status_.size()) ? status_[memberId] : NoStatus;
}

std::string MemberSession::memberName(int memberId) const
{
    return member_.groupRoster.holds(memberId) ? member_.groupRoster.records[memberId].nameBytes() : std::string();
}

int MemberSession::findMember(const MemberIdentity& identity) const
{
    // The same name at the same public address and port; failing that, the same name at the same
    // public address (the member's translator gave it a new port).
    const Roster& roster = member_.groupRoster;
    int sameAddress = -1;
    for (int i = 0; i < roster.count; ++i) {
        const MemberIdentity other = MemberIdentity::of(roster.records[i]);
        if (other.name != identity.name || other.publicAddress != identity.publicAddress) continue;
        if (other.publicPort == identity.publicPort) return i;
        if (sameAddress < 0) sameAddress = i;
    }
    return sameAddress;
}

// ---------------------------------------------------------------------------------------------
// Datagrams arriving

DropReason MemberSession::receive(const WireMessage& message, Endpoint source, Millis now)
{
    advance(now);  // ticks slept through are counted before this message is stamped with one
    int confirmer = -1;
    if (const DropReason why = fromExpectedSource(message, source, confirmer); why != DropReason::None) {
        drops_.add(why);
        return why;
    }
    if (sameRoster(message)) {
        // The host answering a roster request with the group as we know it: nothing to redraw,
        // and the paths stay open.
        hostRosterHeard();
        return DropReason::None;
    }
    if (message.message == Message::RosterUpdate) previousRoster_ = member_.groupRoster;
    MemberDispatch result = dispatchMemberMessage(member_, message);
    using Action = MemberDispatch::Action;
    if (result.action == Action::Dropped) {
        drops_.add(result.why);
        return result.why;
    }
    // A probe is answered where it came from: the source check passed it, and behind a router
    // or a translator that is the only endpoint our answer gets through to.
    if (result.action == Action::ProbeAnswered && result.send) {
        result.send->to = source;
        learnRoute(result.pathPeer, source, false);
    }
    if (result.action == Action::PathConfirmed) learnRoute(confirmer, source, true);
    const int introduced = result.action == Action::ProbeRelayed ? result.pathPeer : -1;
    // An introduction to a member whose path answers elsewhere than the roster says probes it there.
    if (introduced >= 0 && result.send) result.send->to = pathEndpoint(introduced);
    if (result.send) output_.sends.push_back(std::move(*result.send));
    if (introduced >= 0) hostAskedForProbe(introduced);
    switch (result.action) {
    case Action::Dropped: break;
    case Action::AckArrived: handleAck(); break;
    case Action::RosterReplaced: handleRoster(); break;
    case Action::ProbeAnswered: handleProbeAnswered(result.pathPeer); break;
    case Action::PathConfirmed: handlePathConfirm(confirmer); break;
    case Action::ChatArrived: event(Event::ChatArrived, result.chatSender, std::move(result.chatText)); break;
    case Action::VoiceArrived: handleVoice(result.voiceSender, result.voiceRecord); break;
    case Action::ProbeRelayed:
    case Action::Ignored: break;
    }
    return DropReason::None;
}

DropReason MemberSession::fromExpectedSource(const WireMessage& message, Endpoint source, int& confirmer)
{
    const Roster& roster = member_.groupRoster;
    const int sender = message.header.secondId;  // every member-to-member message names its sender here
    switch (message.message) {
    case Message::JoinRequest:
    case Message::RosterRequest:
    case Message::LeaveNotice:
    case Message::PathRequest:
        return DropReason::UnknownMessage;  // the host table's, never the session's

    case Message::Ack:
    case Message::RosterUpdate:
    case Message::HostPathProbe:
        return joinedHost_ && source == hostEndpoint() ? DropReason::None : DropReason::NotFromHost;

    case Message::PathConfirm:
        // The member named, if it is where it may answer from; otherwise whichever member is
        // recorded where the confirmation came from (one that joined under an id we have not
        // heard yet).
        if (roster.holds(sender) && pathSourceOf(sender, source)) {
            confirmer = sender;
            return DropReason::None;
        }
        for (int i = 0; i < roster.count; ++i) {
            if (!pathSourceOf(i, source)) continue;
            confirmer = i;
            return DropReason::None;
        }
        return DropReason::NotFromMember;

    case Message::MemberPathProbe:
    case Message::PathOpener:
        if (roster.holds(sender) && pathSourceOf(sender, source)) return DropReason::None;
        if (roster.holds(sender) && source.address == endpointOf(sender).address &&
            otherPortHeard(sender, source, message.message == Message::MemberPathProbe))
            return DropReason::None;
        return DropReason::NotFromMember;

    case Message::ChatText:
    case Message::VoiceGroup:
    case Message::VoiceDirect:
    case Message::VoiceStopNotice:
        if (roster.holds(sender) && (endpointOf(sender) == source || pathEndpoint(sender) == source))
            return DropReason::None;
        return DropReason::NotFromMember;
    }
    return DropReason::UnknownMessage;
}

bool MemberSession::pathSourceOf(int memberId, Endpoint source) const
{
    if (endpointOf(memberId) == source || pathEndpoint(memberId) == source) return true;
    if (memberId < int(routes_.size()))
        for (const MemberRoute::Probed& probed : routes_[std::size_t(memberId)].probed)
            if (probed.at == source && withinIntroduction(probed.tick)) return true;
    return insideEndpoint(memberId) == source;
}

bool MemberSession::otherPortHeard(int memberId, Endpoint source, bool isProbe)
{
    if (memberId >= int(routes_.size())) return false;
    MemberRoute& route = routes_[std::size_t(memberId)];
    const bool hostAsked = route.hostAskedTick && withinIntroduction(*route.hostAskedTick);
    if (!hostAsked) {
        // Not asked for: perhaps the member's opener overtook the host's introduction. Kept for
        // the introduction, taken by nobody meanwhile.
        route.otherPort = source;
        route.otherPortTick = uptimeTicks_;
        route.otherPortProbed = isProbe;
        return false;
    }
    probe(memberId, source);
    return true;
}

void MemberSession::probe(int memberId, Endpoint at)
{
    MemberRoute& route = routes_[std::size_t(memberId)];
    std::erase_if(route.probed, [at](const MemberRoute::Probed& probed) { return probed.at == at; });
    if (route.probed.size() >= MaxProbedEndpoints) route.probed.erase(route.probed.begin());
    route.probed.push_back({at, uptimeTicks_});
    send(at, makeHeaderOnly(cmd::PathProbe, idByte(memberId), idByte(member_.ownEntry.id), Kind::PeerToPeer));
}

void MemberSession::hostAskedForProbe(int memberId)
{
    // The dispatch has probed the roster's endpoint; the other ways the member may be reached
    // are probed too, and whichever answers first carries the path.
    if (memberId < 0 || memberId >= int(routes_.size())) return;
    MemberRoute& route = routes_[std::size_t(memberId)];
    route.hostAskedTick = uptimeTicks_;
    if (route.learned) return;  // the open path's own endpoint was probed
    if (const auto inside = insideEndpoint(memberId)) probe(memberId, *inside);
    if (route.otherPort && withinIntroduction(route.otherPortTick)) {
        const Endpoint heard = *route.otherPort;
        // The probe that came before the introduction is confirmed now: the member's side of
        // the path opens as it would have, had the introduction come first.
        if (route.otherPortProbed)
            send(heard, makeHeaderOnly(cmd::PathConfirm, idByte(memberId), idByte(member_.ownEntry.id), Kind::PeerToPeer));
        probe(memberId, heard);
    }
    route.otherPort.reset();
}

void MemberSession::learnRoute(int memberId, Endpoint source, bool confirmed)
{
    if (memberId < 0 || memberId >= int(routes_.size())) return;
    MemberRoute& route = routes_[std::size_t(memberId)];
    if (source == endpointOf(memberId)) {
        // Where the host saw the member is the member's own: once it answered, no other port
        // of its address (a neighbour behind the same translator) takes the path. A way learned
        // before gives way, unless it confirmed our probe and this is no confirmation.
        route.rosterAnswered = true;
        if (route.learned && (!route.learnedConfirmed || confirmed)) {
            route.learned.reset();
            route.learnedConfirmed = false;
            planChanged();
        }
        return;
    }
    if (route.rosterAnswered) return;
    if (route.learned) {
        if (*route.learned == source) {
            route.learnedConfirmed = route.learnedConfirmed || confirmed;
            return;
        }
        // The first way that answered is kept, unless only this one confirmed our probe.
        if (route.learnedConfirmed || !confirmed) return;
    }
    route.learned = source;
    route.learnedConfirmed = confirmed;
    planChanged();
}

void MemberSession::forgetRoute(int memberId)
{
    MemberRoute& route = routes_[std::size_t(memberId)];
    if (route.learned) planChanged();
    route = MemberRoute{};
}

bool MemberSession::sameRoster(const WireMessage& message) const
{
    if (message.message != Message::RosterUpdate) return false;
    const Roster& known = member_.groupRoster;
    if (known.count <= 0 || member_.ownEntry.id != message.header.firstId) return false;
    const Roster incoming = readRosterUpdate(message);
    return incoming.count == known.count &&
           std::equal(known.records.begin(), known.records.begin() + known.count, incoming.records.begin());
}

void MemberSession::hostRosterHeard()
{
    rosterSinceConnect_ = true;
    hostQuietTicks_ = 0;
    hostAsks_ = 0;
    // A roster is an answer to the join even when the Ack was lost on the way.
    if (connecting_ && !hostAcknowledged_) handleAck();
    // The host answered after the connect was judged (or after it was taken for gone): this
    // client is in its group after all.
    if (!connecting_ && !joined_ && member_.groupRoster.holds(member_.ownEntry.id)) {
        joined_ = true;
        event(Event::ConnectChanged);
    }
    // Waiting past the settle time for the roster: it is here, the next tick judges.
    if (connecting_ && hostAcknowledged_ && connectDeadline_ > sessionTicks_ + 1 &&
        sessionTicks_ >= ackTick_ + AckSettleTicks)
        connectDeadline_ = sessionTicks_ + 1;
}

void MemberSession::handleAck()
{
    // Acks of path and roster requests say nothing about a join.
    if (!connecting_) return;
    connectDeadline_ = sessionTicks_ + AckSettleTicks;
    ackTick_ = sessionTicks_;
    hostAcknowledged_ = true;
    deadlineArmed_ = true;
}

void MemberSession::handleRoster()
{
    const Roster& roster = member_.groupRoster;
    hostRosterHeard();
    // A member whose record is what it was (same id, name, endpoints and keys mark) keeps its
    // open path, its route, its key's decision and its voice column: keepalives go only over
    // confirmed paths, so a reset would leave "OK" off until something opened the path again.
    // A new or changed member starts afresh.
    const auto unchanged = [this, &roster](int id) {
        return id < previousRoster_.count && id < int(status_.size()) && previousRoster_.records[id] == roster.records[id];
    };
    const auto renew = [&](auto& perMember, auto fresh) {
        std::decay_t<decltype(perMember)> next(std::size_t(roster.count), fresh);
        for (int id = 0; id < roster.count; ++id)
            if (unchanged(id)) next[std::size_t(id)] = perMember[std::size_t(id)];
        perMember = std::move(next);
    };
    renew(status_, MemberStatus{});
    renew(probesUnanswered_, 0);
    renew(routes_, MemberRoute{});
    renew(keyExpected_, false);
    renew(keyTrusted_, false);
    // Nobody is told of a stale id.
    std::erase_if(textWithoutPath_, [&](const auto& entry) { return !unchanged(entry.first); });
    std::erase_if(awaitingProbe_, [&](int id) { return !unchanged(id); });

    // The chosen members keep being the same people, whatever ids they have now.
    const auto rebind = [this](const std::optional<MemberIdentity>& identity) {
        return identity ? findMember(*identity) : -1;
    };
    const int partner = rebind(partnerIdentity_);
    if (partner != partner_) {
        partner_ = partner;
        std::string goneName;  // the partner left the group: the window says so
        if (partner < 0 && partnerIdentity_) goneName = partnerIdentity_->name;
        if (partner < 0) partnerIdentity_.reset();
        event(Event::PartnerChanged, partner_, std::move(goneName));
    }
    voicePartner_ = rebind(voicePartnerIdentity_);
    if (voicePartner_ < 0) voicePartnerIdentity_.reset();
    selected_ = -1;  // the list is drawn anew, with no row selected
    // Held text goes to its member's new id, or nowhere when that member left.
    std::vector<HeldText> kept;
    for (HeldText& held : heldTexts_) {
        int id = -1;
        for (int i = 0; i < roster.count; ++i)
            if (endpointOf(i) == held.datagram.to) id = i;
        if (id < 0) continue;
        held.partner = id;
        held.datagram.bytes[1] = idByte(id);
        kept.push_back(std::move(held));
    }
    heldTexts_ = std::move(kept);
    if (heldTexts_.empty()) heldDeadline_.reset();

    std::vector<MemberIdentity> stillHere;
    for (const MemberIdentity& identity : tickedMembers_) {
        const int id = findMember(identity);
        if (id < 0) continue;
        stillHere.push_back(identity);
        status_[std::size_t(id)].ticked = groupMode_;
    }
    tickedMembers_ = std::move(stillHere);
    // The player's answers to talkers belong to those people too: a slot follows its member to
    // the new id, and is freed when the member left, so a newcomer given that id is asked anew.
    for (PeerSlot& slot : slots_.entries()) {
        if (slot.memberId < 0) continue;
        const std::size_t index = std::size_t(slots_.indexOf(slot));
        const int id = slotMembers_[index] ? findMember(*slotMembers_[index]) : -1;
        if (id >= 0) {
            slot.memberId = id;
            continue;
        }
        slot = PeerSlot{};
        slotMembers_[index].reset();
        output_.releasedSlots.push_back(int(index));
    }
    rebuildTargets();
    planChanged();
    event(Event::RosterChanged);
}

void MemberSession::handlePathConfirm(int fromMember)
{
    // The confirming member's path is open. The confirmer is known by where the confirmation
    // came from, so a confirmation naming an id the roster does not hold still opens its path.
    if (fromMember < 0) return;
    if (fromMember < int(status_.size()) && !status_[std::size_t(fromMember)].confirmed) {
        status_[std::size_t(fromMember)].confirmed = true;
        event(Event::MemberChanged, fromMember);
    }
    openPathIfTrusted(fromMember);
    if (fromMember < int(probesUnanswered_.size())) probesUnanswered_[std::size_t(fromMember)] = 0;
    awaitingProbe_.erase(fromMember);
    textWithoutPath_.erase(fromMember);
    releaseHeldTexts(fromMember);
}

void MemberSession::handleProbeAnswered(int fromMember)
{
    if (fromMember < 0) return;
    releaseHeldTexts(fromMember);
    if (awaitingProbe_.erase(fromMember) == 0 || !member_.groupRoster.holds(fromMember)) return;
    send(pathEndpoint(fromMember),
         makeHeaderOnly(cmd::PathProbe, idByte(fromMember), idByte(member_.ownEntry.id), Kind::PeerToPeer));
}

void MemberSession::handleVoice(int senderId, const VoiceRecord& record)
{
    if (PeerSlot* slot = slots_.find(senderId)) {
        slot->lastHeard = uptimeTicks_;
        if (slot->answer == VoiceAnswer::Accepted) {
            output_.playback.push_back({slots_.indexOf(*slot), senderId, record, false, gainBoost_});
            setVoiceState(senderId, VoiceState::Chatting);
        } else if (slot->answer == VoiceAnswer::NotAsked) {
            // Refused while the question is open: this member's voice is neither played nor
            // asked about again until the player answers.
            slot->answer = VoiceAnswer::Refused;
            event(Event::AskVoice, senderId);
        }
    } else if (PeerSlot* fresh = slots_.firstFree()) {
        fresh->memberId = senderId;
        slotMembers_[std::size_t(slots_.indexOf(*fresh))] = MemberIdentity::of(member_.groupRoster.records[senderId]);
        fresh->lastHeard = uptimeTicks_;
        fresh->answer = VoiceAnswer::NotAsked;
        // The first block of a new member is heard at once, before any question.
        output_.playback.push_back({slots_.indexOf(*fresh), senderId, record, true, gainBoost_});
    }
    event(Event::VoiceHeard, senderId);
}

void MemberSession::openPathIfTrusted(int memberId)
{
    if (memberId < 0 || memberId >= int(status_.size())) return;
    MemberStatus& status = status_[std::size_t(memberId)];
    const bool trusted = !keyExpected_[std::size_t(memberId)] || keyTrusted_[std::size_t(memberId)];
    if (status.pathOpen || !status.confirmed || !trusted) return;
    status.pathOpen = true;
    event(Event::MemberChanged, memberId);
}

// ---------------------------------------------------------------------------------------------
// Keys

void MemberSession::expectKey(int memberId)
{
    if (memberId < 0 || memberId >= int(keyExpected_.size()) || keyExpected_[std::size_t(memberId)]) return;
    keyExpected_[std::size_t(memberId)] = true;
    // An open path that had not waited for a key waits for it now.
    if (!keyTrusted_[std::size_t(memberId)] && status_[std::size_t(memberId)].pathOpen) {
        status_[std::size_t(memberId)].pathOpen = false;
        event(Event::MemberChanged, memberId);
    }
}

bool MemberSession::expectsKey(int memberId) const
{
    return memberId >= 0 && memberId < int(keyExpected_.size()) && keyExpected_[std::size_t(memberId)];
}

void MemberSession::keyDecided(int memberId, bool trusted)
{
    if (memberId < 0 || memberId >= int(keyTrusted_.size()) || keyTrusted_[std::size_t(memberId)] == trusted) return;
    keyTrusted_[std::size_t(memberId)] = trusted;
    MemberStatus& status = status_[std::size_t(memberId)];
    if (trusted) {
        openPathIfTrusted(memberId);
    } else if (status.pathOpen && keyExpected_[std::size_t(memberId)]) {
        status.pathOpen = false;
        event(Event::MemberChanged, memberId);
    }
}

void MemberSession::keyUnproved(int memberId)
{
    if (memberId < 0 || memberId >= int(status_.size())) return;
    MemberStatus& status = status_[std::size_t(memberId)];
    const bool wasShown = status.pathOpen || status.confirmed;
    status.pathOpen = false;
    status.confirmed = false;
    keyTrusted_[std::size_t(memberId)] = false;
    probesUnanswered_[std::size_t(memberId)] = 0;
    forgetRoute(memberId);
    if (wasShown) event(Event::MemberChanged, memberId);
}

// ---------------------------------------------------------------------------------------------
// Time

std::optional<Millis> MemberSession::nextDeadline() const
{
    std::optional<Millis> tick;
    if (nextTick_) tick = *nextTick_ + Millis(ticksUntilDue() - 1) * TickMs;
    if (tick && heldDeadline_) return std::min(*tick, *heldDeadline_);
    return tick ? tick : heldDeadline_;
}

std::int32_t MemberSession::ticksUntilDue() const
{
    // Mirrors runTick: each check below says on which coming tick it would act (the k-th tick
    // from now runs with uptimeTicks_ + k). A tick that would only count is skipped.
    static_assert((SilenceSweepPeriod & (SilenceSweepPeriod - 1)) == 0,
                  "the sweep period divides 2^32, so the wrapping arithmetic below is exact");
    // The smallest k >= 1 with (uptimeTicks_ + k) % period == remainder.
    const auto ticksUntil = [this](std::uint32_t period, std::uint32_t remainder) {
        return ((remainder - uptimeTicks_ - 1) & (period - 1)) + 1;
    };
    std::uint32_t due = ticksUntil(SilenceSweepPeriod, 1);
    const auto atMost = [&due](std::int64_t ticks) { due = std::uint32_t(std::clamp<std::int64_t>(ticks, 1, due)); };
    if (connectDeadline_ != 0 && deadlineArmed_ && connectDeadline_ > sessionTicks_)
        atMost(std::int64_t(connectDeadline_) - sessionTicks_);
    if (joined_ && !connecting_ && joinedHost_) {
        atMost(std::int64_t(liveness_.hostQuietTicks) + hostAsks_ * HostRetryTicks - hostQuietTicks_);
        atMost(std::int64_t(liveness_.hostQuietTicks) - ownQuietTicks_);
    }
    atMost(std::int64_t(liveness_.keepaliveTicks) - keepaliveTicks_);
    for (const auto& [member, since] : textWithoutPath_)
        atMost(std::int64_t(PathGiveUpTicks) - std::int64_t(uptimeTicks_ - since));
    return std::int32_t(due);
}

void MemberSession::advance(Millis now)
{
    // In the order they fell due: ticks slept through before the held texts' deadline are
    // counted first, so the texts are stamped with the tick of their own moment.
    const auto runTicksBefore = [this](Millis end) {
        while (nextTick_ && *nextTick_ < end) {
            *nextTick_ += TickMs;
            runTick();
        }
    };
    if (heldDeadline_ && now >= *heldDeadline_) {
        runTicksBefore(*heldDeadline_);
        for (const HeldText& held : heldTexts_)
            if (!status(held.partner).pathOpen) textWithoutPath_.try_emplace(held.partner, uptimeTicks_);
        releaseHeldTexts(-1);
    }
    runTicksBefore(now + 1);
}

void MemberSession::runTick()
{
    ++sessionTicks_;
    ++uptimeTicks_;
    if (uptimeTicks_ % SilenceSweepPeriod == 1)
        for (const int slot : slots_.sweepSilent(uptimeTicks_)) output_.releasedSlots.push_back(slot);

    judgeConnect();
    watchHost();
    keepPathsAlive();
    for (auto it = textWithoutPath_.begin(); it != textWithoutPath_.end();) {
        if (uptimeTicks_ - it->second < std::uint32_t(PathGiveUpTicks)) {
            ++it;
            continue;
        }
        if (!status(it->first).pathOpen) event(Event::PathFailed, it->first);
        it = textWithoutPath_.erase(it);
    }
}

void MemberSession::judgeConnect()
{
    if (connectDeadline_ == 0 || sessionTicks_ != connectDeadline_ || !deadlineArmed_) return;
    if (hostAcknowledged_ && !rosterSinceConnect_ && sessionTicks_ < ackTick_ + RosterWaitTicks) {
        connectDeadline_ = ackTick_ + RosterWaitTicks;  // the roster may still be on its way
        return;
    }
    if (hostAcknowledged_ && rosterSinceConnect_) {
        connectDeadline_ = 0;
        sessionTicks_ = 0;
        joined_ = true;
        hostQuietTicks_ = 0;
        hostAsks_ = 0;
    } else if (hostAcknowledged_) {
        // Acknowledged but never entered: the table is full, or its roster was lost. Either
        // way this client is not in the group, and "连接" tries again.
        connectDeadline_ = 0;
        joined_ = false;
        event(Event::GroupFull);
    } else {
        event(Event::ConnectFailed);
    }
    hostAcknowledged_ = false;
    connecting_ = false;
    event(Event::ConnectChanged);
}

void MemberSession::watchHost()
{
    if (!joined_ || connecting_ || !joinedHost_) return;
    ++hostQuietTicks_;
    ++ownQuietTicks_;
    const MemberEntry& own = member_.ownEntry;
    const auto askForRoster = [&] {
        send(hostEndpoint(), makeEntryDatagram(cmd::RosterRequest, idByte(own.id), 0, Kind::ToHost, own));
    };
    const std::int32_t askAt = liveness_.hostQuietTicks + hostAsks_ * HostRetryTicks;
    if (hostQuietTicks_ >= askAt) {
        if (hostAsks_ >= HostAskLimit) {
            joined_ = false;
            hostAsks_ = 0;
            hostQuietTicks_ = 0;
            event(Event::HostGone);
            event(Event::ConnectChanged);
            return;
        }
        ++hostAsks_;
        askForRoster();
    }
    // Asked also while rosters keep coming (the host sends one on every change): the host
    // keeps the place of a member it hears from and frees the place of one that fell silent.
    if (ownQuietTicks_ >= liveness_.hostQuietTicks) askForRoster();
}

void MemberSession::keepPathsAlive()
{
    if (++keepaliveTicks_ < liveness_.keepaliveTicks) return;
    keepaliveTicks_ = 0;
    const Roster& roster = member_.groupRoster;
    for (int id = 0; id < int(status_.size()) && roster.holds(id); ++id) {
        MemberStatus& status = status_[std::size_t(id)];
        int& unanswered = probesUnanswered_[std::size_t(id)];
        if (!status.confirmed) {
            unanswered = 0;
            continue;
        }
        if (unanswered >= KeepaliveLimit) {
            status.pathOpen = false;
            status.confirmed = false;
            unanswered = 0;
            forgetRoute(id);
            event(Event::MemberChanged, id);
            continue;
        }
        ++unanswered;
        send(pathEndpoint(id), makeHeaderOnly(cmd::PathProbe, idByte(id), idByte(member_.ownEntry.id), Kind::PeerToPeer));
    }
}

// ---------------------------------------------------------------------------------------------
// Joining and leaving

MemberSession::ConnectProblem MemberSession::connect(const std::string& gbkName, std::optional<Ipv4> host, Millis now)
{
    if (gbkName.size() > NameSize) return ConnectProblem::NameTooLong;
    if (gbkName.empty()) return ConnectProblem::NoName;
    // An empty or partial address would go out as 0.0.0.0, which is this machine.
    if (!host || *host == 0) return ConnectProblem::BadAddress;
    advance(now);
    memberName_ = gbkName;
    connecting_ = true;
    hostAcknowledged_ = false;
    rosterSinceConnect_ = false;
    event(Event::ConnectChanged);
    connectDeadline_ = sessionTicks_ + ConnectWaitTicks;
    deadlineArmed_ = true;
    if (!nextTick_) nextTick_ = now + TickMs;
    if (partner_ >= 0 || partnerIdentity_) {
        partner_ = -1;
        partnerIdentity_.reset();
        event(Event::PartnerChanged);
    }
    stopVoice();
    joinedHost_ = *host;
    sendJoin();
    return ConnectProblem::None;
}

void MemberSession::sendJoin()
{
    member_.ownEntry.setName(memberName_);
    const MemberEntry& own = member_.ownEntry;
    send(hostEndpoint(), makeEntryDatagram(cmd::JoinRequest, idByte(own.id), 0, Kind::ToHost, own));
}

void MemberSession::leave()
{
    releaseHeldTexts(-1);  // text written just before closing still goes
    if (!joinedHost_) return;
    const MemberEntry& own = member_.ownEntry;
    send(hostEndpoint(), makeEntryDatagram(cmd::LeaveNotice, idByte(own.id), idByte(partner_), Kind::ToHost, own));
}

// ---------------------------------------------------------------------------------------------
// Paths and chat

void MemberSession::select(int memberId)
{
    selected_ = member_.groupRoster.holds(memberId) ? memberId : -1;
    if (groupMode_ && selected_ >= 0) {
        partner_ = selected_;
        partnerIdentity_ = MemberIdentity::of(member_.groupRoster.records[selected_]);
        event(Event::PartnerChanged, partner_);
    }
}

void MemberSession::sendPathRequests(int target)
{
    if (!member_.groupRoster.holds(target)) return;
    const MemberEntry& own = member_.ownEntry;
    const Bytes opener = makeEntryDatagram(cmd::PathOpener, idByte(target), idByte(own.id), Kind::PeerToPeer, own);
    send(pathEndpoint(target), opener);
    // Behind the same router as we are, the member may be reachable only at its inside address.
    const auto inside = insideEndpoint(target);
    if (inside && pathEndpoint(target) == endpointOf(target)) send(*inside, opener);
    awaitingProbe_.insert(target);
    send(hostEndpoint(), makeEntryDatagram(cmd::PathRequest, idByte(own.id), idByte(target), Kind::ToHost, own));
}

void MemberSession::openPaths()
{
    if (groupMode_) {
        for (int i = 0; i < targets_.count; ++i)
            if (targets_.ids[i] >= 0) sendPathRequests(targets_.ids[i]);
        return;
    }
    sendPathRequests(selected_);
}

std::vector<int> MemberSession::textRecipients() const
{
    const Roster& roster = member_.groupRoster;
    std::vector<int> ids;
    if (roster.holds(partner_)) ids.push_back(partner_);
    if (!groupMode_) return ids;
    for (int id = 0; id < int(status_.size()) && roster.holds(id); ++id)
        if (status_[std::size_t(id)].ticked && id != partner_ && id != member_.ownEntry.id) ids.push_back(id);
    return ids;
}

void MemberSession::sendText(const std::string& gbkText, Millis now)
{
    advance(now);
    const std::vector<int> recipients = textRecipients();
    // Each recipient's own path must be open. Opening the voice targets' paths alone would leave
    // a partner who is not ticked (or a ninth ticked member) unreachable behind its translator.
    const bool anyClosed = recipients.empty() || std::any_of(recipients.begin(), recipients.end(),
                                                             [this](int id) { return !status(id).pathOpen; });
    if (anyClosed) openPaths();
    const auto targetsEnd = targets_.ids.begin() + targets_.count;
    for (const int id : recipients) {
        if (!status(id).pathOpen && groupMode_ && std::find(targets_.ids.begin(), targetsEnd, id) == targetsEnd)
            sendPathRequests(id);
        sendTextTo(id, gbkText, now);
    }
}

void MemberSession::sendTextTo(int memberId, const std::string& gbkText, Millis now)
{
    const bool pathOpen = status(memberId).pathOpen;
    // Texts to a member keep their order: while any wait, a new one waits behind them.
    const bool hold = !pathOpen || std::any_of(heldTexts_.begin(), heldTexts_.end(),
                                               [memberId](const HeldText& held) { return held.partner == memberId; });
    // Held text is addressed again when it goes (releaseHeldTexts), once the path has answered.
    const Endpoint to = hold ? endpointOf(memberId) : pathEndpoint(memberId);
    // A text longer than one datagram holds goes as several, each cut on a character boundary,
    // so nothing is lost and no character is split.
    std::string_view rest = gbkText;
    do {
        const std::size_t length = gbkPrefixLength(rest, MaxChatTextBytes);
        Bytes datagram = makeChatText(idByte(memberId), idByte(member_.ownEntry.id), rest.substr(0, length));
        if (hold)
            heldTexts_.push_back({memberId, {to, std::move(datagram)}});
        else
            send(to, std::move(datagram));
        rest.remove_prefix(length);
    } while (!rest.empty());
    if (hold && !heldDeadline_) heldDeadline_ = now + PathWaitMs;
}

void MemberSession::releaseHeldTexts(int partner)
{
    std::vector<HeldText> kept;
    for (HeldText& held : heldTexts_) {
        if (partner < 0 || held.partner == partner) {
            if (member_.groupRoster.holds(held.partner)) held.datagram.to = pathEndpoint(held.partner);
            output_.sends.push_back(std::move(held.datagram));
        }
        else
            kept.push_back(std::move(held));
    }
    heldTexts_ = std::move(kept);
    if (heldTexts_.empty()) heldDeadline_.reset();
}

// ---------------------------------------------------------------------------------------------
// Voice targets and talking

void MemberSession::tick(int memberId, bool ticked)
{
    if (!groupMode_ || !member_.groupRoster.holds(memberId)) return;
    MemberStatus& status = status_[std::size_t(memberId)];
    if (status.ticked == ticked) return;
    status.ticked = ticked;
    const MemberIdentity identity = MemberIdentity::of(member_.groupRoster.records[memberId]);
    std::erase(tickedMembers_, identity);
    if (ticked) tickedMembers_.push_back(identity);
    event(Event::MemberChanged, memberId);
    rebuildTargets();
}

void MemberSession::rebuildTargets()
{
    // The first 8 ticked members, in the order the list shows them (highest id at the top).
    VoiceTargetList targets;
    for (int id = member_.groupRoster.count - 1; id >= 0; --id) {
        if (!status_[std::size_t(id)].ticked) continue;
        if (targets.count < VoiceTargetList::Capacity) targets.ids[std::size_t(targets.count++)] = id;
    }
    setTargets(targets);
}

void MemberSession::setTargets(const VoiceTargetList& targets)
{
    const bool buttonBefore = voiceButtonStops();
    const bool same = targets.count == targets_.count && targets.ids == targets_.ids;
    targets_ = targets;
    if (buttonBefore != voiceButtonStops()) event(Event::TalkingChanged);
    if (same) return;
    planChanged();
    event(Event::SelectionChanged);
}

void MemberSession::setGroupMode(bool on)
{
    groupMode_ = on;
    // Check boxes belong to group mode only.
    tickedMembers_.clear();
    for (MemberStatus& status : status_) status.ticked = false;
    rebuildTargets();
    planChanged();
    event(Event::RosterChanged);
    event(Event::PartnerChanged, partner_);
    event(Event::TalkingChanged);
}

VoiceSendPlan MemberSession::sendPlan() const
{
    VoiceSendPlan plan = makeVoiceSendPlan(groupMode_, targets_, voicePartner_, member_.groupRoster, member_.ownEntry);
    for (VoiceSendPlan::Target& target : plan.targets) target.to = pathEndpoint(target.id);
    return plan;
}

void MemberSession::startVoice()
{
    if (talking_ || microphoneAsked_) return;
    microphoneAsked_ = true;
    output_.microphone = MicrophoneRequest::Start;
}

void MemberSession::microphoneStarted(bool started)
{
    if (!microphoneAsked_) return;
    microphoneAsked_ = false;
    talking_ = started;
    // Without a microphone the button keeps saying "语聊": nothing is being sent.
    if (!started) event(Event::NoMicrophone);
    event(Event::TalkingChanged);
}

void MemberSession::stopVoice()
{
    if (member_.groupRoster.holds(partner_))
        send(pathEndpoint(partner_),
             makeHeaderOnly(cmd::VoiceStopNotice, idByte(partner_), idByte(member_.ownEntry.id), Kind::PeerToPeer));
    // A start not answered yet is called off: the caller sees only the Stop.
    if (talking_ || microphoneAsked_) output_.microphone = MicrophoneRequest::Stop;
    microphoneAsked_ = false;
    if (talking_) {
        talking_ = false;
        event(Event::TalkingChanged);
    }
}

void MemberSession::voiceButton() { toggleVoice(!voiceButtonStops()); }

void MemberSession::setVoice(bool on) { toggleVoice(on); }

void MemberSession::microphoneLost()
{
    if (!talking_) return;
    stopVoice();
    event(Event::MicrophoneLost);
    event(Event::TalkingChanged);
}

void MemberSession::toggleVoice(bool wantOn)
{
    if (!groupMode_) {
        if (partner_ < 0) {
            event(Event::NoPartner);
            return;
        }
        voicePartner_ = partner_;
        voicePartnerIdentity_ = partnerIdentity_;
        planChanged();
        if (!status(selected_).pathOpen) openPaths();
    } else {
        if (targets_.count < 1) {
            event(Event::Alone);
            return;
        }
        openPaths();
    }
    if (wantOn && !talking_) {
        // TalkingChanged comes with the microphone's answer (microphoneStarted).
        startVoice();
        return;
    }
    if (!wantOn) stopVoice();
    event(Event::TalkingChanged);
}

// ---------------------------------------------------------------------------------------------
// Answers

void MemberSession::setVoiceState(int memberId, VoiceState state)
{
    if (memberId < 0 || memberId >= int(status_.size())) return;
    MemberStatus& status = status_[std::size_t(memberId)];
    if (status.voice == state) return;
    status.voice = state;
    event(Event::MemberChanged, memberId);
}

void MemberSession::answerQuestion(int memberId, bool yes)
{
    PeerSlot* slot = slots_.find(memberId);
    if (!slot) return;  // swept while the question was open
    slot->answer = yes ? VoiceAnswer::Accepted : VoiceAnswer::Refused;
    if (yes)
        tick(memberId, true);
    else
        setVoiceState(memberId, VoiceState::NotChatting);
}

bool MemberSession::answerFromPrompt(int memberId, VoiceAnswer answer)
{
    if (!slots_.setAnswer(memberId, answer)) return false;
    setVoiceState(memberId, answer == VoiceAnswer::Accepted  ? VoiceState::Chatting
                            : answer == VoiceAnswer::Refused ? VoiceState::NotChatting
                                                             : VoiceState::Waiting);
    return true;
}

bool MemberSession::answerFromOverlay(int memberId, VoiceAnswer answer)
{
    if (!slots_.setAnswer(memberId, answer)) return false;
    setVoiceState(memberId, answer == VoiceAnswer::Accepted  ? VoiceState::Chatting
                            : answer == VoiceAnswer::Refused ? VoiceState::NotChatting
                                                             : VoiceState::Prompt);
    return true;
}

void MemberSession::questionSentToOverlay(int memberId) { setVoiceState(memberId, VoiceState::NotChatting); }

}  // namespace lumo
