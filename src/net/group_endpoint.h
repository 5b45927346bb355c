// The client's place in a group on the network: the two UDP sockets (member port 3550, host port
// 3555), the host table of the group this client may host and the member session. Each received
// datagram is read once and goes by its message to the host table or the session; the endpoint
// carries out what they return on its one deadline timer, sends captured voice by the session's
// send plan from any thread, and hands on what is not the network's: events for the window,
// voice to play and the microphone to start or stop (the voice I/O object takes those). It has
// no widgets and no devices.
#pragma once

#include "core/group/host_table.h"
#include "core/group/reconnect_schedule.h"
#include "core/group/member_session.h"
#include "core/trust/keyed_join.h"
#include "core/trust/member_trust.h"
#include "core/wire/wire.h"
#include "net/peer_socket.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QTimer;

namespace lumo {

// Why a port could not be bound, for the window to put into words.
struct BindProblem {
    std::optional<Ipv4> bindAddress;  // the --bind address, if one was given
    std::uint16_t port = 0;
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    QString errorText;  // the system's words, for errors without words of our own
};

class GroupEndpoint : public QObject {
    Q_OBJECT
public:
    // Binds both ports on `bindAddress` (every local address when none).
    explicit GroupEndpoint(std::optional<Ipv4> bindAddress, QObject* parent = nullptr);
    ~GroupEndpoint() override;

    bool socketsBound() const;
    std::optional<BindProblem> bindProblem() const;

    // --- the player's commands (see MemberSession) ---
    MemberSession::ConnectProblem connectTo(const std::string& gbkName, std::optional<Ipv4> host);
    void select(int memberId);
    void openPaths();
    void sendText(const std::string& gbkText);
    void tick(int memberId, bool ticked);
    void voiceButton();
    // Talking on or off whatever it is now (push-to-talk, the overlay's talk button).
    void setVoice(bool on);
    void setGroupMode(bool on);
    void setGainBoost(bool on) { session_.setGainBoost(on); }
    void answerQuestion(int memberId, bool yes);
    void answerFromPrompt(int memberId, VoiceAnswer answer);
    bool answerFromOverlay(int memberId, VoiceAnswer answer);
    void questionSentToOverlay(int memberId);
    // The input device stopped working while talking.
    void microphoneLost();
    // Closing: held text still goes, then the leave notice.
    void leave();

    // What starts (true) or stops the microphone when the session asks, saying whether it
    // started. Without one no microphone ever starts, and the player hears there is none.
    void setMicrophoneSwitch(std::function<bool(bool on)> switchTo) { microphoneSwitch_ = std::move(switchTo); }
    // Sends one captured block to the targets of the send plan in force, in one sendmmsg,
    // without touching the heap. Called from the capture thread, one caller at a time.
    void sendVoiceBlock(const VoiceRecord& record);

    // The machine's addresses: the first is this client's own (the directory may replace it
    // with the second, when it sees the client there).
    Ipv4 ownAddress() const { return session_.ownEntry().localAddress; }
    void setOwnAddress(Ipv4 address) { session_.setOwnLocalAddress(address); }
    // The network changed: without a bind address, the own address is this machine's first one now.
    void refreshOwnAddress();
    // The machine's addresses and default route now (reads /proc/net/route).
    static NetworkIdentity currentNetwork();
    Ipv4 secondLocalAddress() const { return secondLocalAddress_; }

    const MemberSession& session() const { return session_; }

    // --- keys between LUMO members ---
    // The identity this client proves to other LUMO members, and the keys it remembers (text
    // of the trust file); until it is given one, a key made for this run alone.
    void useIdentity(const Identity& identity, const std::string& trustFileText);
    SigningPublicKey ownKey() const;
    PeerKeyState keyState(int memberId) const;
    std::optional<SigningPublicKey> peerKey(int memberId) const;
    std::optional<SigningPublicKey> rememberedKey(int memberId) const;
    // The player accepts memberId's changed key (or its speaking plain now).
    void acceptChangedKey(int memberId);
    std::string trustFileText() const;
    const Roster& hostRoster() const { return hostTable_.roster(); }
    // The window hears that a member talks (VoiceHeard) at most once per this many ms per member,
    // the latest one of each period, rather than once per voice datagram: the status line then
    // repaints a few times a second however many members talk.
    static constexpr Millis VoiceHeardPeriodMs = 200;

    // The endpoint's clock: what the session and the host table are fed, and what skipTime moves.
    Millis now() const { return clock_.elapsed() + skipped_; }
    // Moves the endpoint's clock on and runs what falls due, as if that much time had passed:
    // for tests of what happens after minutes of silence.
    void skipTime(Millis ms);
    // How often open paths are probed and the host asked for the roster (for routers that
    // forget quiet flows sooner than the defaults assume).
    void setLiveness(const MemberSession::Liveness& liveness)
    {
        session_.setLiveness(liveness);
        scheduleDeadline();
    }

signals:
    // Everything the session tells the window, in order.
    void sessionEvent(const lumo::SessionEvent& event);
    // A voice block the session wants played, and voice slots whose players may go.
    void playbackRequested(const lumo::VoicePlayback& playback);
    void slotReleased(int slot);
    // A member's key proved itself, it speaks plain, or its key changed (the member list redraws
    // its row from keyState(); the remembered keys changed when it proved itself).
    void trustChanged(const lumo::TrustEvent& event);
    // The host table saw a member leave (GBK name).
    void memberLeftHost(const std::string& gbkName);
    // skipTime moved the clock on.
    void timeSkipped();

private:
    void onDatagram(ByteView datagram, Endpoint source);
    // A handshake record from a member: taken when it comes from where that member is reached;
    // a sealed one's datagram then goes to the session.
    void onTrustRecord(ByteView datagram, Endpoint source);
    // The host's cookie for our join (answered with the signed join), or a joiner's signed join
    // to our host table.
    void onKeyedJoin(ByteView datagram, Endpoint source);
    // The joined host's word on the keys of the other members.
    void onKeyVouch(ByteView datagram, Endpoint source);
    // What the session asked to send, through the keys; then what the keys say.
    void sendThroughTrust(const std::vector<Outgoing>& sends);
    void flushTrust();
    void followSession(const SessionOutput& out);
    // Tells the session which members speak keys and whose keys decided.
    void followKeys();
    void sendFromHost(const HostReply& reply);
    // Carries out what the session produced, until it has nothing more to say.
    void apply();
    void switchMicrophone(MicrophoneRequest request);
    void publishSendPlan();
    void runDeadline();
    void scheduleDeadline();
    // Emits VoiceHeard now, or holds it until the member's period has passed.
    void voiceHeard(int memberId);
    void flushVoiceHeard();

    std::optional<Ipv4> bindAddress_;
    Ipv4 secondLocalAddress_ = 0;
    QElapsedTimer clock_;
    Millis skipped_ = 0;
    QTimer* deadline_ = nullptr;
    std::optional<Millis> scheduledDeadline_;  // what deadline_ runs to
    bool applying_ = false;

    MemberSession session_;
    HostTable hostTable_;
    std::function<bool(bool on)> microphoneSwitch_;

    // VoiceHeard per member id: when it was last told to the window, and whether one waits.
    std::array<std::optional<Millis>, RosterCapacity> heardTold_{};
    std::array<bool, RosterCapacity> heardHeld_{};
    QTimer* heardTimer_ = nullptr;

    // The capture thread reads only sendPlan_, which the user-interface thread replaces whenever
    // the session says where voice goes has changed.
    mutable std::mutex sendPlanLock_;
    std::shared_ptr<const VoiceSendPlan> sendPlan_;
    // The capture thread's own: a block's datagrams, addressed without touching the heap.
    VoiceSendPlan::Block voiceBlock_;
    std::array<Bytes, VoiceSendPlan::Block::Capacity> sealedVoice_;  // the block sealed, per sealed target

    // Read and changed on the user-interface thread, and by sendVoiceBlock on the capture thread.
    mutable std::mutex trustLock_;
    std::unique_ptr<MemberTrust> trust_;
    KeyedJoiner keyedJoiner_;
    std::optional<Ipv4> trustGroup_;
    std::unique_ptr<PeerSocket> memberSocket_;
    std::unique_ptr<PeerSocket> hostSocket_;
};

}  // namespace lumo
