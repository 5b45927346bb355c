#include "core/trust/member_trust.h"

#include <algorithm>

namespace lumo {

namespace {

// What the member session sends that is a member's text or voice.
bool isTextOrVoice(ByteView datagram)
{
    if (datagram.size() < HeaderSize || datagram[3] != std::uint8_t(Kind::PeerToPeer)) return false;
    switch (datagram[0]) {
    case cmd::ChatText:
    case cmd::VoiceGroup:
    case cmd::VoiceDirect:
    case cmd::VoiceStopNotice: return true;
    default: return false;
    }
}

}  // namespace

MemberTrust::MemberTrust(const Identity& own, std::function<KeySeed()> ephemeralSeeds)
    : own_(own), seeds_(std::move(ephemeralSeeds))
{
}

void MemberTrust::setGroup(const std::string& group)
{
    if (group == group_) return;
    group_ = group;
    peers_.clear();
    vouched_.clear();
}

void MemberTrust::rosterChanged(const Roster& roster, int ownId)
{
    std::map<int, Peer> moved;
    for (auto& [id, peer] : peers_) {
        for (int next = 0; next < roster.count && next < RosterCapacity; ++next) {
            if (next == ownId || MemberIdentity::of(roster.records[next]) != peer.who) continue;
            peer.trust->setIds(idByte(next), idByte(ownId));
            for (Outgoing& held : peer.held) {
                held.bytes[1] = idByte(next);
                held.bytes[2] = idByte(ownId);
            }
            moved.emplace(next, std::move(peer));
            break;
        }
    }
    peers_ = std::move(moved);
    roster_ = roster;
    ownId_ = ownId;
    // Vouches for members that left go with them.
    std::erase_if(vouched_, [this](const auto& entry) {
        for (int i = 0; i < roster_.count && i < RosterCapacity; ++i)
            if (MemberIdentity::of(roster_.records[i]) == entry.first) return false;
        return true;
    });
}

bool MemberTrust::takeVouch(ByteView datagram, const std::vector<JoinCookieValue>& joinCookies)
{
    std::optional<std::vector<VouchedKey>> entries;
    for (const JoinCookieValue& cookie : joinCookies)
        if ((entries = readKeyVouch(datagram, vouchKeyOf(cookie, own_.publicKey())))) break;
    if (!entries) return false;
    for (const VouchedKey& entry : *entries) {
        // An entry names a record of the roster it was made with; one this roster does not
        // hold there (a vouch overtaken by a newer roster) is left for the next.
        const int id = entry.memberId;
        if (!roster_.holds(id) || id == ownId_ || joinedAt(id) != entry.at) continue;
        const MemberIdentity who = MemberIdentity::of(roster_.records[id]);
        const auto known = std::find_if(vouched_.begin(), vouched_.end(), [&who](const auto& v) { return v.first == who; });
        if (known != vouched_.end() && known->second == entry.key) continue;
        if (known != vouched_.end())
            known->second = entry.key;
        else if (vouched_.size() < std::size_t(RosterCapacity))
            vouched_.emplace_back(who, entry.key);
        const Peer* peer = peerOf(id);
        const auto proved = peer ? peer->trust->peerKey() : std::nullopt;
        const auto remembered = store_.known(group_, who.name);
        if ((remembered && *remembered != entry.key) || (proved && *proved != entry.key)) vouchedOtherKey(id, entry.key);
    }
    return true;
}

void MemberTrust::vouchedOtherKey(int memberId, const SigningPublicKey& vouched)
{
    Peer* peer = peerOf(memberId);
    if (!peer) peer = &startPeer(memberId, joinedAt(memberId), lastNow_, false);
    if (peer->keyChanged && peer->offeredKey == vouched) return;
    peer->keyChanged = true;
    peer->offeredKey = vouched;
    events_.push_back({TrustEvent::Kind::KeyChanged, memberId});
}

std::optional<SigningPublicKey> MemberTrust::vouchedKey(int memberId) const
{
    if (!roster_.holds(memberId)) return std::nullopt;
    const MemberIdentity who = MemberIdentity::of(roster_.records[memberId]);
    for (const auto& [identity, key] : vouched_)
        if (identity == who) return key;
    return std::nullopt;
}

MemberTrust::Peer& MemberTrust::startPeer(int memberId, Endpoint at, Millis now, bool sendHello)
{
    Peer peer;
    peer.who = MemberIdentity::of(roster_.records[memberId]);
    peer.at = at;
    peer.trust = std::make_unique<PeerTrust>(own_, seeds_(), idByte(memberId), idByte(ownId_), now);
    if (sendHello) sends_.push_back(Outgoing{at, peer.trust->hello()});
    return peers_.insert_or_assign(memberId, std::move(peer)).first->second;
}

void MemberTrust::pathOpened(int memberId, Endpoint at, Millis now)
{
    lastNow_ = std::max(lastNow_, now);
    if (!roster_.holds(memberId) || memberId == ownId_ || !mayHaveKeys(memberId)) return;
    if (Peer* peer = peerOf(memberId)) {
        peer->at = at;
        return;
    }
    startPeer(memberId, at, now, true);
}

MemberTrust::Peer* MemberTrust::peerOf(int memberId)
{
    const auto found = peers_.find(memberId);
    return found == peers_.end() ? nullptr : &found->second;
}

const MemberTrust::Peer* MemberTrust::peerOf(int memberId) const
{
    const auto found = peers_.find(memberId);
    return found == peers_.end() ? nullptr : &found->second;
}

void MemberTrust::outgoing(const Outgoing& datagram, Millis now)
{
    lastNow_ = std::max(lastNow_, now);
    if (!isTextOrVoice(datagram.bytes)) {
        sends_.push_back(datagram);
        return;
    }
    const bool text = datagram.bytes[0] == cmd::ChatText;
    const int memberId = datagram.bytes[1];
    Peer* peer = peerOf(memberId);
    if (!peer && text && roster_.holds(memberId) && memberId != ownId_ && mayHaveKeys(memberId)) {
        // Text before the path opened: its keys are checked first, so it never goes plain to a
        // member that could have taken it sealed.
        peer = &startPeer(memberId, datagram.to, now, true);
    }
    if (!peer) {
        sends_.push_back(datagram);  // voice before any path: nothing is known of its keys yet
        return;
    }
    if (!peer->keyChanged && peer->trust->state() == TrustState::Sealed) {
        if (auto sealed = peer->trust->seal(datagram.bytes)) sends_.push_back(Outgoing{datagram.to, std::move(*sealed)});
        return;
    }
    if (!peer->keyChanged && peer->trust->state() == TrustState::Plain) {
        sends_.push_back(datagram);
        return;
    }
    // Under way, or a changed key: text waits for the handshake or the player's word; voice is
    // live and is not kept.
    if (!text) return;
    if (peer->held.size() == MaxHeldPerMember) peer->held.erase(peer->held.begin());
    peer->held.push_back(datagram);
}

void MemberTrust::release(Peer& peer)
{
    std::vector<Outgoing> held = std::move(peer.held);
    peer.held.clear();
    for (const Outgoing& datagram : held) {
        if (peer.trust->state() == TrustState::Sealed) {
            // To where the key proved itself, whatever way the text was addressed when written.
            if (auto sealed = peer.trust->seal(datagram.bytes)) sends_.push_back(Outgoing{peer.at, std::move(*sealed)});
        } else {
            sends_.push_back(datagram);
        }
    }
}

void MemberTrust::note(const PeerTrust::Step& step, Peer& peer, int memberId)
{
    for (const Bytes& bytes : step.sends) sends_.push_back(Outgoing{peer.at, bytes});
    if (step.becameSealed) {
        store_.meet(group_, peer.who.name, *peer.trust->peerKey());
        events_.push_back({TrustEvent::Kind::Sealed, memberId});
        release(peer);
    }
    if (step.becamePlain) {
        if (store_.known(group_, peer.who.name)) {
            // It had proved a key here before: a plain answer now is not taken silently.
            peer.keyChanged = true;
            peer.offeredKey.reset();
            events_.push_back({TrustEvent::Kind::KeyChanged, memberId});
        } else {
            events_.push_back({TrustEvent::Kind::Plain, memberId});
            release(peer);
        }
    }
}

std::optional<Bytes> MemberTrust::receive(int memberId, ByteView datagram, Endpoint source, Millis now)
{
    lastNow_ = std::max(lastNow_, now);
    const auto record = trustRecordOf(datagram);
    if (!record || !roster_.holds(memberId) || memberId == ownId_) return std::nullopt;
    std::optional<Hello> hello;
    if (record == TrustRecord::Hello) {
        hello = readHello(datagram);
        if (!hello) return std::nullopt;
        // The host vouched for another key: whoever this is, it is not that member. Nothing is
        // raised against the member, and its handshake keeps waiting for the vouched key.
        const auto vouched = vouchedKey(memberId);
        if (vouched && *vouched != hello->identity) return std::nullopt;
    }
    Peer* peer = peerOf(memberId);
    if (!peer) {
        if (!hello) return std::nullopt;
        peer = &startPeer(memberId, source, now, false);  // it opened first
    }
    switch (*record) {
    case TrustRecord::Hello: {
        const auto remembered = store_.known(group_, peer->who.name);
        if (remembered && *remembered != hello->identity) {
            if (!peer->keyChanged || peer->offeredKey != hello->identity) {
                peer->keyChanged = true;
                peer->offeredKey = hello->identity;
                events_.push_back({TrustEvent::Kind::KeyChanged, memberId});
            }
            return std::nullopt;
        }
        if (peer->keyChanged && !peer->offeredKey) peer->keyChanged = false;  // the remembered key is back
        note(peer->trust->acceptHello(*hello), *peer, memberId);
        return std::nullopt;
    }
    case TrustRecord::Proof:
        if (!peer->keyChanged) note(peer->trust->receiveProof(datagram), *peer, memberId);
        return std::nullopt;
    case TrustRecord::Sealed: {
        if (peer->keyChanged) return std::nullopt;
        Bytes opened;
        const PeerTrust::Step step = peer->trust->openSealed(datagram, opened);
        note(step, *peer, memberId);
        if (step.fault != TrustFault::None) return std::nullopt;
        return opened;
    }
    }
    return std::nullopt;
}

bool MemberTrust::mayHaveKeys(int memberId) const
{
    if (!roster_.holds(memberId)) return false;
    const MemberEntry& record = roster_.records[memberId];
    return record.reserved == KeysMark || store_.known(group_, record.nameBytes()).has_value();
}

void MemberTrust::leaving()
{
    for (auto& [id, peer] : peers_) {
        if (!peer.keyChanged && peer.trust->state() != TrustState::Sealed)
            for (const Outgoing& held : peer.held) sends_.push_back(held);
        peer.held.clear();
    }
}

bool MemberTrust::refusesPlain(int memberId, Endpoint source) const
{
    const Peer* peer = peerOf(memberId);
    if (!peer) return mayHaveKeys(memberId) && source != joinedAt(memberId);
    return peer->keyChanged || peer->trust->state() != TrustState::Plain;
}

Endpoint MemberTrust::joinedAt(int memberId) const
{
    const MemberEntry& record = roster_.records[memberId];
    return {record.publicAddress, record.publicPort};
}

bool MemberTrust::voiceGoesPlain(int memberId) const
{
    const Peer* peer = peerOf(memberId);
    return !peer || (!peer->keyChanged && peer->trust->state() == TrustState::Plain);
}

std::optional<Bytes> MemberTrust::sealVoice(int memberId, ByteView plain)
{
    Peer* peer = peerOf(memberId);
    if (!peer || peer->keyChanged) return std::nullopt;
    return peer->trust->seal(plain);
}

void MemberTrust::acceptChangedKey(int memberId)
{
    Peer* peer = peerOf(memberId);
    if (!peer || !peer->keyChanged) return;
    peer->keyChanged = false;
    if (!peer->offeredKey) {
        // It speaks plain now, and the player takes that.
        release(*peer);
        return;
    }
    store_.accept(group_, peer->who.name, *peer->offeredKey);
    // A fresh handshake: the one that met the changed key took nothing from it.
    std::vector<Outgoing> held = std::move(peer->held);
    Peer& restarted = startPeer(memberId, peer->at, lastNow_, true);
    restarted.held = std::move(held);
}

void MemberTrust::advance(Millis now)
{
    lastNow_ = now;
    // A member whose key changed waits for the player's word, not for time.
    std::vector<int> unproved;
    for (auto& [id, peer] : peers_) {
        if (peer.keyChanged) continue;
        PeerTrust::Step step = peer.trust->advance(now);
        // Only the endpoint the host saw join may turn out to speak plain: a member whose
        // record announces keys and who stays silent elsewhere is somebody else.
        if (step.becamePlain && roster_.records[id].reserved == KeysMark && peer.at != joinedAt(id)) {
            unproved.push_back(id);
            continue;
        }
        note(step, peer, id);
    }
    // The handshake starts again where the member joined from; its held text keeps waiting.
    for (const int id : unproved) {
        std::vector<Outgoing> held = std::move(peers_.at(id).held);
        for (Outgoing& datagram : held) datagram.to = joinedAt(id);
        startPeer(id, joinedAt(id), now, true).held = std::move(held);
        unproved_.push_back(id);
    }
}

std::optional<Millis> MemberTrust::nextDeadline() const
{
    std::optional<Millis> next;
    for (const auto& [id, peer] : peers_) {
        // advance() leaves a changed key to the player: its handshake's deadline would stay due
        // and wake the caller again and again.
        if (peer.keyChanged) continue;
        const auto due = peer.trust->nextDeadline();
        if (due && (!next || *due < *next)) next = due;
    }
    return next;
}

std::vector<Outgoing> MemberTrust::takeSends() { return std::exchange(sends_, {}); }
std::vector<TrustEvent> MemberTrust::takeEvents() { return std::exchange(events_, {}); }
std::vector<int> MemberTrust::takeUnproved() { return std::exchange(unproved_, {}); }

PeerKeyState MemberTrust::keyState(int memberId) const
{
    const Peer* peer = peerOf(memberId);
    if (!peer) return roster_.holds(memberId) && !mayHaveKeys(memberId) ? PeerKeyState::Plain : PeerKeyState::None;
    if (peer->keyChanged) return PeerKeyState::KeyChanged;
    switch (peer->trust->state()) {
    case TrustState::Waiting: return PeerKeyState::Checking;
    case TrustState::Sealed: return PeerKeyState::Sealed;
    case TrustState::Plain: return PeerKeyState::Plain;
    }
    return PeerKeyState::None;
}

std::optional<SigningPublicKey> MemberTrust::peerKey(int memberId) const
{
    const Peer* peer = peerOf(memberId);
    if (!peer) return std::nullopt;
    if (peer->offeredKey) return peer->offeredKey;
    return peer->trust->peerKey();
}

std::optional<SigningPublicKey> MemberTrust::rememberedKey(int memberId) const
{
    if (!roster_.holds(memberId)) return std::nullopt;
    return store_.known(group_, roster_.records[memberId].nameBytes());
}

}  // namespace lumo
