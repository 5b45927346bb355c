// The client's place in a group: the two UDP sockets (member port 3550, host port 3555), the
// host table of the group this client may host, the member session, the microphone capture and
// the players of the members heard, and the link to the in-game overlay. It feeds the session
// with what arrives and with the player's commands, carries out what the session returns, and
// tells the window what to show. It has no widgets.
#pragma once

#include "core/wire/wire.h"
#include "link/pipe_server.h"
#include "core/group/host_table.h"
#include "core/group/member_session.h"
#include "net/peer_socket.h"
#include "core/voice/sound_choices.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <memory>
#include <mutex>
#include <optional>

class QTimer;

namespace lumo {

class AudioSystem;
class VoiceCapture;
class VoicePlayer;

// Why a port could not be bound, for the window to put into words.
struct BindProblem {
    std::optional<Ipv4> bindAddress;  // the --bind address, if one was given
    std::uint16_t port = 0;
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    QString errorText;  // the system's words, for errors without words of our own
};

class GroupEndpoint : public QObject, private OverlayLinkOwner {
    Q_OBJECT
public:
    // Binds both ports on `bindAddress` (every local address when none); `audio` must outlive
    // the endpoint.
    GroupEndpoint(std::optional<Ipv4> bindAddress, AudioSystem& audio, QObject* parent = nullptr);
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
    void setGroupMode(bool on);
    void setGainBoost(bool on) { session_.setGainBoost(on); }
    void answerQuestion(int memberId, bool yes);
    // Push-to-talk: the key went down (talking starts as with the voice button) or up (it stops).
    void pushToTalk(bool down);
    // The silence gate's limit (DefaultQuietLimit; negative: every block is sent).
    void setQuietLimit(int limit);
    // The gate level of the latest block the microphone gave, while capture runs.
    int inputLevel() const;
    bool capturing() const;
    // A member's output volume in per cent (100 as received), kept per member id and given to
    // that member's player now and whenever one is made.
    void setMemberVolume(int memberId, int percent);
    int memberVolume(int memberId) const;
    // A microphone that gives no block for this long while talking is taken as gone, as one
    // whose device reports itself unplugged (some drivers only fall silent).
    static constexpr int DefaultCaptureStallMs = 3000;
    void setCaptureStallLimit(int ms) { captureStallMs_ = ms; }
    void answerFromPrompt(int memberId, VoiceAnswer answer);
    // Closing: held text still goes, then the leave notice.
    void leave();

    // The machine's addresses: the first is this client's own (the directory may replace it
    // with the second, when it sees the client there).
    Ipv4 ownAddress() const { return session_.ownEntry().localAddress; }
    void setOwnAddress(Ipv4 address) { session_.setOwnLocalAddress(address); }
    Ipv4 secondLocalAddress() const { return secondLocalAddress_; }

    const MemberSession& session() const { return session_; }
    const Roster& hostRoster() const { return hostTable_.roster(); }
    PipeServer& pipeServer() { return pipeServer_; }
    // The window that owns the boxes of the overlay link.
    void setBoxWindow(QWidget* window) { boxWindow_ = window; }
    // Whether the voice slot has a player now.
    bool hasPlayer(int slot) const;
    // The window hears that a member talks (VoiceHeard) at most once per this many ms per member,
    // the latest one of each period, rather than once per voice datagram: the status line then
    // repaints a few times a second however many members talk.
    static constexpr Millis VoiceHeardPeriodMs = 200;

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
    // The host table saw a member leave (GBK name).
    void memberLeftHost(const std::string& gbkName);

private:
    Millis now() const { return clock_.elapsed() + skipped_; }
    void onDatagram(PeerSocket& socket, ByteView datagram, Endpoint source);
    void sendFromHost(const HostReply& reply);
    // Carries out what the session produced, until it has nothing more to say.
    void apply();
    void play(const VoicePlayback& playback);
    void publishSendPlan();
    void sendVoiceBlock(const VoiceRecord& record);  // capture thread
    void scheduleDeadline();
    // Emits VoiceHeard now, or holds it until the member's period has passed.
    void voiceHeard(int memberId);
    void flushVoiceHeard();
    // Invoked by name from the capture thread (see the constructor).
    Q_INVOKABLE void microphoneLost();
    void watchCaptureWhile(bool recording);
    void watchCapture();

    // OverlayLinkOwner: the overlay's requests, in terms of members.
    const Roster& overlayRoster() const override { return session_.roster(); }
    std::vector<int> overlayVoiceTargets() const override;
    void setMemberTicked(int memberId, bool ticked) override;
    bool answerFromOverlay(int memberId, VoiceAnswer answer) override;
    void setTalking(bool on) override;
    QWidget* overlayLinkWindow() override { return boxWindow_; }

    class CaptureInput;

    AudioSystem& audio_;
    std::optional<Ipv4> bindAddress_;
    Ipv4 secondLocalAddress_ = 0;
    QElapsedTimer clock_;
    Millis skipped_ = 0;
    QTimer* deadline_ = nullptr;
    std::optional<Millis> scheduledDeadline_;  // what deadline_ runs to
    bool applying_ = false;
    bool selectionSent_ = false;

    std::unique_ptr<VoiceCapture> capture_;
    std::unique_ptr<CaptureInput> captureInput_;
    MemberSession session_;
    HostTable hostTable_;
    PipeServer pipeServer_;
    QWidget* boxWindow_ = nullptr;
    std::array<std::unique_ptr<VoicePlayer>, PeerSlots::Count> players_;
    std::array<std::int16_t, 1024> pcmScratch_{};  // a new member's first block, decoded
    int quietLimit_ = DefaultQuietLimit;
    QTimer* captureWatch_ = nullptr;
    int captureStallMs_ = DefaultCaptureStallMs;
    std::uint64_t watchedBlocks_ = 0;
    qint64 lastBlockAt_ = 0;  // clock_ time the watch last saw a new block (or capture start)
    bool pushToTalkHeld_ = false;
    std::array<int, RosterCapacity> volumes_ = [] {
        std::array<int, RosterCapacity> all{};
        all.fill(100);
        return all;
    }();

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

    std::unique_ptr<PeerSocket> memberSocket_;
    std::unique_ptr<PeerSocket> hostSocket_;
};

}  // namespace lumo
