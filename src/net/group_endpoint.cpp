#include "net/group_endpoint.h"

#include "core/group/local_addresses.h"
#include "core/group/message_route.h"

#include <QLoggingCategory>
#include <QFile>
#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>

// What is sent, received and dropped, and why (debug level: --verbose or QT_LOGGING_RULES).
// Voice blocks are not logged one by one; voice streams starting and ending are, under lumo.voice.
Q_LOGGING_CATEGORY(lumoNet, "lumo.net", QtInfoMsg)
Q_LOGGING_CATEGORY(lumoVoice, "lumo.voice", QtInfoMsg)

namespace lumo {

namespace {

// This machine's IPv4 addresses, the one to show as this client's own first.
std::vector<Ipv4> localAddresses(std::optional<Ipv4> bindAddress)
{
    std::vector<Ipv4> found;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        bool isIpv4 = false;
        const Ipv4 value = address.toIPv4Address(&isIpv4);
        if (isIpv4) found.push_back(value);
    }
    return orderLocalAddresses(found, bindAddress);
}

bool isVoice(Message message) { return message == Message::VoiceGroup || message == Message::VoiceDirect; }

bool isTextOrVoice(Message message)
{
    return isVoice(message) || message == Message::ChatText || message == Message::VoiceStopNotice;
}

QString endpointText(Endpoint endpoint)
{
    return QStringLiteral("%1:%2").arg(QString::fromStdString(dottedAddress(endpoint.address))).arg(endpoint.port);
}

// The name of what a datagram announces, for the log.
const char* announcedName(const WireRead& read)
{
    return read.announced ? messageName(*read.announced) : "an unknown command";
}

void logSends(const char* from, const std::vector<Outgoing>& sends)
{
    if (!lumoNet().isDebugEnabled()) return;
    for (const Outgoing& out : sends) {
        const WireRead read = readMessage(out.bytes);
        if (read.announced && isVoice(*read.announced)) continue;
        qCDebug(lumoNet).noquote() << "sent" << announcedName(read) << "from the" << from << "port to"
                                   << endpointText(out.to) << QStringLiteral("(%1 bytes)").arg(out.bytes.size());
    }
}

}  // namespace

GroupEndpoint::GroupEndpoint(std::optional<Ipv4> bindAddress, QObject* parent)
    : QObject(parent), bindAddress_(bindAddress)
{
    clock_.start();
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, &GroupEndpoint::runDeadline);

    heardTimer_ = new QTimer(this);
    heardTimer_->setSingleShot(true);
    connect(heardTimer_, &QTimer::timeout, this, &GroupEndpoint::flushVoiceHeard);

    const std::vector<Ipv4> addresses = localAddresses(bindAddress);
    session_.setOwnLocalAddress(addresses.empty() ? 0 : addresses[0]);
    secondLocalAddress_ = addresses.size() > 1 ? addresses[1] : 0;

    // Both sockets take every message: requests to a host go to the host table, which answers
    // from the host port, whichever port they came in on.
    const Ipv4 address = bindAddress.value_or(0);
    trust_ = std::make_unique<MemberTrust>(Identity::fromSeed(randomSeed()), [] { return randomSeed(); });
    memberSocket_ = std::make_unique<PeerSocket>([this](ByteView datagram, Endpoint source) { onDatagram(datagram, source); });
    memberSocket_->bind(address, MemberPort);
    hostSocket_ = std::make_unique<PeerSocket>([this](ByteView datagram, Endpoint source) { onDatagram(datagram, source); });
    hostSocket_->bind(address, HostPort);
    publishSendPlan();
}

GroupEndpoint::~GroupEndpoint() = default;

bool GroupEndpoint::socketsBound() const { return memberSocket_->isBound() && hostSocket_->isBound(); }

std::optional<BindProblem> GroupEndpoint::bindProblem() const
{
    for (const PeerSocket* socket : {memberSocket_.get(), hostSocket_.get()})
        if (!socket->isBound()) return BindProblem{bindAddress_, socket->port(), socket->bindError(), socket->bindErrorText()};
    return std::nullopt;
}

void GroupEndpoint::skipTime(Millis ms)
{
    skipped_ += ms;
    scheduledDeadline_.reset();  // the running timer counts real time: it is set again
    runDeadline();
    emit timeSkipped();
}

// ---------------------------------------------------------------------------------------------
// Datagrams

void GroupEndpoint::onDatagram(ByteView datagram, Endpoint source)
{
    if (trustRecordOf(datagram)) {
        onTrustRecord(datagram, source);
        apply();
        return;
    }
    if (isJoinCookie(datagram) || isKeyedJoin(datagram)) {
        onKeyedJoin(datagram, source);
        return;
    }
    if (isKeyVouch(datagram)) {
        onKeyVouch(datagram, source);
        apply();
        return;
    }
    const WireRead read = readMessage(datagram);
    if (!read.message) {
        qCDebug(lumoNet).noquote() << "dropped" << announcedName(read) << "from" << endpointText(source)
                                   << QStringLiteral("(%1 bytes):").arg(datagram.size()) << describe(dropReasonOf(read.fault));
        return;
    }
    const WireMessage& message = *read.message;
    const char* name = messageName(message.message);
    switch (handlerOf(message.message)) {
    case Handler::HostTable: {
        const HostReply reply = hostTable_.receive(message, source, now());
        if (reply.dropped != DropReason::None)
            qCDebug(lumoNet).noquote() << "host dropped" << name << "from" << endpointText(source)
                                       << QStringLiteral("(%1 bytes):").arg(datagram.size()) << describe(reply.dropped);
        else
            qCDebug(lumoNet).noquote() << "host received" << name << "from" << endpointText(source);
        for (const std::string& left : reply.leftNames) emit memberLeftHost(left);
        sendFromHost(reply);
        break;
    }
    case Handler::MemberSession: {
        if (isTextOrVoice(message.message)) {
            const std::lock_guard<std::mutex> guard(trustLock_);
            if (trust_->refusesPlain(message.header.secondId, source)) {
                qCDebug(lumoNet).noquote() << "dropped plain" << name << "from" << endpointText(source)
                                           << ": that member speaks keys, or its key changed";
                break;
            }
        }
        const DropReason dropped = session_.receive(message, source, now());
        if (dropped != DropReason::None)
            qCDebug(lumoNet).noquote() << "dropped" << name << "from" << endpointText(source)
                                       << QStringLiteral("(%1 bytes):").arg(datagram.size()) << describe(dropped);
        else if (!isVoice(message.message))
            qCDebug(lumoNet).noquote() << "received" << name << "from" << endpointText(source)
                                       << QStringLiteral("(%1 bytes)").arg(datagram.size());
        break;
    }
    }
    apply();
}

void GroupEndpoint::onKeyedJoin(ByteView datagram, Endpoint source)
{
    if (isKeyedJoin(datagram)) {
        const HostReply reply = hostTable_.receiveKeyedJoin(datagram, source, now());
        if (reply.dropped != DropReason::None)
            qCDebug(lumoNet).noquote() << "host dropped a keyed join from" << endpointText(source) << ":" << describe(reply.dropped);
        else
            qCDebug(lumoNet).noquote() << "host received a keyed join from" << endpointText(source);
        for (const std::string& left : reply.leftNames) emit memberLeftHost(left);
        sendFromHost(reply);
        scheduleDeadline();
        return;
    }
    // The host asks this joiner to show it receives here: the join goes again, signed.
    const Endpoint host{session_.joinedHost().value_or(0), HostPort};
    std::optional<Bytes> answer;
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        answer = keyedJoiner_.answer(datagram, source, host, session_.connecting(), trust_->identity(), session_.ownEntry());
    }
    if (!answer) {
        qCDebug(lumoNet).noquote() << "dropped a join cookie from" << endpointText(source) << ": no join of ours waits for it there";
        return;
    }
    logSends("member", {Outgoing{host, *answer}});
    memberSocket_->sendTo(*answer, host);
}

void GroupEndpoint::onKeyVouch(ByteView datagram, Endpoint source)
{
    bool taken = false;
    if (session_.joinedHost() && source == Endpoint{*session_.joinedHost(), HostPort}) {
        const std::lock_guard<std::mutex> guard(trustLock_);
        taken = trust_->takeVouch(datagram, keyedJoiner_.answered());
    }
    if (!taken) {
        qCDebug(lumoNet).noquote() << "dropped a key vouch from" << endpointText(source) << ": not our host's, or not for our join";
        return;
    }
    qCDebug(lumoNet).noquote() << "the host vouched for members' keys";
    flushTrust();
}

void GroupEndpoint::onTrustRecord(ByteView datagram, Endpoint source)
{
    const int memberId = datagram[2];
    const bool fromMember = session_.roster().holds(memberId) && session_.pathEndpoint(memberId) == source;
    if (!fromMember) {
        qCDebug(lumoNet).noquote() << "dropped a handshake record from" << endpointText(source)
                                   << ": not where that member is reached";
        return;
    }
    std::optional<Bytes> opened;
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        opened = trust_->receive(memberId, datagram, source, now());
    }
    flushTrust();
    if (!opened) return;
    const WireRead read = readMessage(*opened);
    if (!read.message || handlerOf(read.message->message) != Handler::MemberSession) return;
    const DropReason dropped = session_.receive(*read.message, source, now());
    if (dropped != DropReason::None)
        qCDebug(lumoNet).noquote() << "dropped sealed" << messageName(read.message->message) << "from"
                                   << endpointText(source) << ":" << describe(dropped);
}

void GroupEndpoint::sendThroughTrust(const std::vector<Outgoing>& sends)
{
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        for (const Outgoing& out : sends) trust_->outgoing(out, now());
    }
    flushTrust();
}

void GroupEndpoint::flushTrust()
{
    std::vector<Outgoing> sends;
    std::vector<TrustEvent> events;
    std::vector<int> unproved;
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        sends = trust_->takeSends();
        events = trust_->takeEvents();
        unproved = trust_->takeUnproved();
    }
    for (const int memberId : unproved) {
        qCDebug(lumoNet).noquote() << "member" << memberId << "answered elsewhere than it joined from and never proved its key there";
        session_.keyUnproved(memberId);
    }
    if (!events.empty() || !unproved.empty()) followKeys();
    logSends("member", sends);
    if (sends.size() == 1) memberSocket_->sendTo(sends[0].bytes, sends[0].to);
    else if (!sends.empty()) memberSocket_->sendBatchFromAnyThread(sends);
    for (const TrustEvent& event : events) {
        static const char* const Words[] = {"proved its key: text and voice are sealed", "speaks plain",
                                            "proved another key than the one remembered"};
        qCDebug(lumoNet).noquote() << "member" << event.memberId << Words[int(event.kind)];
        emit trustChanged(event);
        emit sessionEvent(SessionEvent{SessionEvent::Kind::MemberChanged, event.memberId, {}});
    }
}

// Keeps the handshakes in step with the session: the group joined, its roster, open paths.
void GroupEndpoint::followSession(const SessionOutput& out)
{
    const std::lock_guard<std::mutex> guard(trustLock_);
    if (session_.joinedHost() != trustGroup_) {
        trustGroup_ = session_.joinedHost();
        trust_->setGroup(trustGroup_ ? dottedAddress(*trustGroup_) : std::string());
    }
    for (const SessionEvent& event : out.events) {
        if (event.kind == SessionEvent::Kind::RosterChanged)
            trust_->rosterChanged(session_.roster(), session_.ownEntry().id);
    }
    for (int id = 0; id < session_.roster().count && id < RosterCapacity; ++id)
        if (session_.status(id).confirmed) trust_->pathOpened(id, session_.pathEndpoint(id), now());
}

void GroupEndpoint::followKeys()
{
    // The session's paths to members that speak keys open once their keys decided.
    const std::lock_guard<std::mutex> guard(trustLock_);
    for (int id = 0; id < session_.roster().count && id < RosterCapacity; ++id) {
        if (id == session_.ownEntry().id) continue;
        if (trust_->mayHaveKeys(id)) session_.expectKey(id);
        const PeerKeyState state = trust_->keyState(id);
        session_.keyDecided(id, state == PeerKeyState::Sealed || state == PeerKeyState::Plain);
    }
}

void GroupEndpoint::useIdentity(const Identity& identity, const std::string& trustFileText)
{
    const std::lock_guard<std::mutex> guard(trustLock_);
    trust_ = std::make_unique<MemberTrust>(identity, [] { return randomSeed(); });
    trust_->store() = TrustStore::fromText(trustFileText);
    trustGroup_.reset();
}

SigningPublicKey GroupEndpoint::ownKey() const
{
    const std::lock_guard<std::mutex> guard(trustLock_);
    return trust_->identity().publicKey();
}

PeerKeyState GroupEndpoint::keyState(int memberId) const
{
    const std::lock_guard<std::mutex> guard(trustLock_);
    return trust_->keyState(memberId);
}

std::optional<SigningPublicKey> GroupEndpoint::peerKey(int memberId) const
{
    const std::lock_guard<std::mutex> guard(trustLock_);
    return trust_->peerKey(memberId);
}

std::optional<SigningPublicKey> GroupEndpoint::rememberedKey(int memberId) const
{
    const std::lock_guard<std::mutex> guard(trustLock_);
    return trust_->rememberedKey(memberId);
}

void GroupEndpoint::acceptChangedKey(int memberId)
{
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        trust_->acceptChangedKey(memberId);
    }
    flushTrust();
    followKeys();
    emit sessionEvent(SessionEvent{SessionEvent::Kind::MemberChanged, memberId, {}});
    apply();
}

std::string GroupEndpoint::trustFileText() const
{
    const std::lock_guard<std::mutex> guard(trustLock_);
    return trust_->store().toText();
}

void GroupEndpoint::sendFromHost(const HostReply& reply)
{
    logSends("host", reply.sends);
    // An Ack and what goes with it (a roster to every member, path probes) in one sendmmsg.
    if (reply.sends.size() == 1) hostSocket_->sendTo(reply.sends[0].bytes, reply.sends[0].to);
    else if (!reply.sends.empty()) hostSocket_->sendBatchFromAnyThread(reply.sends);
}

void GroupEndpoint::apply()
{
    // An event may lead to further commands (the overlay taking a question): they are carried
    // out by the loop that is running rather than by a nested one, so events keep their order.
    if (applying_) return;
    applying_ = true;
    for (SessionOutput out = session_.takeOutput(); !out.empty(); out = session_.takeOutput()) {
        for (const int slot : out.releasedSlots)
            qCDebug(lumoVoice) << "voice slot" << slot << "released: its member has been silent";
        followSession(out);
        // A new roster or a path that answered: which members speak keys, and who proved it.
        if (std::any_of(out.events.begin(), out.events.end(), [](const SessionEvent& event) {
                return event.kind == SessionEvent::Kind::RosterChanged || event.kind == SessionEvent::Kind::MemberChanged;
            }))
            followKeys();
        sendThroughTrust(out.sends);
        switchMicrophone(out.microphone);
        for (const int slot : out.releasedSlots) emit slotReleased(slot);
        for (const VoicePlayback& playback : out.playback) emit playbackRequested(playback);
        if (out.sendPlanChanged) publishSendPlan();
        for (const SessionEvent& event : out.events) {
            switch (event.kind) {
            case SessionEvent::Kind::RosterChanged:
                // Held VoiceHeard events name ids of the old roster: they are dropped.
                heardHeld_.fill(false);
                heardTold_.fill(std::nullopt);
                break;
            case SessionEvent::Kind::VoiceHeard: voiceHeard(event.memberId); continue;
            case SessionEvent::Kind::GroupFull:
                qCDebug(lumoNet) << "the host acknowledged the join but sent no roster: the group is full";
                break;
            case SessionEvent::Kind::HostGone:
                qCDebug(lumoNet) << "the host left three roster requests unanswered: it has gone";
                break;
            case SessionEvent::Kind::TalkingChanged:
                qCDebug(lumoVoice) << (session_.voiceButtonStops() ? "talking started" : "talking stopped");
                break;
            default: break;
            }
            emit sessionEvent(event);
        }
    }
    applying_ = false;
    scheduleDeadline();
}

void GroupEndpoint::switchMicrophone(MicrophoneRequest request)
{
    switch (request) {
    case MicrophoneRequest::None: return;
    case MicrophoneRequest::Stop:
        if (microphoneSwitch_) microphoneSwitch_(false);
        return;
    case MicrophoneRequest::Start: {
        const bool started = microphoneSwitch_ && microphoneSwitch_(true);
        if (!started) qCDebug(lumoVoice) << "the microphone would not start";
        session_.microphoneStarted(started);
        return;
    }
    }
}

void GroupEndpoint::runDeadline()
{
    const Millis at = now();
    session_.advance(at);
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        trust_->advance(at);
    }
    flushTrust();
    // Members that fell silent are removed on the host table's deadline: the status line says so.
    const HostReply reply = hostTable_.advance(at);
    for (const std::string& left : reply.leftNames) emit memberLeftHost(left);
    sendFromHost(reply);
    apply();
}

void GroupEndpoint::scheduleDeadline()
{
    // The earlier of what the session and the host table wait for.
    std::optional<Millis> next = session_.nextDeadline();
    if (const auto host = hostTable_.nextDeadline(); host && (!next || *host < *next)) next = host;
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        if (const auto keys = trust_->nextDeadline(); keys && (!next || *keys < *next)) next = keys;
    }
    if (!next) {
        deadline_->stop();
        scheduledDeadline_.reset();
        return;
    }
    // Most datagrams leave the deadline where it was: the timer is then left running rather
    // than registered with the event dispatcher anew.
    if (deadline_->isActive() && scheduledDeadline_ == next) return;
    scheduledDeadline_ = next;
    deadline_->start(int(std::max<Millis>(0, *next - now())));
}

void GroupEndpoint::voiceHeard(int memberId)
{
    if (memberId < 0 || memberId >= RosterCapacity) {
        emit sessionEvent(SessionEvent{SessionEvent::Kind::VoiceHeard, memberId, {}});
        return;
    }
    const std::size_t id = std::size_t(memberId);
    const Millis at = now();
    if (!heardTold_[id] || at - *heardTold_[id] >= VoiceHeardPeriodMs) {
        heardTold_[id] = at;
        heardHeld_[id] = false;
        emit sessionEvent(SessionEvent{SessionEvent::Kind::VoiceHeard, memberId, {}});
        return;
    }
    heardHeld_[id] = true;
    const Millis due = *heardTold_[id] + VoiceHeardPeriodMs - at;
    if (!heardTimer_->isActive() || heardTimer_->remainingTime() > due) heardTimer_->start(int(due));
}

void GroupEndpoint::flushVoiceHeard()
{
    const Millis at = now();
    std::optional<Millis> nextDue;
    for (std::size_t id = 0; id < heardHeld_.size(); ++id) {
        if (!heardHeld_[id]) continue;
        const Millis due = *heardTold_[id] + VoiceHeardPeriodMs;
        if (at >= due) {
            heardHeld_[id] = false;
            heardTold_[id] = at;
            emit sessionEvent(SessionEvent{SessionEvent::Kind::VoiceHeard, int(id), {}});
        } else if (!nextDue || due < *nextDue) {
            nextDue = due;
        }
    }
    if (nextDue) heardTimer_->start(int(*nextDue - at));
}

// ---------------------------------------------------------------------------------------------
// Voice going out

void GroupEndpoint::publishSendPlan()
{
    auto plan = std::make_shared<const VoiceSendPlan>(session_.sendPlan());
    const std::lock_guard<std::mutex> guard(sendPlanLock_);
    sendPlan_ = std::move(plan);
}

void GroupEndpoint::sendVoiceBlock(const VoiceRecord& record)
{
    // Runs on the capture thread: the block goes by the plan in force.
    std::shared_ptr<const VoiceSendPlan> plan;
    {
        const std::lock_guard<std::mutex> guard(sendPlanLock_);
        plan = sendPlan_;
    }
    if (!plan) return;
    // One sendmmsg for every target of the block: plain members get the block as it is, sealed
    // ones sealed, and a member whose handshake is under way (or whose key changed) nothing.
    plan->fill(record, voiceBlock_);
    std::array<OutgoingView, VoiceSendPlan::Block::Capacity> views;
    std::size_t count = 0;
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        for (int i = 0; i < voiceBlock_.count; ++i) {
            const auto& bytes = voiceBlock_.bytes[std::size_t(i)];
            const int memberId = bytes[1];
            if (trust_->voiceGoesPlain(memberId)) {
                views[count++] = {voiceBlock_.to[std::size_t(i)], ByteView(bytes)};
            } else if (auto sealed = trust_->sealVoice(memberId, bytes)) {
                sealedVoice_[std::size_t(i)] = std::move(*sealed);
                views[count++] = {voiceBlock_.to[std::size_t(i)], ByteView(sealedVoice_[std::size_t(i)])};
            }
        }
    }
    if (count > 0) memberSocket_->sendBatchFromAnyThread(std::span<const OutgoingView>(views.data(), count));
}

// ---------------------------------------------------------------------------------------------
// Commands: each is handed to the session, then what it produced is carried out.

void GroupEndpoint::refreshOwnAddress()
{
    if (bindAddress_) return;
    const std::vector<Ipv4> addresses = localAddresses(std::nullopt);
    if (!addresses.empty()) setOwnAddress(addresses.front());
}

NetworkIdentity GroupEndpoint::currentNetwork()
{
    std::vector<Ipv4> addresses;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        bool isIpv4 = false;
        const Ipv4 value = address.toIPv4Address(&isIpv4);
        if (isIpv4) addresses.push_back(value);
    }
    QFile routes(QStringLiteral("/proc/net/route"));
    QByteArray table;
    if (routes.open(QIODevice::ReadOnly)) table = routes.read(256 * 1024);  // bounded: a table is a few KB
    return networkIdentity(std::move(addresses), std::string_view(table.constData(), std::size_t(table.size())));
}

MemberSession::ConnectProblem GroupEndpoint::connectTo(const std::string& gbkName, std::optional<Ipv4> host)
{
    session_.setOwnReserved(KeysMark);  // tells other LUMO members that this one speaks keys
    keyedJoiner_.joinSent();
    const auto problem = session_.connect(gbkName, host, now());
    apply();
    return problem;
}

void GroupEndpoint::select(int memberId)
{
    session_.select(memberId);
    apply();
}

void GroupEndpoint::openPaths()
{
    session_.openPaths();
    apply();
}

void GroupEndpoint::sendText(const std::string& gbkText)
{
    session_.sendText(gbkText, now());
    apply();
}

void GroupEndpoint::tick(int memberId, bool ticked)
{
    session_.tick(memberId, ticked);
    apply();
}

void GroupEndpoint::voiceButton()
{
    session_.voiceButton();
    apply();
}

void GroupEndpoint::setVoice(bool on)
{
    session_.setVoice(on);
    apply();
}

void GroupEndpoint::setGroupMode(bool on)
{
    session_.setGroupMode(on);
    apply();
}

void GroupEndpoint::answerQuestion(int memberId, bool yes)
{
    session_.answerQuestion(memberId, yes);
    apply();
}

void GroupEndpoint::answerFromPrompt(int memberId, VoiceAnswer answer)
{
    session_.answerFromPrompt(memberId, answer);
    apply();
}

bool GroupEndpoint::answerFromOverlay(int memberId, VoiceAnswer answer)
{
    const bool answered = session_.answerFromOverlay(memberId, answer);
    apply();
    return answered;
}

void GroupEndpoint::questionSentToOverlay(int memberId)
{
    session_.questionSentToOverlay(memberId);
    apply();
}

void GroupEndpoint::microphoneLost()
{
    session_.microphoneLost();
    apply();
}

void GroupEndpoint::leave()
{
    session_.leave();
    apply();
    {
        const std::lock_guard<std::mutex> guard(trustLock_);
        trust_->leaving();
    }
    flushTrust();
}

}  // namespace lumo
