// The member side of a group as a deterministic state machine: joining a host, the connect
// deadline, opening paths to other members, chat text (held until a path is open, split into
// datagrams), leaving, voice targets and the player's answers to members who talk.
//
// It owns no socket, thread, clock, device or window. Its caller feeds it messages with their
// source, the time and the player's commands, then takes what it produced (takeOutput):
// datagrams to send from the member port, events for the window, requests to start or stop the
// microphone and voice blocks to play, and whether the voice send plan changed. The caller
// answers a request to start the microphone with microphoneStarted(). nextDeadline() says when it
// next wants advance() to be called. A host table and any number of sessions can thus run
// against each other in memory, with simulated time.
//
// Partner, voice targets, path state and answers are data here; the window shows them. The
// partner and the targets are kept by identity (name and public address), so a roster that
// reorders the group moves them with their members instead of leaving them on an id that now
// belongs to someone else.
#pragma once

#include "core/wire/wire.h"
#include "core/group/member_dispatch.h"
#include "core/group/message_route.h"
#include "core/voice/voice_streams.h"

#include <array>
#include <map>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lumo {

using Millis = std::int64_t;

// What the member list shows in a member's voice column.
enum class VoiceState { None, Chatting, NotChatting, Waiting, Prompt };

// What the session knows about one member of the roster (index = member id).
struct MemberStatus {
    bool pathOpen = false;   // the path is open: the list shows "OK"
    bool confirmed = false;  // the member confirmed our probe (for a member that speaks keys the
                             // path opens only once its key proved itself as well)
    bool ticked = false;    // a voice target (group mode)
    VoiceState voice = VoiceState::None;
};

// A member as the player chose them: stable across rosters that renumber the group.
struct MemberIdentity {
    std::string name;  // GBK
    Ipv4 publicAddress = 0;
    std::uint16_t publicPort = 0;

    static MemberIdentity of(const MemberEntry& entry);
    bool operator==(const MemberIdentity&) const = default;
};

struct SessionEvent {
    enum class Kind {
        RosterChanged,    // a new roster: redraw the whole list from roster() and status()
        MemberChanged,    // memberId's status (path, tick or voice column) changed
        ChatArrived,      // memberId sent text (GBK)
        VoiceHeard,       // memberId's voice arrived (the status line names the talker)
        AskVoice,         // ask the player whether to hear memberId
        ConnectChanged,   // connecting() or joined() changed
        ConnectFailed,    // the host did not acknowledge the join in time
        TalkingChanged,   // what the voice button shows changed
        Alone,            // voice asked for with nobody ticked
        NoPartner,        // direct voice asked for with no partner chosen
        NoMicrophone,     // voice asked for, but the input device would not open
        SelectionChanged, // the voice targets changed
        PartnerChanged,   // partner() changed, or the partner left the group
        GroupFull,        // the host acknowledged the join but sent no roster: joined() is false
        HostGone,         // the host stopped answering roster requests: joined() is false
        PathFailed,       // text went to memberId, whose path never opened: it may not have arrived
        MicrophoneLost,   // the input device stopped working while talking: talking stopped
    };
    Kind kind;
    int memberId = -1;
    std::string text;  // ChatArrived: GBK bytes as received
};

// A voice block for one of the 16 playback slots.
struct VoicePlayback {
    int slot = 0;
    int memberId = -1;
    VoiceRecord record;
    bool firstBlock = false;  // a newly heard member: start a player for the slot, play at once
    bool gainBoost = false;
};

// What the session asks of the microphone. After Start the caller says whether it started
// (MemberSession::microphoneStarted); talking begins only then.
enum class MicrophoneRequest { None, Start, Stop };

struct SessionOutput {
    std::vector<Outgoing> sends;  // from the member port, in order
    std::vector<SessionEvent> events;
    MicrophoneRequest microphone = MicrophoneRequest::None;  // the last request of this output
    std::vector<VoicePlayback> playback;
    std::vector<int> releasedSlots;  // slots freed by the silence sweep: release their players
    bool sendPlanChanged = false;

    bool empty() const
    {
        return sends.empty() && events.empty() && microphone == MicrophoneRequest::None && playback.empty() &&
               releasedSlots.empty() && !sendPlanChanged;
    }
};

class MemberSession {
public:
    // The time between ticks of the connect judgement and the sweeps.
    static constexpr Millis TickMs = 200;
    // Chat text written before the path to its member is open waits at most this long.
    static constexpr Millis PathWaitMs = 600;
    // After the Ack of a join the roster must follow within this many ticks, or the group is full
    // (or the host did not answer).
    static constexpr std::int32_t RosterWaitTicks = 5;
    // While joined: when nothing came from the host for HostQuietTicks, the roster is asked for,
    // again every HostRetryTicks while it does not come; after HostAskLimit unanswered requests
    // and one more wait the host is taken for gone.
    static constexpr std::int32_t HostQuietTicks = 150;  // 30 s
    static constexpr std::int32_t HostRetryTicks = 25;   // 5 s
    static constexpr int HostAskLimit = 3;
    // An open path is probed every KeepaliveTicks; after KeepaliveLimit probes in a row that are
    // not confirmed it is closed, and opened through the host again when next used.
    static constexpr std::int32_t KeepaliveTicks = 100;  // 20 s
    static constexpr int KeepaliveLimit = 3;
    // A member's path message from its own address but another port than the roster records
    // (its translator gives every destination a port of its own) is taken only within this many
    // ticks of the host asking us to probe that member.
    static constexpr std::int32_t IntroductionTicks = 25;  // 5 s
    // Text that waited PathWaitMs for a path and went without one: when the path has not opened
    // this many ticks later either, the player is told the text may be lost.
    static constexpr std::int32_t PathGiveUpTicks = 15;  // 3 s

    // How often the liveness checks run, in ticks. Routers forget quiet flows after half a minute
    // or more, so the defaults stay below that; tests on routers made forgetful shorten them.
    struct Liveness {
        std::int32_t keepaliveTicks = KeepaliveTicks;
        std::int32_t hostQuietTicks = HostQuietTicks;
    };

    enum class ConnectProblem { None, NoName, NameTooLong, BadAddress };

    MemberSession();

    // --- what arrives ------------------------------------------------------------------------
    // A member's message (handlerOf says which) that reached either port; the reason it was not
    // taken, DropReason::None when it was.
    DropReason receive(const WireMessage& message, Endpoint source, Millis now);
    // Runs the timers that are due: the 200 ms ticks and the wait of held texts. Everything that
    // takes `now` catches up first, so a tick skipped while nothing was due still counts.
    void advance(Millis now);
    // When advance() should next run; nullopt while nothing is pending. Ticks on which nothing
    // can happen are slept through (they are counted when advance() next runs), so an idle or
    // talking program is woken only when a check, a sweep or a keepalive is due.
    std::optional<Millis> nextDeadline() const;

    // --- the player's commands ---------------------------------------------------------------
    void setOwnLocalAddress(Ipv4 address) { member_.ownEntry.localAddress = address; }
    // The reserved field of the own record, as the next join carries it.
    void setOwnReserved(std::uint16_t value) { member_.ownEntry.reserved = value; }
    void setLiveness(const Liveness& liveness) { liveness_ = liveness; }
    // "连接"/"更新": joins (again) the host at `host` under `gbkName`.
    ConnectProblem connect(const std::string& gbkName, std::optional<Ipv4> host, Millis now);
    // The row the player selected (-1: none). In group mode it is also the chat partner.
    void select(int memberId);
    // Double click: opens paths to the voice targets (group mode) or the selected member.
    void openPaths();
    // "发送": the text to the chat partner and every ticked member (group mode), each as its own
    // datagrams, opening a member's path first when it is not open.
    void sendText(const std::string& gbkText, Millis now);
    // Who "发送" would reach now: the partner first, then the ticked members in roster order.
    std::vector<int> textRecipients() const;
    void tick(int memberId, bool ticked);
    // The voice button; setVoice is the overlay asking for talking on or off.
    void voiceButton();
    void setVoice(bool on);
    // The answer to MicrophoneRequest::Start: talking begins, or the window hears that there is
    // no microphone. An answer nobody asked for changes nothing.
    void microphoneStarted(bool started);
    // The input device stopped working: talking stops as with the voice button, and the window
    // hears why. Nothing happens when not talking.
    void microphoneLost();
    void setGroupMode(bool on);
    void setGainBoost(bool on) { gainBoost_ = on; }
    // Answers to "想和你聊天，接受吗？": from the window's box (yes ticks the member), from the
    // call prompt, and from the overlay (whose "ask again" shows "提示" rather than "等待").
    void answerQuestion(int memberId, bool yes);
    bool answerFromPrompt(int memberId, VoiceAnswer answer);
    bool answerFromOverlay(int memberId, VoiceAnswer answer);
    // The overlay took the question about memberId: its column reads "不聊" meanwhile.
    void questionSentToOverlay(int memberId);
    // Closing: held text still goes, then the leave to the host this client joined.
    void leave();

    // --- keys (the caller runs the handshakes; the session only follows what they decided) ---
    // memberId speaks keys: its path counts as open only once keyDecided(memberId, true) says
    // that its key proved itself (or that it speaks plain where the host saw it join). Until the
    // next roster.
    void expectKey(int memberId);
    bool expectsKey(int memberId) const;
    // The handshake with memberId decided: `trusted` opens a confirmed path; otherwise (its key
    // changed) the path no longer counts as open.
    void keyDecided(int memberId, bool trusted);
    // The endpoint memberId's path answered from never proved the key: the way learned there
    // is forgotten and the path closed, to be opened again through the host.
    void keyUnproved(int memberId);

    SessionOutput takeOutput();

    // --- state, for the window ---------------------------------------------------------------
    const Roster& roster() const { return member_.groupRoster; }
    const MemberEntry& ownEntry() const { return member_.ownEntry; }
    const MemberStatus& status(int memberId) const;
    int partner() const { return partner_; }
    int selected() const { return selected_; }
    const VoiceTargetList& voiceTargets() const { return targets_; }
    bool groupMode() const { return groupMode_; }
    bool talking() const { return talking_; }
    // The voice button reads "终止" (rather than "语聊") while talking to someone.
    // A start the microphone has not answered yet counts: a second press stops it.
    bool voiceButtonStops() const { return (talking_ || microphoneAsked_) && !(groupMode_ && targets_.count == 0); }
    bool connecting() const { return connecting_; }
    bool joined() const { return joined_; }
    std::optional<Ipv4> joinedHost() const { return joinedHost_; }
    std::uint32_t uptimeTicks() const { return uptimeTicks_; }
    const PeerSlots& voiceSlots() const { return slots_; }
    // Where captured voice goes now.
    VoiceSendPlan sendPlan() const;
    std::string memberName(int memberId) const;
    const DropCountsByReason& dropCounts() const { return drops_; }
    // Where datagrams to memberId go: the endpoint its open path answered from, else the one the
    // roster records.
    Endpoint pathEndpoint(int memberId) const;

private:
    // How a member is reached when the roster's endpoint alone does not do: behind the same
    // router as we are (one that does not loop datagrams back in) at its inside address, or
    // behind a translator that gives each destination its own port, at the port its path
    // messages come from. Learned from the path messages that answered; forgotten with the path.
    struct MemberRoute {
        std::optional<Endpoint> learned;    // where the open path answered from, when not the roster's endpoint
        bool learnedConfirmed = false;      // ...and it confirmed a probe of ours there
        bool rosterAnswered = false;        // the roster's endpoint answered: no other is learned
        struct Probed {
            Endpoint at;
            std::uint32_t tick;
        };
        std::vector<Probed> probed;         // endpoints we probed for this member: their answers count for a while
        std::optional<Endpoint> otherPort;  // a path message from the member's address on another port...
        std::uint32_t otherPortTick = 0;    // ...heard at this tick, before the host asked for a probe
        bool otherPortProbed = false;       // ...and it was a probe, still to be confirmed
        std::optional<std::uint32_t> hostAskedTick;  // when the host last asked us to probe this member
    };
    static constexpr std::size_t MaxProbedEndpoints = 4;

    // Whether the datagram comes from where its message may come from: the host's messages from
    // the joined host's port 3555, a member's from the address and port the roster records for
    // it. A PathConfirm names the confirming member by where it came from (`confirmer`).
    DropReason fromExpectedSource(const WireMessage& message, Endpoint source, int& confirmer);
    // Whether `source` may carry path messages (probes, openers, confirmations) of memberId.
    bool pathSourceOf(int memberId, Endpoint source) const;
    // A path message of memberId from its address on another port: probed back when the host
    // asked us to probe that member, else remembered for when it does. True when it is taken.
    bool otherPortHeard(int memberId, Endpoint source, bool isProbe);
    // The member's inside endpoint, when it is behind the same public address as we are.
    std::optional<Endpoint> insideEndpoint(int memberId) const;
    // Whether `tick` lies within IntroductionTicks of now.
    bool withinIntroduction(std::uint32_t tick) const { return uptimeTicks_ - tick <= std::uint32_t(IntroductionTicks); }
    void probe(int memberId, Endpoint at);
    // A path message of memberId came from `source`; `confirmed` when it answered our probe.
    void learnRoute(int memberId, Endpoint source, bool confirmed);
    void forgetRoute(int memberId);
    void hostAskedForProbe(int memberId);
    void handleAck();
    void handleRoster();
    void handlePathConfirm(int fromMember);
    void handleProbeAnswered(int fromMember);
    void handleVoice(int senderId, const VoiceRecord& record);
    void runTick();
    void judgeConnect();
    void watchHost();
    void keepPathsAlive();
    // A roster came from the joined host (new or the same as before).
    void hostRosterHeard();
    bool sameRoster(const WireMessage& message) const;
    void send(Endpoint to, Bytes bytes);
    void event(SessionEvent::Kind kind, int memberId = -1, std::string text = {});
    Endpoint hostEndpoint() const;
    Endpoint endpointOf(int memberId) const;
    void sendJoin();
    void sendPathRequests(int target);
    void sendTextTo(int memberId, const std::string& gbkText, Millis now);
    void releaseHeldTexts(int partner);
    void rebuildTargets();
    void setTargets(const VoiceTargetList& targets);
    void setVoiceState(int memberId, VoiceState state);
    void startVoice();
    void stopVoice();
    void toggleVoice(bool wantOn);
    void planChanged() { output_.sendPlanChanged = true; }
    int findMember(const MemberIdentity& identity) const;

    MemberState member_;
    Roster previousRoster_;  // the roster before the one being taken in
    std::vector<MemberStatus> status_;  // one per roster record
    std::string memberName_;            // GBK, at most 16 bytes
    std::optional<Ipv4> joinedHost_;    // the host the last join went to; the leave goes there too

    // Partner and targets by identity; their ids are rebuilt from every roster.
    int partner_ = -1;
    std::optional<MemberIdentity> partnerIdentity_;
    int voicePartner_ = -1;
    std::optional<MemberIdentity> voicePartnerIdentity_;
    int selected_ = -1;
    std::vector<MemberIdentity> tickedMembers_;  // in the order they were ticked
    VoiceTargetList targets_;
    bool groupMode_ = true;
    bool gainBoost_ = false;
    bool talking_ = false;
    bool microphoneAsked_ = false;  // a Start went out, its answer has not come

    // Opening a path through address translators. The partner's translator lets our datagrams
    // in only once the partner's own probe has gone out to us, so chat text written before the
    // path is open waits until the partner is heard from (its probe or its confirmation), or
    // PathWaitMs at most, instead of being dropped there. And our own probe may reach the
    // partner's translator before that probe has left it: the first probe we hear from a member
    // we asked a path to is answered with one more probe of ours, so that our side too hears the
    // confirmation.
    struct HeldText {
        int partner;
        Outgoing datagram;
    };
    std::vector<HeldText> heldTexts_;
    std::optional<Millis> heldDeadline_;
    std::set<int> awaitingProbe_;

    // How many ticks from now the first one that may do something comes (1: the next one).
    std::int32_t ticksUntilDue() const;

    // Connect judgement and sweeps, in 200 ms ticks from the first connect on.
    std::optional<Millis> nextTick_;
    std::int32_t connectDeadline_ = 0;
    bool deadlineArmed_ = false;
    bool hostAcknowledged_ = false;
    bool connecting_ = false;
    bool joined_ = false;
    std::int32_t sessionTicks_ = 0;
    std::int32_t ackTick_ = 0;          // sessionTicks_ when the join was acknowledged
    bool rosterSinceConnect_ = false;   // a roster from the host followed the last connect
    std::int32_t hostQuietTicks_ = 0;   // ticks since the host was last heard, while joined
    int hostAsks_ = 0;                  // roster requests not answered since
    std::int32_t ownQuietTicks_ = 0;    // ticks since we last sent anything to the host
    std::int32_t keepaliveTicks_ = 0;
    std::vector<int> probesUnanswered_;  // per member, keepalive probes not yet confirmed
    std::vector<MemberRoute> routes_;    // per member
    // Per member: it speaks keys, and whether its key proved itself (or it speaks plain).
    std::vector<bool> keyExpected_;
    std::vector<bool> keyTrusted_;
    void openPathIfTrusted(int memberId);
    std::map<int, std::uint32_t> textWithoutPath_;  // member id -> tick its text went without an open path
    Liveness liveness_;
    std::uint32_t uptimeTicks_ = 0;

    PeerSlots slots_;
    std::array<std::optional<MemberIdentity>, PeerSlots::Count> slotMembers_;  // who each slot is for
    SessionOutput output_;
    DropCountsByReason drops_;
};

}  // namespace lumo
