// Real lumo processes under load. A host with a full group: 31 members join at once, then every
// one of them floods the host with path requests and chat for a few seconds; afterwards every
// member must still get the whole table, the process must still run, and its memory must not
// have grown beyond a generous bound (the figures are printed). A member flooded with chat text:
// it must keep answering and its memory must stay within the same bound.
#include "lumo_process.h"

#include <QFile>
#include <QtTest>

#include <memory>

using namespace lumo;
using namespace lumo::test;

namespace {

// Loopback addresses of their own, clear of the other tests' 127.0.0.x.
const Ipv4 HostAddress = loopback(0x101);  // 127.B.1.1
const Ipv4 ProbeAddress = loopback(0x164);  // 127.B.1.100
const Ipv4 ChattyMemberAddress = loopback(0x165);  // 127.B.1.101
const Ipv4 ChatterAddress = loopback(0x166);  // 127.B.1.102
Ipv4 memberAddress(int i) { return loopback(0x102 + i); }  // 127.B.1.2 ...

constexpr int FloodMilliseconds = 3000;
constexpr int RoundMilliseconds = 20;
// Growth of the host's resident memory over the flood that counts as a leak. The flood handles
// thousands of datagrams; a program that keeps anything per datagram grows far beyond this.
constexpr long MaxGrowthKb = 48 * 1024;

long residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

struct Member {
    std::unique_ptr<FakePeer> peer;
    MemberEntry own;
};

}  // namespace

class LoadHostTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Under AddressSanitizer freed memory waits in a quarantine (256 MB by default) before it
        // is used again, which reads as growth: the processes measured here keep it small.
        const QByteArray options = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", options + (options.isEmpty() ? "" : ":") + "quarantine_size_mb=4");
    }

    void fullGroupSurvivesAFloodAndKeepsItsRoster()
    {
        FakePeer probe(ProbeAddress, MemberPort);
        QVERIFY(probe.bound());
        std::vector<Member> members(MaxGroupMembers);
        for (int i = 0; i < MaxGroupMembers; ++i) {
            members[i].peer = std::make_unique<FakePeer>(memberAddress(i), MemberPort);
            QVERIFY2(members[i].peer->bound(), "a member's loopback address cannot be bound");
            members[i].own.setName(("m" + std::to_string(i)).c_str());
            members[i].own.id = UnassignedId;
            members[i].own.localPort = MemberPort;
            members[i].own.localAddress = memberAddress(i);
        }
        LumoProcess lumo(HostAddress);
        QVERIFY2(lumo.waitUntilAnswering(probe), "lumo did not start answering on its host port");
        const Endpoint host = lumo.hostEndpoint();

        // All 31 join at once; each learns its id from the last roster it receives.
        for (Member& m : members)
            m.peer->send(makeEntryDatagram(cmd::JoinRequest, idByte(m.own.id), 0, Kind::ToHost, m.own), host);
        for (int i = 0; i < MaxGroupMembers; ++i) {
            std::optional<Roster> last;
            int index = -1;
            for (const auto& r : members[i].peer->collect(i == 0 ? 1000 : 0)) {
                if (r.bytes.size() < 8 || r.bytes[0] != cmd::RosterUpdate) continue;
                last = readRosterUpdate(r.bytes);
                index = r.bytes[1];
            }
            QVERIFY2(last && last->count == MaxGroupMembers, qPrintable(QStringLiteral("member %1 lacks the full roster").arg(i)));
            QCOMPARE(last->records[index].localAddress, memberAddress(i));
            members[i].own = last->records[index];
        }

        // A short warm-up, so that what the process allocates once is counted before the flood.
        auto round = [&](int n) {
            for (int i = 0; i < MaxGroupMembers; ++i) {
                Member& m = members[i];
                const int target = (i + 1 + n) % MaxGroupMembers;
                m.peer->send(makeEntryDatagram(cmd::PathRequest, idByte(m.own.id), idByte(target), Kind::ToHost, m.own), host);
                const std::string text = "load " + std::to_string(n) + " from " + std::to_string(i);
                m.peer->send(makeChatText(0, idByte(m.own.id), text), lumo.memberEndpoint());
                m.peer->send(makeChatText(idByte(target), idByte(m.own.id), text), host);
            }
        };
        for (int n = 0; n < 10; ++n) {
            round(n);
            QTest::qWait(RoundMilliseconds);
        }
        QTest::qWait(300);
        for (Member& m : members) m.peer->collect(0);
        const qint64 pid = lumo.pid();
        const long before = residentKb(pid);
        QVERIFY(before > 0);

        // The flood: path requests to the host and chat to both of its ports from every member.
        QElapsedTimer timer;
        timer.start();
        int rounds = 0;
        long probes = 0;
        while (timer.elapsed() < FloodMilliseconds) {
            round(rounds++);
            QTest::qWait(RoundMilliseconds);
            for (Member& m : members)
                for (const auto& r : m.peer->collect(0))
                    if (!r.bytes.empty() && r.bytes[0] == cmd::PathProbe) ++probes;
        }
        const long sent = long(rounds) * MaxGroupMembers * 3;
        QTest::qWait(500);
        for (Member& m : members)
            for (const auto& r : m.peer->collect(0))
                if (!r.bytes.empty() && r.bytes[0] == cmd::PathProbe) ++probes;
        QVERIFY2(lumo.running(), "lumo ended during the flood");
        const long after = residentKb(pid);
        qInfo("flood: %ld datagrams in %d rounds over %lld ms, %ld path probes back; lumo VmRSS %ld kB before, "
              "%ld kB after (%+ld kB)",
              sent, rounds, static_cast<long long>(timer.elapsed()), probes, before, after, after - before);
        QVERIFY2(probes > 0, "the host answered no path request during the flood");
        QVERIFY2(after - before < MaxGrowthKb, "lumo's memory grew beyond the bound over the flood");

        // No lost roster: every member that asks gets the whole table with its own index.
        for (int i = 0; i < MaxGroupMembers; ++i) {
            Member& m = members[i];
            std::optional<FakePeer::Received> roster;
            for (int attempt = 0; attempt < 3 && !roster; ++attempt) {
                m.peer->send(makeEntryDatagram(cmd::RosterRequest, idByte(m.own.id), 0, Kind::ToHost, m.own), host);
                roster = m.peer->next(2000, cmd::RosterUpdate);
            }
            QVERIFY2(roster, qPrintable(QStringLiteral("member %1 got no roster after the flood").arg(i)));
            QVERIFY(lengthFits(Message::RosterUpdate, roster->bytes));
            const Roster table = readRosterUpdate(roster->bytes);
            QCOMPARE(table.count, MaxGroupMembers);
            QCOMPARE(int(roster->bytes[1]), int(m.own.id));
            QVERIFY(table.records[m.own.id] == m.own);
        }
        QVERIFY(lumo.stop());
    }

    void memberFloodedWithChatKeepsAnsweringInBoundedMemory()
    {
        FakePeer chatter(ChatterAddress, MemberPort);
        QVERIFY(chatter.bound());
        // The chatter hosts the group lumo joins: lumo takes a roster only from the host it joined.
        FakePeer groupHost(ChatterAddress, HostPort);
        QVERIFY(groupHost.bound());
        LumoProcess lumo(ChattyMemberAddress, {QStringLiteral("--name"), QStringLiteral("lumo"), QStringLiteral("--connect"),
                                               QString::fromStdString(dottedAddress(ChatterAddress))});
        QVERIFY2(lumo.waitUntilAnswering(chatter), "lumo did not start answering on its host port");
        chatter.collect(0);
        QVERIFY2(groupHost.next(5000, cmd::JoinRequest), "lumo did not join the chatter's group");
        // The group's roster as the host sends it: the chatter is 0, lumo is 1.
        Roster roster;
        roster.count = 2;
        roster.records[0] = memberAt(0, "chatter", ChatterAddress);
        roster.records[1] = memberAt(1, "lumo", ChattyMemberAddress);
        groupHost.send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), lumo.memberEndpoint());
        groupHost.send(makeRosterUpdate(1, roster), lumo.memberEndpoint());

        // Every text is shown to the player; the first ones open boxes that nobody answers here.
        auto chat = [&](int from, int to) {
            for (int i = from; i < to; ++i) {
                chatter.send(makeChatText(1, 0, "flood " + std::to_string(i)), lumo.memberEndpoint());
                if (i % 100 == 99) QTest::qWait(5);
            }
        };
        chat(0, 50);
        QTest::qWait(1000);
        const qint64 pid = lumo.pid();
        const long before = residentKb(pid);
        QVERIFY(before > 0);
        constexpr int Texts = 15000;
        chat(50, 50 + Texts);
        QTest::qWait(2000);
        QVERIFY2(lumo.running(), "lumo ended under a flood of chat");
        // Still handling datagrams: a member's probe is confirmed.
        chatter.collect(0);
        chatter.send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), lumo.memberEndpoint());
        QVERIFY2(chatter.next(5000, cmd::PathConfirm), "lumo stopped answering after a flood of chat");
        const long after = residentKb(pid);
        qInfo("chat flood: %d texts; lumo VmRSS %ld kB before, %ld kB after (%+ld kB)", Texts, before, after,
              after - before);
        QVERIFY2(after - before < MaxGrowthKb, "lumo's memory grew beyond the bound over the chat flood");
        QVERIFY(lumo.stop());
    }
};

QTEST_GUILESS_MAIN(LoadHostTest)
#include "load_host_test.moc"
