#include "net/group_endpoint.h"

#include "core/group/local_addresses.h"
#include "core/voice/sound_choices.h"
#include "voice/voice_capture.h"
#include "voice/voice_player.h"

#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>
#include <functional>

// What is sent, received and dropped, and why (debug level: --verbose or QT_LOGGING_RULES).
// Voice blocks are not logged one by one; voice streams starting and ending are, under lumo.voice.
Q_LOGGING_CATEGORY(lumoNet, "lumo.net", QtInfoMsg)
Q_LOGGING_CATEGORY(lumoVoice, "lumo.voice", QtInfoMsg)

namespace lumo {

// The session's microphone: the capture device, with talking switched on while it runs;
// `recording` hears when it starts and stops (the endpoint watches it for stalls meanwhile).
class GroupEndpoint::CaptureInput : public VoiceInput {
public:
    CaptureInput(VoiceCapture& capture, std::function<void(bool)> recording)
        : capture_(capture), recording_(std::move(recording))
    {
    }
    bool start() override
    {
        capture_.setEnabled(true);
        if (capture_.StartAll()) {
            recording_(true);
            return true;
        }
        capture_.setEnabled(false);
        return false;
    }
    void stop() override
    {
        capture_.StopAll();
        capture_.setEnabled(false);
        recording_(false);
    }

private:
    VoiceCapture& capture_;
    std::function<void(bool)> recording_;
};

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

const char* messageName(ByteView datagram)
{
    const auto header = readHeader(datagram);
    const auto message = header ? identify(*header) : std::nullopt;
    if (!message) return "an unknown command";
    switch (*message) {
    case Message::JoinRequest: return "JoinRequest";
    case Message::RosterRequest: return "RosterRequest";
    case Message::LeaveNotice: return "LeaveNotice";
    case Message::PathRequest: return "PathRequest";
    case Message::VoiceStopNotice: return "VoiceStopNotice";
    case Message::PathOpener: return "PathOpener";
    case Message::ChatText: return "ChatText";
    case Message::PathConfirm: return "PathConfirm";
    case Message::MemberPathProbe: return "MemberPathProbe";
    case Message::VoiceDirect: return "VoiceDirect";
    case Message::VoiceGroup: return "VoiceGroup";
    case Message::Ack: return "Ack";
    case Message::RosterUpdate: return "RosterUpdate";
    case Message::HostPathProbe: return "HostPathProbe";
    }
    return "an unknown command";
}

bool isVoiceBlock(ByteView datagram)
{
    return !datagram.empty() && (datagram[0] == cmd::VoiceDirect || datagram[0] == cmd::VoiceGroup);
}

QString endpointText(Endpoint endpoint)
{
    return QStringLiteral("%1:%2").arg(QString::fromStdString(dottedAddress(endpoint.address))).arg(endpoint.port);
}

// Why the session refused a datagram, from which of its counters moved.
const char* sessionDropReason(const SessionDropCounts& before, const SessionDropCounts& after)
{
    if (after.notFromHost > before.notFromHost) return "a host's message not from port 3555 of the joined host";
    if (after.notFromMember > before.notFromMember) return "a member's message not from where the roster records that member";
    return "malformed: fails the length or id checks";
}

const char* hostDropReason(const HostDropCounts& before, const HostDropCounts& after)
{
    if (after.rateLimited > before.rateLimited) return "its source asks more often than allowed";
    if (after.notAMember > before.notAMember) return "no member is recorded at its source";
    if (after.sourceFull > before.sourceFull) return "its source already holds enough members";
    if (after.malformed > before.malformed) return "malformed: too short, or not a request";
    return nullptr;
}

void logSends(const char* from, const std::vector<Outgoing>& sends)
{
    if (!lumoNet().isDebugEnabled()) return;
    for (const Outgoing& out : sends)
        if (!isVoiceBlock(out.bytes))
            qCDebug(lumoNet).noquote() << "sent" << messageName(out.bytes) << "from the" << from << "port to"
                                       << endpointText(out.to) << QStringLiteral("(%1 bytes)").arg(out.bytes.size());
}

}  // namespace

GroupEndpoint::GroupEndpoint(std::optional<Ipv4> bindAddress, AudioSystem& audio, QObject* parent)
    : QObject(parent),
      audio_(audio),
      bindAddress_(bindAddress),
      capture_(std::make_unique<VoiceCapture>(audio)),
      captureInput_(std::make_unique<CaptureInput>(*capture_, [this](bool on) { watchCaptureWhile(on); })),
      session_(captureInput_.get()),
      pipeServer_(static_cast<OverlayLinkOwner&>(*this))
{
    clock_.start();
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, [this] {
        session_.advance(now());
        apply();
    });

    captureWatch_ = new QTimer(this);
    connect(captureWatch_, &QTimer::timeout, this, &GroupEndpoint::watchCapture);

    heardTimer_ = new QTimer(this);
    heardTimer_->setSingleShot(true);
    connect(heardTimer_, &QTimer::timeout, this, &GroupEndpoint::flushVoiceHeard);

    const std::vector<Ipv4> addresses = localAddresses(bindAddress);
    session_.setOwnLocalAddress(addresses.empty() ? 0 : addresses[0]);
    secondLocalAddress_ = addresses.size() > 1 ? addresses[1] : 0;

    capture_->setBlockSink([this](const VoiceRecord& record) { sendVoiceBlock(record); });
    // Heard on the capture thread; acted on here, on the window's thread. Invoked by name, so the
    // queued call is built inside Qt: a slot object built here on the capture thread and read on
    // the window's would look to the thread sanitizer like a race across Qt's event queue.
    capture_->setLostSink([this] { QMetaObject::invokeMethod(this, "microphoneLost", Qt::QueuedConnection); });

    const Ipv4 address = bindAddress.value_or(0);
    memberSocket_ = std::make_unique<PeerSocket>(
        [this](ByteView datagram, Endpoint source) { onDatagram(*memberSocket_, datagram, source); });
    memberSocket_->bind(address, MemberPort);
    hostSocket_ = std::make_unique<PeerSocket>(
        [this](ByteView datagram, Endpoint source) { onDatagram(*hostSocket_, datagram, source); });
    hostSocket_->bind(address, HostPort);
    publishSendPlan();
}

GroupEndpoint::~GroupEndpoint()
{
    // The capture thread sends through the member socket: it stops before the socket goes.
    capture_->setLostSink({});
    capture_->setEnabled(false);
    capture_->StopAll();
    capture_->setBlockSink({});
}

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
    session_.advance(now());
    apply();
}

bool GroupEndpoint::hasPlayer(int slot) const { return slot >= 0 && slot < int(players_.size()) && players_[slot]; }

// ---------------------------------------------------------------------------------------------
// Datagrams

void GroupEndpoint::onDatagram(PeerSocket& socket, ByteView datagram, Endpoint source)
{
    (void)socket;
    // Both sockets take the member's datagrams; requests to a host go to the host table, which
    // answers from the host port.
    const SessionDropCounts sessionDropsBefore = session_.dropCounts();
    const MemberSession::Received received = session_.receive(datagram, source, now());
    if (received == MemberSession::Received::Dropped) {
        qCDebug(lumoNet).noquote() << "dropped" << messageName(datagram) << "from" << endpointText(source)
                                   << QStringLiteral("(%1 bytes):").arg(datagram.size())
                                   << sessionDropReason(sessionDropsBefore, session_.dropCounts());
    } else if (received == MemberSession::Received::Handled && !isVoiceBlock(datagram)) {
        qCDebug(lumoNet).noquote() << "received" << messageName(datagram) << "from" << endpointText(source)
                                   << QStringLiteral("(%1 bytes)").arg(datagram.size());
    }
    if (received == MemberSession::Received::ForHost) {
        const HostDropCounts hostDropsBefore = hostTable_.dropCounts();
        const HostReply reply = hostTable_.handle(datagram, source, now());
        if (lumoNet().isDebugEnabled()) {
            if (const char* why = hostDropReason(hostDropsBefore, hostTable_.dropCounts()))
                qCDebug(lumoNet).noquote() << "host dropped" << messageName(datagram) << "from" << endpointText(source)
                                           << QStringLiteral("(%1 bytes):").arg(datagram.size()) << why;
            else
                qCDebug(lumoNet).noquote() << "host received" << messageName(datagram) << "from" << endpointText(source);
        }
        for (const std::string& name : reply.leftNames) emit memberLeftHost(name);
        sendFromHost(reply);
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
    for (SessionOutput out = session_.takeOutput();
         !out.sends.empty() || !out.events.empty() || !out.playback.empty() || !out.releasedSlots.empty() ||
         out.sendPlanChanged;
         out = session_.takeOutput()) {
        logSends("member", out.sends);
        for (const int slot : out.releasedSlots)
            qCDebug(lumoVoice) << "voice slot" << slot << "released: its member has been silent";
        if (out.sends.size() == 1) memberSocket_->sendTo(out.sends[0].bytes, out.sends[0].to);
        else if (!out.sends.empty()) memberSocket_->sendBatchFromAnyThread(out.sends);
        for (const int slot : out.releasedSlots) players_[std::size_t(slot)].reset();
        for (const VoicePlayback& playback : out.playback) play(playback);
        if (out.sendPlanChanged) publishSendPlan();
        for (const SessionEvent& event : out.events) {
            switch (event.kind) {
            case SessionEvent::Kind::HostSweepDue: sendFromHost(hostTable_.sweepDuplicates()); continue;
            case SessionEvent::Kind::RosterChanged:
                // Held VoiceHeard events name ids of the old roster: they are dropped.
                heardHeld_.fill(false);
                heardTold_.fill(std::nullopt);
                pipeServer_.sendRoster();
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
            case SessionEvent::Kind::SelectionChanged:
                selectionSent_ = true;
                pipeServer_.sendSelection();
                break;
            case SessionEvent::Kind::AskVoice:
                if (pipeServer_.pipeOpen()) {
                    // The overlay asks instead; its answer comes back through the link.
                    session_.questionSentToOverlay(event.memberId);
                    pipeServer_.requestCall(event.memberId);
                    continue;
                }
                break;
            default: break;
            }
            emit sessionEvent(event);
        }
    }
    applying_ = false;
    scheduleDeadline();
}

void GroupEndpoint::scheduleDeadline()
{
    const std::optional<Millis> next = session_.nextDeadline();
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
// Voice

void GroupEndpoint::play(const VoicePlayback& playback)
{
    std::unique_ptr<VoicePlayer>& player = players_[std::size_t(playback.slot)];
    if (playback.firstBlock) {
        qCDebug(lumoVoice) << "voice from member" << playback.memberId << "begins in slot" << playback.slot
                           << "sequence" << playback.record.sequence;
        player = std::make_unique<VoicePlayer>(audio_, playback.memberId);
        // The first block of a new member is heard at once, before any question.
        int length = 0;
        player->setVolume(memberVolume(playback.memberId));
        if (capture_->DecodeRecord(playback.record, pcmScratch_.data(), &length)) {
            applyVolume(pcmScratch_.data(), std::clamp(length / 2, 0, int(pcmScratch_.size())), player->volume(), false);
            if (!player->StartAll()) qCDebug(lumoVoice) << "no output device for member" << playback.memberId;
            player->Play(pcmScratch_.data(), length);
        } else {
            qCDebug(lumoVoice) << "first voice block of member" << playback.memberId << "could not be decoded";
        }
        return;
    }
    if (player) player->Submit(playback.record, playback.gainBoost);
}

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
// Commands

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

void GroupEndpoint::pushToTalk(bool down)
{
    // While the key is held everything is sent: the player chose the moments to talk.
    pushToTalkHeld_ = down;
    capture_->setQuietLimit(down ? -1 : quietLimit_);
    if (down == session_.talking()) return;
    session_.setVoice(down);
    apply();
}

void GroupEndpoint::setQuietLimit(int limit)
{
    quietLimit_ = limit;
    if (!pushToTalkHeld_) capture_->setQuietLimit(limit);
}

int GroupEndpoint::inputLevel() const { return capture_->lastLevel(); }

bool GroupEndpoint::capturing() const { return capture_->recording(); }

void GroupEndpoint::setMemberVolume(int memberId, int percent)
{
    if (memberId < 0 || memberId >= int(volumes_.size())) return;
    volumes_[std::size_t(memberId)] = clampVolume(percent);
    for (const auto& player : players_)
        if (player && player->memberId() == memberId) player->setVolume(volumes_[std::size_t(memberId)]);
}

int GroupEndpoint::memberVolume(int memberId) const
{
    if (memberId < 0 || memberId >= int(volumes_.size())) return DefaultVolumePercent;
    return volumes_[std::size_t(memberId)];
}

void GroupEndpoint::watchCaptureWhile(bool recording)
{
    // Only while talking: an idle program wakes for nothing.
    if (!recording) {
        captureWatch_->stop();
        return;
    }
    watchedBlocks_ = capture_->blocksSeen();
    lastBlockAt_ = clock_.elapsed();
    // A third of the limit: a silent microphone is noticed within 4/3 of it, with a wake-up a
    // second at the default limit.
    captureWatch_->start(std::clamp(captureStallMs_ / 3, 20, 1000));
}

void GroupEndpoint::watchCapture()
{
    const qint64 at = clock_.elapsed();
    const std::uint64_t seen = capture_->blocksSeen();
    if (!capture_->recording() || seen != watchedBlocks_) {
        watchedBlocks_ = seen;
        lastBlockAt_ = at;
        return;
    }
    if (at - lastBlockAt_ > captureStallMs_) {
        lastBlockAt_ = at;
        microphoneLost();
    }
}

void GroupEndpoint::microphoneLost()
{
    session_.microphoneLost();
    apply();
}

void GroupEndpoint::answerFromPrompt(int memberId, VoiceAnswer answer)
{
    session_.answerFromPrompt(memberId, answer);
    apply();
}

void GroupEndpoint::leave()
{
    session_.leave();
    apply();
}

// ---------------------------------------------------------------------------------------------
// The overlay's requests

std::vector<int> GroupEndpoint::overlayVoiceTargets() const
{
    const VoiceTargetList& targets = session_.voiceTargets();
    return std::vector<int>(targets.ids.begin(), targets.ids.begin() + targets.count);
}

void GroupEndpoint::setMemberTicked(int memberId, bool ticked)
{
    // The overlay hears back which members are targets, whether or not its request changed them.
    selectionSent_ = false;
    tick(memberId, ticked);
    if (!selectionSent_) pipeServer_.sendSelection();
}

bool GroupEndpoint::answerFromOverlay(int memberId, VoiceAnswer answer)
{
    const bool answered = session_.answerFromOverlay(memberId, answer);
    apply();
    return answered;
}

void GroupEndpoint::setTalking(bool on)
{
    session_.setVoice(on);
    apply();
}

}  // namespace lumo
