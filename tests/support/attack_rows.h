// The attacks a stranger with nothing but addresses (every roster and the group list show them)
// can try on a group, each run against real lumo processes over loopback: a host, real members
// where the victim's side matters, and fake sockets for the attacker, one "IP" per 127.B.0.x
// address and its "ports" as several sockets bound there. Each row says what the attacker got,
// the bytes the host sent the attacker's IP for each byte it got from it, and what the victim's
// program showed (its log under --verbose, and the roster the host keeps for it).
// tests/e2e/attack_table_test.cpp asserts that every row holds; bench/attack_table_bench.cpp
// prints the table for any lumo binary, an older build included.
#pragma once

#include "core/voice_test_support.h"
#include "link_control.h"
#include "lumo_process.h"
#include "voice_judge.h"

#include "core/trust/handshake.h"
#include "core/trust/keyed_join.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace lumo::test::attack {

struct Row {
    std::string attack;
    std::string attackerGot;
    std::size_t bytesIn = 0;   // from the attacker's IP to the host
    std::size_t bytesOut = 0;  // from the host to that IP
    std::string victimShows;
    bool held = false;         // the victim kept what it had and the bytes stayed within bounds
    double ratio() const { return bytesIn ? double(bytesOut) / double(bytesIn) : 0; }
};

inline const Ipv4 HostIp = loopback(2);

inline MemberEntry joinerEntry(const std::string& name, Ipv4 local, int id = UnassignedId)
{
    MemberEntry e = memberAt(id, name.c_str(), local);
    e.publicAddress = 0;
    e.publicPort = 0;
    return e;
}

inline Bytes joinRequest(const MemberEntry& e) { return makeEntryDatagram(cmd::JoinRequest, idByte(e.id), 0, Kind::ToHost, e); }

inline std::size_t bytesOf(const std::vector<FakePeer::Received>& received)
{
    std::size_t total = 0;
    for (const auto& r : received) total += r.bytes.size();
    return total;
}

inline int rostersIn(const std::vector<FakePeer::Received>& received)
{
    int n = 0;
    for (const auto& r : received) n += r.bytes.at(0) == cmd::RosterUpdate;
    return n;
}

inline int idIn(const Roster& roster, const std::string& name)
{
    for (int i = 0; i < roster.count; ++i)
        if (roster.records[std::size_t(i)].nameBytes() == name) return i;
    return -1;
}

// The host's roster as a member at `peer` (recorded as `self`) gets it when it asks.
inline std::optional<Roster> askRoster(FakePeer& peer, const MemberEntry& self, Endpoint host, int ms = 2000)
{
    peer.collect(0);
    peer.send(makeEntryDatagram(cmd::RosterRequest, idByte(self.id), 0, Kind::ToHost, self), host);
    if (auto update = peer.next(ms, cmd::RosterUpdate)) return readRosterUpdate(update->bytes);
    return std::nullopt;
}

// A fake member that joins and keeps its record as the host's rosters show it.
struct FakeMember {
    FakeMember(const std::string& memberName, Ipv4 address, std::uint16_t port = MemberPort)
        : name(memberName), peer(address, port)
    {
    }
    bool join(Endpoint host)
    {
        peer.send(joinRequest(joinerEntry(name, peer.endpoint().address)), host);
        if (!peer.next(2000, cmd::Ack)) return false;
        auto update = peer.next(2000, cmd::RosterUpdate);
        if (!update) return false;
        self = readRosterUpdate(update->bytes).records[update->bytes.at(1)];
        return true;
    }
    std::string name;
    FakePeer peer;
    MemberEntry self;
};

inline QString logOf(const QString& path)
{
    QFile log(path);
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

inline QStringList memberArguments(const char* name, const QString& audio = QStringLiteral("null"))
{
    return {"--verbose", "--name", name, "--connect", QString::fromStdString(dottedAddress(HostIp)), "--audio", audio};
}

// Row 1: a neighbour on the talker T's IP probes the victim V in T's name from another port,
// [23, V, T, 2] and the confirm [21, V, T, 2] twice a second, while T opens a path to V and V
// talks to T.
inline Row pathTakeover()
{
    Row row{"1 path takeover: probes and confirms in T's name from another port of T's IP, 2/s, while V talks to T", "",
            0, 0, "", false};
    QTemporaryDir work;
    QDir(work.path()).mkpath("heard");
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return row.victimShows = "the host did not start", row;
    FakeMember observer("observer", loopback(6));
    if (!observer.join(host.hostEndpoint())) return row.victimShows = "the observer could not join", row;
    OverlayStandIn victimLink, talkerLink;
    const QString phrase = QString::fromStdString(phrasePath().string());
    LumoProcess victim(loopback(3), memberArguments("victim", "wav:" + phrase + ":" + work.filePath("heard")),
                       victimLink.runtimeDirectory(), work.filePath("victim.log"));
    QDir(work.path()).mkpath("heardByTalker");
    LumoProcess talker(loopback(4), memberArguments("talker", "wav:" + phrase + ":" + work.filePath("heardByTalker")),
                       talkerLink.runtimeDirectory(), work.filePath("talker.log"));
    std::optional<Roster> roster;
    for (int i = 0; i < 80 && !(roster && roster->count == 3); ++i) {
        QTest::qWait(100);
        roster = askRoster(observer.peer, observer.self, host.hostEndpoint());
    }
    if (!roster || roster->count != 3 || !victimLink.waitForMailbox() || !talkerLink.waitForMailbox())
        return row.victimShows = "the group did not form", row;
    const int victimId = idIn(*roster, "victim"), talkerId = idIn(*roster, "talker");
    const auto rowOf = [&](int id) { return roster->count - id - 1; };
    FakePeer attacker(loopback(4), 40002);
    std::size_t voiceToAttacker = 0;
    const auto probeTwice = [&] {
        for (std::uint8_t command : {cmd::PathProbe, cmd::PathConfirm}) {
            const Bytes forged = makeHeaderOnly(command, idByte(victimId), idByte(talkerId), Kind::PeerToPeer);
            attacker.send(forged, victim.memberEndpoint());
            row.bytesIn += forged.size();
        }
        for (const auto& r : attacker.collect(500)) {
            row.bytesOut += r.bytes.size();
            voiceToAttacker += r.bytes.at(0) == cmd::VoiceGroup || r.bytes.at(0) == cmd::VoiceDirect;
        }
    };
    for (int i = 0; i < 4; ++i) probeTwice();
    // T opens its path to V by talking to it; then V talks to T.
    talkerLink.post(link::to_main::SelectMember, rowOf(victimId));
    talkerLink.post(link::to_main::VoiceToggle, 1);
    for (int i = 0; i < 4; ++i) probeTwice();
    talkerLink.post(link::to_main::VoiceToggle, 0);
    victimLink.post(link::to_main::SelectMember, rowOf(talkerId));
    victimLink.post(link::to_main::VoiceToggle, 1);
    for (int i = 0; i < 6; ++i) probeTwice();
    victimLink.post(link::to_main::VoiceToggle, 0);
    // Text in T's name from the attacker's port: shown as T's, or refused.
    const Bytes text = makeChatText(idByte(victimId), idByte(talkerId), "forged");
    attacker.send(text, victim.memberEndpoint());
    row.bytesIn += text.size();
    probeTwice();
    const QString attackerAt = QString::fromStdString(dottedAddress(loopback(4))) + ":40002";
    const bool textShown = logOf(work.filePath("victim.log")).contains("received ChatText from " + attackerAt);
    const bool talkerHeard = QFile::exists(work.filePath(QStringLiteral("heardByTalker/peer-%1.wav").arg(victimId)));
    row.attackerGot = std::to_string(voiceToAttacker) + " of V's voice records";
    row.victimShows = std::string(talkerHeard ? "T heard V" : "T did not hear V") +
                      (textShown ? "; V shows the attacker's text as T's" : "; V refused the attacker's text");
    row.held = voiceToAttacker == 0 && talkerHeard && !textShown;
    return row;
}

// Row 1h: the first-contact race. A neighbour on T's IP (another port) that speaks the handshake
// with a key of its own answers V's probe, confirmation and Hello first, while T is slow to
// answer (stopped for 2.5 s), and V talks to T. It must get none of V's voice, none of its
// text may show in V's window as T's, and V must take no changed key against the real T.
inline Row firstContactRace()
{
    Row row{"1h first-contact race: a neighbour on another port of T's IP answers V's probe and Hello first, with a "
            "key of its own, while T is slow; V talks to T",
            "", 0, 0, "", false};
    QTemporaryDir work;
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return row.victimShows = "the host did not start", row;
    FakeMember observer("observer", loopback(6));
    if (!observer.join(host.hostEndpoint())) return row.victimShows = "the observer could not join", row;
    OverlayStandIn victimLink;
    // V's microphone: the phrase four times over, so that V still speaks once T answers again.
    const std::vector<std::int16_t> once = phraseSamples();
    std::vector<std::int16_t> speech;
    for (int i = 0; i < 4; ++i) speech.insert(speech.end(), once.begin(), once.end());
    const QString phrase = work.filePath("speech.wav");
    if (speech.empty() || !writeWav(phrase.toStdString(), speech)) return row.victimShows = "no phrase to speak", row;
    QDir(work.path()).mkpath("heard");
    QDir(work.path()).mkpath("heardByTalker");
    const QString victimLog = work.filePath("victim.log");
    LumoProcess victim(loopback(3), memberArguments("victim", "wav:" + phrase + ":" + work.filePath("heard")),
                       victimLink.runtimeDirectory(), victimLog);
    LumoProcess talker(loopback(4), memberArguments("talker", "wav:" + phrase + ":" + work.filePath("heardByTalker")), {},
                       work.filePath("talker.log"));
    std::optional<Roster> roster;
    for (int i = 0; i < 80 && !(roster && roster->count == 3); ++i) {
        QTest::qWait(100);
        roster = askRoster(observer.peer, observer.self, host.hostEndpoint());
    }
    if (!roster || roster->count != 3 || !victimLink.waitForMailbox()) return row.victimShows = "the group did not form", row;
    const int victimId = idIn(*roster, "victim"), talkerId = idIn(*roster, "talker");
    // A build whose host vouches for keys says so in V's log once T's key is vouched for.
    for (int i = 0; i < 30 && !logOf(victimLog).contains("vouched"); ++i) QTest::qWait(100);

    FakePeer attacker(loopback(4), 40002);
    const Identity mallory = Identity::fromSeed(KeySeed{0x6D, 0x61});
    std::unique_ptr<PeerTrust> session;  // the attacker's handshake with V, once V sent it a Hello
    int voiceGot = 0, textGot = 0;
    QElapsedTimer clock;
    clock.start();
    const auto send = [&](const Bytes& bytes) {
        attacker.send(bytes, victim.memberEndpoint());
        row.bytesIn += bytes.size();
    };
    const auto isVoiceOrText = [&](const Bytes& bytes) {
        if (bytes.size() < HeaderSize) return;
        voiceGot += bytes[0] == cmd::VoiceGroup || bytes[0] == cmd::VoiceDirect;
        textGot += bytes[0] == cmd::ChatText;
    };
    const auto probeT = makeHeaderOnly(cmd::PathProbe, idByte(victimId), idByte(talkerId), Kind::PeerToPeer);
    // Answers whatever V sends to the attacker's port, as T would, for `ms`.
    const auto race = [&](int ms) {
        QElapsedTimer spent;
        spent.start();
        while (spent.elapsed() < ms) {
            send(probeT);
            for (const auto& r : attacker.collect(100)) {
                row.bytesOut += r.bytes.size();
                if (r.bytes.size() < HeaderSize) continue;
                if (r.bytes[0] == cmd::PathProbe && r.bytes[3] == std::uint8_t(Kind::PeerToPeer))
                    send(makeHeaderOnly(cmd::PathConfirm, idByte(victimId), idByte(talkerId), Kind::PeerToPeer));
                const auto record = trustRecordOf(r.bytes);
                if (!record) {
                    isVoiceOrText(r.bytes);
                    continue;
                }
                PeerTrust::Step step;
                if (*record == TrustRecord::Hello) {
                    const auto hello = readHello(r.bytes);
                    if (!hello) continue;
                    if (!session)
                        session = std::make_unique<PeerTrust>(mallory, KeySeed{0x45}, idByte(victimId), idByte(talkerId),
                                                              clock.elapsed());
                    step = session->acceptHello(*hello);
                } else if (session && *record == TrustRecord::Proof) {
                    step = session->receiveProof(r.bytes);
                } else if (session) {
                    Bytes opened;
                    step = session->openSealed(r.bytes, opened);
                    if (step.fault == TrustFault::None) isVoiceOrText(opened);
                }
                for (const Bytes& bytes : step.sends) send(bytes);
            }
        }
    };
    // T stops answering (a slow machine); the attacker's probes are heard first; V talks to T.
    ::kill(pid_t(talker.pid()), SIGSTOP);
    race(300);
    victimLink.post(link::to_main::SelectMember, roster->count - talkerId - 1);
    victimLink.post(link::to_main::VoiceToggle, 1);
    race(2500);
    ::kill(pid_t(talker.pid()), SIGCONT);
    // Text in T's name: plain, and sealed when the attacker's handshake went through.
    const Bytes text = makeChatText(idByte(victimId), idByte(talkerId), "forged");
    send(text);
    if (session && session->state() == TrustState::Sealed)
        if (auto sealed = session->seal(text)) send(*sealed);
    race(4000);
    victimLink.post(link::to_main::VoiceToggle, 0);
    race(300);
    const QString log = logOf(victimLog);
    const QString attackerAt = QString::fromStdString(dottedAddress(loopback(4))) + ":40002";
    const bool textShown = log.contains("received ChatText from " + attackerAt);
    const bool sealedWithAttacker = session && session->state() == TrustState::Sealed;
    const bool changedKey = log.contains("proved another key");
    const bool talkerHeard = QFile::exists(work.filePath(QStringLiteral("heardByTalker/peer-%1.wav").arg(victimId)));
    row.attackerGot = std::to_string(voiceGot) + " of V's voice records, " + std::to_string(textGot) + " texts; " +
                      (sealedWithAttacker ? "V sealed with its key" : "V refused its key");
    row.victimShows = std::string(talkerHeard ? "T heard V" : "T did not hear V") +
                      (textShown ? "; V shows the attacker's text as T's" : "; V refused the attacker's text") +
                      (changedKey ? "; V shows T's key as changed" : "; no changed key");
    row.held = voiceGot == 0 && textGot == 0 && !sealedWithAttacker && !textShown && !changedKey && talkerHeard;
    return row;
}

// Row 2: one JoinRequest from another port of the victim's IP, with the victim's id and local
// address as every roster shows them. With `ownKey` (row 2k) the attacker also speaks keys: it
// answers the host's cookie with a join signed by a key of its own, and tries the victim's
// record without the keys mark as well.
inline Row rejoinTakeover(bool ownKey = false)
{
    Row row{ownKey ? "2k rejoin takeover with keys: the cookie answered with a join signed by the attacker's own key, "
                     "and the record sent without the keys mark"
                   : "2 rejoin takeover: 1 JoinRequest from another port of the victim's IP, its id and local address",
            "", 0, 0, "", false};
    QTemporaryDir work;
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return row.victimShows = "the host did not start", row;
    FakeMember friendly("friend", loopback(4));
    if (!friendly.join(host.hostEndpoint())) return row.victimShows = "the friend could not join", row;
    const QString log = work.filePath("victim.log");
    LumoProcess victim(loopback(3), memberArguments("victim"), {}, log);
    std::optional<Roster> roster;
    for (int i = 0; i < 50 && !(roster && roster->count == 2); ++i) {
        QTest::qWait(100);
        roster = askRoster(friendly.peer, friendly.self, host.hostEndpoint());
    }
    if (!roster || roster->count != 2) return row.victimShows = "the victim did not join", row;
    const MemberEntry victimRecord = roster->records[std::size_t(idIn(*roster, "victim"))];

    FakePeer attacker(loopback(3), 40002);
    const auto send = [&](const Bytes& bytes) {
        attacker.send(bytes, host.hostEndpoint());
        row.bytesIn += bytes.size();
    };
    send(makeEntryDatagram(cmd::JoinRequest, idByte(victimRecord.id), 0, Kind::ToHost, victimRecord));
    auto got = attacker.collect(1000);
    int cookies = 0;
    if (ownKey) {
        const Identity mallory = Identity::fromSeed(KeySeed{0x6D});
        for (const auto& received : got)
            if (const auto cookie = readJoinCookie(received.bytes)) {
                ++cookies;
                send(makeKeyedJoin(mallory, victimRecord, *cookie));
            }
        MemberEntry unmarked = victimRecord;
        unmarked.reserved = 0;
        send(makeEntryDatagram(cmd::JoinRequest, idByte(victimRecord.id), 0, Kind::ToHost, unmarked));
        for (auto& more : attacker.collect(1000)) got.push_back(std::move(more));
    }
    row.bytesOut = bytesOf(got);
    int acks = 0, cookiesGot = 0;
    for (const auto& received : got) {
        acks += received.bytes.at(0) == cmd::Ack;
        cookiesGot += isJoinCookie(received.bytes);
    }
    row.attackerGot = rostersIn(got) ? "the roster: the victim's record moved to its port"
                                     : std::to_string(cookiesGot) + " cookie(s), " + std::to_string(acks) + " Ack(s), no roster";
    roster = askRoster(friendly.peer, friendly.self, host.hostEndpoint());
    const int at = roster ? idIn(*roster, "victim") : -1;
    const bool kept = at >= 0 && roster->records[std::size_t(at)].publicPort == MemberPort;
    // The host takes the victim's requests only from where its record is.
    const MemberEntry victimAsRecorded = at >= 0 ? roster->records[std::size_t(at)] : victimRecord;
    row.victimShows = kept ? "its record stays at its own port; the host still answers it"
                           : "its record now at port " + std::to_string(victimAsRecorded.publicPort) +
                                 ": the host refuses its requests (主机已离开 once three go unanswered)";
    row.held = kept && !rostersIn(got) && victim.running() && (!ownKey || cookies > 0);
    return row;
}

// Row 3: 32 joins from 8 ports of one IP, then a real player joins.
inline Row oneIpLocksTheGroup()
{
    Row row{"3 one IP fills the group: 32 joins from 8 ports of one IP, then a player joins", "", 0, 0, "", false};
    QTemporaryDir work;
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return row.victimShows = "the host did not start", row;
    FakeMember observer("observer", loopback(6));
    if (!observer.join(host.hostEndpoint())) return row.victimShows = "the observer could not join", row;
    std::vector<std::unique_ptr<FakePeer>> ports;
    for (int p = 0; p < 8; ++p) ports.push_back(std::make_unique<FakePeer>(loopback(10), std::uint16_t(40000 + p)));
    for (int i = 0; i < 32; ++i) {
        const Bytes join = joinRequest(joinerEntry("x" + std::to_string(i), loopback(100 + i)));
        ports[std::size_t(i % 8)]->send(join, host.hostEndpoint());
        row.bytesIn += join.size();
    }
    QTest::qWait(500);
    for (auto& port : ports) row.bytesOut += bytesOf(port->collect(0));
    const QString log = work.filePath("late.log");
    LumoProcess late(loopback(5), memberArguments("late"), {}, log);
    const auto joinedOrFull = [&] {
        const QString text = logOf(log);
        return text.contains("the group is full") || text.contains("received RosterUpdate");
    };
    for (int i = 0; i < 100 && !joinedOrFull(); ++i) QTest::qWait(100);
    const std::optional<Roster> roster = askRoster(observer.peer, observer.self, host.hostEndpoint());
    int held = 0;
    for (int i = 0; roster && i < roster->count; ++i) held += roster->records[std::size_t(i)].publicAddress == loopback(10);
    row.attackerGot = std::to_string(held) + " places of the 30 left";
    const bool full = logOf(log).contains("the group is full");
    const bool in = roster && idIn(*roster, "late") >= 0;
    row.victimShows = full ? "the player is refused: 群已满，或群主没有回应。" : in ? "the player is in the group" : "the player got no answer";
    row.held = held <= 4 && in && !full;
    return row;
}

// Row 3b: a lumo member killed with SIGKILL (it sends no leave) after 35 s in the group: how
// long the host keeps its place, watched for at most `capSeconds`.
inline Row killedMemberFreed(int capSeconds)
{
    Row row{"3b a lumo member killed with SIGKILL after 35 s in the group: its place in the host's table", "-", 0, 0, "", false};
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return row.victimShows = "the host did not start", row;
    FakeMember observer("observer", loopback(6));
    if (!observer.join(host.hostEndpoint())) return row.victimShows = "the observer could not join", row;
    LumoProcess member(loopback(5), memberArguments("killed"));
    std::optional<Roster> roster;
    for (int i = 0; i < 50 && !(roster && idIn(*roster, "killed") >= 0); ++i) {
        QTest::qWait(100);
        roster = askRoster(observer.peer, observer.self, host.hostEndpoint());
    }
    if (!roster || idIn(*roster, "killed") < 0) return row.victimShows = "the member did not join", row;
    // In the group long enough to have asked for the roster once, after 30 s of its own quiet.
    QTest::qWait(35'000);
    ::kill(pid_t(member.pid()), SIGKILL);
    QElapsedTimer since;
    since.start();
    bool gone = false;
    while (!gone && since.elapsed() < capSeconds * 1000LL) {
        QTest::qWait(2000);
        roster = askRoster(observer.peer, observer.self, host.hostEndpoint());
        gone = roster && idIn(*roster, "killed") < 0;
    }
    const long long seconds = since.elapsed() / 1000;
    row.victimShows = gone ? "its place was freed " + std::to_string(seconds) + " s after the kill"
                           : "still listed " + std::to_string(seconds) + " s after the kill";
    row.held = gone && seconds <= 120;
    return row;
}

// Row 4: joins forged from 8 ports of a victim's IP (blind rejoins: any id with the address it
// claimed is taken as a rejoin), fast and slow, and roster requests from those ports, against a
// group of 20. The slow flood runs on an IP of its own, so that the fast one's bytes do not count.
inline std::vector<Row> reflection(int seconds)
{
    struct Phase {
        std::string attack;
        int victimIp;
        std::uint8_t command;
        int everyMs;
        int seconds;
    };
    const std::string run = std::to_string(seconds) + " s";
    const std::vector<Phase> phases{
        {"4a reflection: joins forged from 8 ports of the victim's IP, 50/s, " + run, 11, cmd::JoinRequest, 20, seconds},
        {"4b reflection: then roster requests from those ports, 50/s, " + run, 11, cmd::RosterRequest, 20, seconds},
        {"4c reflection: joins forged from 8 ports of another IP, one every 2 s, " + std::to_string(3 * seconds) + " s", 13,
         cmd::JoinRequest, 2000, 3 * seconds},
    };
    std::vector<Row> rows(phases.size());
    for (std::size_t k = 0; k < phases.size(); ++k) rows[k].attack = phases[k].attack;
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return rows[0].victimShows = "the host did not start", rows;
    std::vector<std::unique_ptr<FakeMember>> group;
    for (int i = 0; i < 20; ++i) {
        group.push_back(std::make_unique<FakeMember>("m" + std::to_string(i), loopback(40 + i)));
        if (!group.back()->join(host.hostEndpoint())) return rows[0].victimShows = "the group did not form", rows;
    }
    for (std::size_t k = 0; k < phases.size(); ++k) {
        const Phase& phase = phases[k];
        Row& row = rows[k];
        std::vector<std::unique_ptr<FakePeer>> victim;
        for (int p = 0; p < 8; ++p) victim.push_back(std::make_unique<FakePeer>(loopback(phase.victimIp), std::uint16_t(40000 + p)));
        for (int tick = 0; tick < phase.seconds * 1000 / phase.everyMs; ++tick) {
            const int p = tick % 8;
            const MemberEntry forged = joinerEntry("v" + std::to_string(p), loopback(200 + p),
                                                   phase.command == cmd::JoinRequest ? tick % 31 : p);
            const Bytes datagram = makeEntryDatagram(phase.command, idByte(forged.id), 0, Kind::ToHost, forged);
            victim[std::size_t(p)]->send(datagram, host.hostEndpoint());
            row.bytesIn += datagram.size();
            QTest::qWait(phase.everyMs);
        }
        QTest::qWait(300);
        int rosters = 0;
        for (auto& port : victim) {
            const auto got = port->collect(0);
            row.bytesOut += bytesOf(got);
            rosters += rostersIn(got);
        }
        row.attackerGot = std::to_string(rosters) + " rosters went to the victim's IP";
        row.victimShows = "its IP received " + std::to_string(row.bytesOut / std::size_t(phase.seconds)) + " B/s";
        for (auto& member : group) member->peer.collect(0);
    }
    // Joins: two rosters, or three times what came in (the Acks are a ninth of it), beyond each
    // of the address's four joiners' own first roster.
    const auto withinFlood = [](const Row& row) {
        return row.bytesOut <= std::max(2 * MaxDatagramSize + row.bytesIn / 9, 3 * row.bytesIn) + 4 * MaxDatagramSize;
    };
    rows[0].held = withinFlood(rows[0]);
    // The roster requests come inside the first flood of joins: the two phases together.
    rows[1].held = rows[0].bytesOut + rows[1].bytesOut <= 3 * (rows[0].bytesIn + rows[1].bytesIn);
    rows[2].held = withinFlood(rows[2]);
    return rows;
}

// Row 5a: PathRequests forged from a member's own address and port, 15 a second, while the
// member asks for the roster now and then as a member does.
inline Row forgedPathRequests(int seconds)
{
    Row row{"5a forged PathRequests from a member's own address, 15/s, " + std::to_string(seconds) + " s", "", 0, 0, "", false};
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return row.victimShows = "the host did not start", row;
    FakeMember member("member", loopback(5)), other("other", loopback(6));
    if (!member.join(host.hostEndpoint()) || !other.join(host.hostEndpoint())) return row.victimShows = "no group", row;
    int asks = 0, answered = 0, probes = 0;
    std::size_t out = 0;
    const auto take = [&](const std::vector<FakePeer::Received>& got) {
        out += bytesOf(got);
        for (const auto& r : got) probes += r.bytes.at(0) == cmd::PathProbe;
        return rostersIn(got) > 0;
    };
    for (int tick = 0; tick < seconds * 15; ++tick) {
        const Bytes forged = makeEntryDatagram(cmd::PathRequest, idByte(member.self.id), 1, Kind::ToHost, member.self);
        member.peer.send(forged, host.hostEndpoint());
        row.bytesIn += forged.size();
        QTest::qWait(66);
        if (tick % 90 == 89) {  // every 6 s the member asks, as a member quiet towards the host does
            ++asks;
            member.peer.send(makeEntryDatagram(cmd::RosterRequest, idByte(member.self.id), 0, Kind::ToHost, member.self),
                             host.hostEndpoint());
            answered += take(member.peer.collect(300));
        }
    }
    take(member.peer.collect(200));
    row.bytesOut = out;
    row.attackerGot = "introductions for " + std::to_string(probes) + " of its " + std::to_string(seconds * 15) +
                      " forged PathRequests";
    row.victimShows = std::to_string(answered) + " of its " + std::to_string(asks) +
                      " roster requests answered (a lumo member shows 主机已离开 after three unanswered)";
    row.held = asks > 0 && answered == asks;
    return row;
}

// Row 5b: a source that spent its request budget, then requests from 1,100 new sources (each a
// socket on an address of its own), then the spent source again.
inline Row newSourcesResetNobody()
{
    Row row{"5b 1,100 new sources after a source spent its request budget", "", 0, 0, "", false};
    FakePeer probe(loopback(9), HostPort);
    LumoProcess host(HostIp);
    if (!host.waitUntilAnswering(probe)) return row.victimShows = "the host did not start", row;
    FakePeer limited(loopback(12), 40000);
    MemberEntry nobody;
    nobody.id = 200;
    const Bytes ask = makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody);
    const auto acksFor = [&](int n) {
        for (int i = 0; i < n; ++i) limited.send(ask, host.hostEndpoint());
        row.bytesIn += ask.size() * std::size_t(n);
        const auto got = limited.collect(300);
        row.bytesOut += bytesOf(got);
        return int(got.size());
    };
    const int first = acksFor(60);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(HostPort);
    to.sin_addr.s_addr = htonl(HostIp);
    for (int i = 0; i < 1100; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(loopback(0x1000 + i));
        if (fd < 0) continue;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0)
            ::sendto(fd, ask.data(), ask.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ::close(fd);
        if (i % 50 == 49) QTest::qWait(10);  // so that the host's socket buffer holds them all
    }
    const int after = acksFor(60);
    row.attackerGot = "the limited source had " + std::to_string(first) + " of 60 answered, then " + std::to_string(after) +
                      " of 60 after the new sources";
    row.victimShows = after >= 20 ? "its budget was given back" : "its budget stayed spent";
    // Refilling alone gives back a few (one per 100 ms); a reset gives back the whole burst of 20.
    row.held = after < 20;
    return row;
}

}  // namespace lumo::test::attack
