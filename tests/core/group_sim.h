// A whole group in memory: the hosting client's host table and any number of member sessions,
// each on its own machine, exchanging datagrams through a simulated network with simulated time.
//
// Node 0 is the hosting client, at HostAddress: its host table answers on port 3555 and its own
// session, on port 3550 like every member's, joins it like any other. Node i sits at 10.0.0.(i+1).
// Every datagram a session or a host table sends is read at its destination, as the program
// reads it, and goes by its message to that node's host table (whose replies leave from its port
// 3555) or session, with the source the receiver would see. Each node's microphone answers its
// session's requests as `Microphone` says. Delivery is in order, one datagram at a time; links
// can drop or be slow, and a node can sit behind an address translator.
#pragma once

#include "core/group/host_table.h"
#include "core/group/member_session.h"
#include "core/group/message_route.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace lumo::sim {

// A node's microphone as its session's requests meet it.
struct Microphone {
    bool startResult = true;  // whether the next start succeeds
    int starts = 0;
    int stops = 0;
    bool running = false;
};

inline constexpr Ipv4 HostAddress = 0x0A000001;  // 10.0.0.1, node 0
inline Ipv4 machineAddress(int node) { return 0x0A000001 + static_cast<Ipv4>(node); }
// The translator some tests put member 2 behind.
inline constexpr Endpoint TranslatorOf2{0xCB007102, 40002};

// One datagram as it went through the network.
struct Datagram {
    enum class Fate {
        Delivered,
        Dropped,        // the link dropped it
        Translator,     // the receiver's translator had no mapping for its source
        NoOne,          // no node at that address and port
    };
    int fromNode = -1;
    std::uint16_t fromPort = 0;  // the port it left on (before any translator)
    Endpoint from;               // the source the receiver sees
    Endpoint to;
    int toNode = -1;
    Bytes bytes;
    Millis at = 0;
    Fate fate = Fate::NoOne;

    std::uint8_t command() const { return bytes.size() >= 4 ? bytes[0] : 0; }
    std::uint8_t kind() const { return bytes.size() >= 4 ? bytes[3] : 0; }
    bool is(std::uint8_t cmd, Kind k) const { return command() == cmd && kind() == static_cast<std::uint8_t>(k); }
};

struct ChatLine {
    int from;
    std::string text;
    bool operator==(const ChatLine&) const = default;
};

struct Node {
    Ipv4 address = 0;
    Microphone microphone;
    std::unique_ptr<MemberSession> session;
    HostTable hostTable;
    // Behind a translator: the address and port everyone else sees for the member port, and the
    // endpoints this node has sent to, the only ones whose datagrams the translator lets in.
    // Nodes behind translators with the same outside address are behind one router: they reach
    // each other at their inside addresses, never through the router's outside address (it
    // does not loop datagrams back in). A symmetric translator gives every destination an
    // outside port of its own (portFor), and lets in only that destination's datagrams there.
    bool translated = false;
    bool symmetric = false;
    Endpoint publicSide;
    std::set<std::uint64_t> opened;
    std::map<std::uint64_t, std::uint16_t> portFor;

    // What the node produced, in order.
    std::vector<SessionEvent> events;
    std::vector<VoicePlayback> playback;
    std::vector<int> releasedSlots;
    int sendPlanChanges = 0;
    std::vector<std::string> leftNames;  // from its host table
    std::vector<DropReason> drops;       // what its session and host table refused, in order
};

class GroupSim {
public:
    explicit GroupSim(int nodes)
    {
        for (int i = 0; i < nodes; ++i) addNode();
    }

    // A new machine; returns its index.
    int addNode()
    {
        auto node = std::make_unique<Node>();
        node->address = machineAddress(int(nodes_.size()));
        nodes_.push_back(std::move(node));
        freshSession(int(nodes_.size()) - 1);
        return int(nodes_.size()) - 1;
    }

    int size() const { return int(nodes_.size()); }
    Node& node(int i) { return *nodes_.at(i); }
    MemberSession& session(int i) { return *nodes_.at(i)->session; }
    Microphone& microphone(int i) { return nodes_.at(i)->microphone; }
    HostTable& host() { return nodes_.at(0)->hostTable; }
    Millis now() const { return now_; }
    std::string nameOf(int i) const { return "m" + std::to_string(i); }

    // Where the node's member port is seen from outside.
    Endpoint publicEndpoint(int i) const
    {
        const Node& n = *nodes_.at(i);
        if (n.symmetric) {
            // The port the host sees, which is what the roster records.
            const auto toHost = n.portFor.find(key({HostAddress, HostPort}));
            return {n.publicSide.address, toHost == n.portFor.end() ? std::uint16_t(0) : toHost->second};
        }
        return n.translated ? n.publicSide : Endpoint{n.address, MemberPort};
    }
    // Where node i's datagrams to `to` come from, as `to` sees them (no datagram is sent).
    Endpoint seenFrom(int i, Endpoint to) const
    {
        const Node& n = *nodes_.at(i);
        if (!n.translated || insideOfSameRouter(n, to)) return {n.address, MemberPort};
        if (!n.symmetric) return n.publicSide;
        const auto mapped = n.portFor.find(key(to));
        return {n.publicSide.address, mapped == n.portFor.end() ? std::uint16_t(0) : mapped->second};
    }

    // The client on machine i is closed without a word and started again: a new session that
    // knows nothing of the group. Behind a translator it gets a new mapping (a new public port).
    void restart(int i)
    {
        Node& n = node(i);
        if (n.translated) {
            n.publicSide.port = static_cast<std::uint16_t>(n.publicSide.port + 1);
            n.opened.clear();
            n.portFor.clear();
        }
        freshSession(i);
    }

    void putBehindTranslator(int i, Endpoint publicSide)
    {
        Node& n = node(i);
        n.translated = true;
        n.symmetric = false;
        n.publicSide = publicSide;
        n.opened.clear();
    }
    // Behind a translator that maps each destination to a new outside port on `outside`.
    void putBehindSymmetricTranslator(int i, Ipv4 outside)
    {
        Node& n = node(i);
        n.translated = true;
        n.symmetric = true;
        n.publicSide = {outside, 0};
        n.opened.clear();
        n.portFor.clear();
    }

    // Datagrams for which `drop` says true are lost on the way.
    void setDrop(std::function<bool(const Datagram&)> drop) { drop_ = std::move(drop); }
    void dropNothing() { drop_ = nullptr; }
    // Drops everything from node `from` (either port) to node `to`.
    void dropLink(int from, int to) { droppedLinks_.insert({from, to}); }
    void restoreLink(int from, int to) { droppedLinks_.erase({from, to}); }
    // Datagrams from node `from` to node `to` arrive only once nothing else is in flight (in
    // their own order): a slow link, for races such as a probe meeting a translator too early.
    void slowLink(int from, int to) { slowLinks_.insert({from, to}); }
    void fastLink(int from, int to) { slowLinks_.erase({from, to}); }

    // --- the player's commands that take the time, then everything they caused ------------------
    MemberSession::ConnectProblem connect(int i, const std::string& name, std::optional<Ipv4> host = HostAddress)
    {
        const auto problem = session(i).connect(name, host, now_);
        settle();
        return problem;
    }
    void sendText(int i, const std::string& text)
    {
        session(i).sendText(text, now_);
        settle();
    }
    // Any other command: `sim.act(i, [](MemberSession& s) { s.tick(2, true); });`
    void act(int i, const std::function<void(MemberSession&)>& command)
    {
        command(session(i));
        settle();
    }

    // Nodes first..last-1 join in turn under nameOf(i), and the time runs past the connect
    // judgement, so that each is joined with the whole group's roster.
    void joinAll(int first = 0, int last = -1)
    {
        if (last < 0) last = size();
        for (int i = first; i < last; ++i) {
            const auto problem = connect(i, nameOf(i));
            EXPECT_EQ(problem, MemberSession::ConnectProblem::None) << "node " << i;
        }
        advanceBy(3 * MemberSession::TickMs);
    }

    // Node i captured one block: it goes where the session's send plan says.
    void talk(int i, std::uint32_t sequence)
    {
        VoiceRecord record;
        record.sequence = sequence;
        record.speech.fill(static_cast<std::uint8_t>(sequence));
        for (const Outgoing& datagram : session(i).sendPlan().datagrams(record)) post(i, MemberPort, datagram);
        settle();
    }

    // A datagram from outside the group, or with a forged source: it reaches `to` as if it came
    // from `from`, and everything it causes runs.
    void inject(Endpoint from, Endpoint to, Bytes bytes)
    {
        Datagram d;
        d.from = from;
        d.fromPort = from.port;
        d.to = to;
        d.bytes = std::move(bytes);
        d.at = now_;
        inFlight_.push_back(std::move(d));
        settle();
    }

    // --- time -----------------------------------------------------------------------------------
    // Runs every session's and host table's timers up to `until`, in order, each at the time it
    // asked for.
    void advanceTo(Millis until)
    {
        settle();
        for (int guard = 0; guard < 1'000'000; ++guard) {
            std::optional<Millis> earliest;
            for (int i = 0; i < size(); ++i) {
                const auto due = nextDeadline(i);
                if (due && (!earliest || *due < *earliest)) earliest = due;
            }
            if (!earliest || *earliest > until) break;
            now_ = std::max(now_, *earliest);
            for (int i = 0; i < size(); ++i) {
                const auto due = nextDeadline(i);
                if (!due || *due > now_) continue;
                Node& n = node(i);
                n.session->advance(now_);
                postHostReply(i, n.hostTable.advance(now_));
                collect(i);
                const auto next = nextDeadline(i);
                if (next && *next <= now_) {
                    ADD_FAILURE() << "node " << i << " still wants advance() at " << *next << " after advance("
                                  << now_ << ")";
                    now_ = until;
                    return;
                }
            }
            settle();
        }
        now_ = std::max(now_, until);
        settle();
    }
    void advanceBy(Millis duration) { advanceTo(now_ + duration); }
    void advanceTicks(int ticks) { advanceBy(ticks * MemberSession::TickMs); }

    // Takes every session's output and delivers until nothing is left in flight.
    void settle()
    {
        for (int i = 0; i < size(); ++i) collect(i);
        for (int count = 0; !inFlight_.empty() || !slow_.empty(); ++count) {
            if (count > 200'000) {
                ADD_FAILURE() << "the group never goes quiet: datagrams keep flowing";
                inFlight_.clear();
                slow_.clear();
                return;
            }
            std::deque<Datagram>& queue = inFlight_.empty() ? slow_ : inFlight_;
            Datagram d = std::move(queue.front());
            queue.pop_front();
            if (&queue == &inFlight_ && slowLinks_.count({d.fromNode, destinationNode(d.to)})) {
                slow_.push_back(std::move(d));
                continue;
            }
            deliver(d);
        }
    }

    // --- what happened --------------------------------------------------------------------------
    const std::vector<Datagram>& traffic() const { return log_; }
    std::vector<Datagram> trafficWhere(const std::function<bool(const Datagram&)>& match) const
    {
        std::vector<Datagram> out;
        for (const Datagram& d : log_)
            if (match(d)) out.push_back(d);
        return out;
    }
    std::vector<SessionEvent> events(int i, SessionEvent::Kind kind) const
    {
        std::vector<SessionEvent> out;
        for (const SessionEvent& e : nodes_.at(i)->events)
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    int count(int i, SessionEvent::Kind kind) const { return int(events(i, kind).size()); }
    std::vector<ChatLine> chats(int i) const
    {
        std::vector<ChatLine> out;
        for (const SessionEvent& e : events(i, SessionEvent::Kind::ChatArrived)) out.push_back({e.memberId, e.text});
        return out;
    }
    // Forgets what was recorded so far (events, playback, traffic); the group stays as it is.
    void clearRecords()
    {
        log_.clear();
        for (auto& n : nodes_) {
            n->events.clear();
            n->playback.clear();
            n->releasedSlots.clear();
            n->sendPlanChanges = 0;
            n->leftNames.clear();
            n->drops.clear();
        }
    }

    // The node whose member is `memberId` in the hosting table, or -1.
    int nodeOfMember(int memberId) const
    {
        const Roster& roster = nodes_.at(0)->hostTable.roster();
        if (!roster.holds(memberId)) return -1;
        const Endpoint seen{roster.records[memberId].publicAddress, roster.records[memberId].publicPort};
        for (int i = 0; i < size(); ++i)
            if (publicEndpoint(i) == seen) return i;
        return -1;
    }

private:
    static std::uint64_t key(Endpoint e) { return (std::uint64_t(e.address) << 16) | e.port; }

    // The earlier of the node's session's and host table's deadlines, as the endpoint schedules.
    std::optional<Millis> nextDeadline(int i)
    {
        const auto session = node(i).session->nextDeadline();
        const auto host = node(i).hostTable.nextDeadline();
        if (session && host) return std::min(*session, *host);
        return session ? session : host;
    }

    void freshSession(int i)
    {
        Node& n = node(i);
        n.session.reset();
        n.session = std::make_unique<MemberSession>();
        n.session->setOwnLocalAddress(n.address);
    }

    void post(int fromNode, std::uint16_t fromPort, const Outgoing& outgoing)
    {
        Node& n = node(fromNode);
        Datagram d;
        d.fromNode = fromNode;
        d.fromPort = fromPort;
        d.to = outgoing.to;
        d.bytes = outgoing.bytes;
        d.at = now_;
        if (n.translated && fromPort == MemberPort && !insideOfSameRouter(n, outgoing.to)) {
            std::uint16_t port = n.publicSide.port;
            if (n.symmetric) {
                auto [mapping, fresh] = n.portFor.try_emplace(key(outgoing.to), std::uint16_t(0));
                if (fresh) mapping->second = nextOutsidePort_++;
                port = mapping->second;
            }
            d.from = {n.publicSide.address, port};
            n.opened.insert(key(outgoing.to));
        } else {
            d.from = {n.address, fromPort};
        }
        inFlight_.push_back(std::move(d));
    }

    void postHostReply(int i, const HostReply& reply)
    {
        Node& n = node(i);
        n.leftNames.insert(n.leftNames.end(), reply.leftNames.begin(), reply.leftNames.end());
        for (const Outgoing& o : reply.sends) post(i, HostPort, o);
    }

    // Takes the session's output until it has nothing more, answering its microphone requests.
    void collect(int i)
    {
        Node& n = node(i);
        for (SessionOutput out = n.session->takeOutput(); !out.empty(); out = n.session->takeOutput()) {
            for (const Outgoing& o : out.sends) post(i, MemberPort, o);
            for (SessionEvent& e : out.events) n.events.push_back(std::move(e));
            for (VoicePlayback& p : out.playback) n.playback.push_back(std::move(p));
            n.releasedSlots.insert(n.releasedSlots.end(), out.releasedSlots.begin(), out.releasedSlots.end());
            if (out.sendPlanChanged) ++n.sendPlanChanges;
            if (out.microphone == MicrophoneRequest::Stop) {
                ++n.microphone.stops;
                n.microphone.running = false;
            } else if (out.microphone == MicrophoneRequest::Start) {
                ++n.microphone.starts;
                n.microphone.running = n.microphone.startResult;
                n.session->microphoneStarted(n.microphone.startResult);
            }
        }
    }

    // Which node a datagram reaches (on either of its ports), or the reason it reaches none.
    Datagram::Fate route(const Datagram& d, int& toNode)
    {
        for (int i = 0; i < size(); ++i) {
            Node& n = node(i);
            if (n.translated) {
                if (d.to.address == n.address && d.to.port == MemberPort && d.fromNode >= 0 &&
                    insideOfSameRouter(node(d.fromNode), d.to)) {
                    toNode = i;  // across the home network
                    return Datagram::Fate::Delivered;
                }
                if (!atOutsidePort(n, d.to)) continue;
                toNode = i;
                // The router does not loop its own members' datagrams back in.
                if (d.fromNode >= 0 && node(d.fromNode).translated &&
                    node(d.fromNode).publicSide.address == n.publicSide.address)
                    return Datagram::Fate::Translator;
                if (n.symmetric) {
                    const auto mapped = n.portFor.find(key(d.from));
                    return mapped != n.portFor.end() && mapped->second == d.to.port ? Datagram::Fate::Delivered
                                                                                     : Datagram::Fate::Translator;
                }
                return n.opened.count(key(d.from)) ? Datagram::Fate::Delivered : Datagram::Fate::Translator;
            }
            if (d.to.address == n.address && (d.to.port == MemberPort || d.to.port == HostPort)) {
                toNode = i;
                return Datagram::Fate::Delivered;
            }
        }
        return Datagram::Fate::NoOne;
    }

    int destinationNode(Endpoint to) const
    {
        for (int i = 0; i < size(); ++i) {
            const Node& n = *nodes_[i];
            if (n.translated ? atOutsidePort(n, to) || to.address == n.address : to.address == n.address) return i;
        }
        return -1;
    }

    static bool atOutsidePort(const Node& n, Endpoint to)
    {
        if (to.address != n.publicSide.address) return false;
        if (!n.symmetric) return to.port == n.publicSide.port;
        for (const auto& [destination, port] : n.portFor)
            if (port == to.port) return true;
        return false;
    }

    // Whether `to` is the inside address of a node behind the same router as `n`.
    bool insideOfSameRouter(const Node& n, Endpoint to) const
    {
        if (!n.translated) return false;
        for (const auto& other : nodes_)
            if (other->translated && other->publicSide.address == n.publicSide.address && other->address == to.address)
                return true;
        return false;
    }

    void deliver(Datagram& d)
    {
        int toNode = -1;
        d.fate = route(d, toNode);
        d.toNode = toNode;
        if (d.fate == Datagram::Fate::Delivered &&
            ((drop_ && drop_(d)) || (toNode >= 0 && droppedLinks_.count({d.fromNode, toNode}))))
            d.fate = Datagram::Fate::Dropped;
        log_.push_back(d);
        if (d.fate != Datagram::Fate::Delivered) return;

        // Read once, then to the host table or the session, as the endpoint does.
        Node& n = node(toNode);
        const WireRead read = readMessage(d.bytes);
        DropReason dropped = dropReasonOf(read.fault);
        if (read.message && handlerOf(read.message->message) == Handler::HostTable) {
            const HostReply reply = n.hostTable.receive(*read.message, d.from, now_);
            dropped = reply.dropped;
            postHostReply(toNode, reply);
        } else if (read.message) {
            dropped = n.session->receive(*read.message, d.from, now_);
        }
        if (dropped != DropReason::None) n.drops.push_back(dropped);
        collect(toNode);
    }

    std::vector<std::unique_ptr<Node>> nodes_;
    std::deque<Datagram> inFlight_;
    std::deque<Datagram> slow_;
    std::vector<Datagram> log_;
    std::function<bool(const Datagram&)> drop_;
    std::set<std::pair<int, int>> droppedLinks_;
    std::set<std::pair<int, int>> slowLinks_;
    Millis now_ = 0;
    std::uint16_t nextOutsidePort_ = 50000;
};

}  // namespace lumo::sim
