#include "net/group_endpoint.h"

#include "core/group/local_addresses.h"
#include "core/group/message_route.h"

#include <QLoggingCategory>
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
        logSends("member", out.sends);
        for (const int slot : out.releasedSlots)
            qCDebug(lumoVoice) << "voice slot" << slot << "released: its member has been silent";
        if (out.sends.size() == 1) memberSocket_->sendTo(out.sends[0].bytes, out.sends[0].to);
        else if (!out.sends.empty()) memberSocket_->sendBatchFromAnyThread(out.sends);
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
    // One sendmmsg for every target of the block.
    plan->fill(record, voiceBlock_);
    std::array<OutgoingView, VoiceSendPlan::Block::Capacity> views;
    for (int i = 0; i < voiceBlock_.count; ++i)
        views[std::size_t(i)] = {voiceBlock_.to[std::size_t(i)], ByteView(voiceBlock_.bytes[std::size_t(i)])};
    memberSocket_->sendBatchFromAnyThread(std::span<const OutgoingView>(views.data(), std::size_t(voiceBlock_.count)));
}

// ---------------------------------------------------------------------------------------------
// Commands: each is handed to the session, then what it produced is carried out.

MemberSession::ConnectProblem GroupEndpoint::connectTo(const std::string& gbkName, std::optional<Ipv4> host)
{
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
}

}  // namespace lumo
