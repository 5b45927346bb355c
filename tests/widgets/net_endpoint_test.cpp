// The group sockets on loopback: the receive drain hands on every pending datagram, in order,
// with its source, however many arrive together, and again after a quiet spell; a datagram
// longer than 1,024 bytes is handed on cut to 1,024; a batch send puts exactly the given
// datagrams on the wire, each to its own endpoint, from the socket's own port. And the endpoint
// tells the window that a member talks a few times a second, not once per voice datagram,
// the last time after that member's last datagram.
#include "fake_peer.h"
#include "net/group_endpoint.h"
#include "net/peer_socket.h"
#include "core/voice/voice_streams.h"

#include <QtTest>

#include <map>

using namespace lumo;
using namespace lumo::test;

namespace {

struct Heard {
    Bytes bytes;
    Endpoint from;
};

// A plain descriptor bound to `address`, sending as fast as the kernel takes it.
class RawSender {
public:
    explicit RawSender(Ipv4 address)
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        endpoint_ = {address, ntohs(local.sin_port)};
    }
    ~RawSender() { if (fd_ >= 0) ::close(fd_); }
    bool bound() const { return bound_; }
    Endpoint endpoint() const { return endpoint_; }
    bool send(const Bytes& bytes, Endpoint to) const
    {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(to.port);
        target.sin_addr.s_addr = htonl(to.address);
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) ==
               ssize_t(bytes.size());
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    Endpoint endpoint_;
};

// A datagram that says which one of a run it is.
Bytes numbered(int n, std::size_t size = 68)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t((n * 7 + int(i)) & 0xFF);
    bytes[0] = std::uint8_t(n & 0xFF);
    bytes[1] = std::uint8_t(n >> 8);
    return bytes;
}

bool waitFor(const std::function<bool()>& done, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QTest::qWait(5);
    return done();
}

}  // namespace

class NetEndpointTest : public QObject {
    Q_OBJECT

    std::vector<Heard> heard;
    std::unique_ptr<PeerSocket> socket;
    Endpoint socketEndpoint{loopback(10), MemberPort};

private slots:
    void init()
    {
        heard.clear();
        socket = std::make_unique<PeerSocket>([this](ByteView datagram, Endpoint from) {
            heard.push_back({Bytes(datagram.begin(), datagram.end()), from});
        });
        QVERIFY(socket->bind(socketEndpoint.address, socketEndpoint.port));
    }
    void cleanup() { socket.reset(); }

    // Runs far longer than one recvmmsg batch, each run sent before the event loop gets a turn,
    // come out whole and in order, from the right source.
    void drainHandsOnEveryDatagramOfLongRuns()
    {
        RawSender sender(loopback(11));
        QVERIFY(sender.bound());
        // 150 datagrams of 68 bytes fit the kernel's default receive buffer with room to spare.
        constexpr int Runs = 7, PerRun = 150;
        int sent = 0;
        for (int run = 0; run < Runs; ++run) {
            for (int i = 0; i < PerRun; ++i) QVERIFY(sender.send(numbered(sent++), socketEndpoint));
            QVERIFY2(waitFor([&] { return int(heard.size()) == sent; }),
                     qPrintable(QStringLiteral("%1 of %2 handed on").arg(heard.size()).arg(sent)));
        }
        QCOMPARE(int(heard.size()), Runs * PerRun);
        for (int n = 0; n < Runs * PerRun; ++n) {
            QCOMPARE(heard[std::size_t(n)].bytes, numbered(n));
            QCOMPARE(heard[std::size_t(n)].from, sender.endpoint());
        }
        // Nothing more than was sent.
        QTest::qWait(50);
        QCOMPARE(int(heard.size()), Runs * PerRun);
    }

    // After the socket has been drained and the loop has idled, later datagrams still wake it:
    // the read notifier is armed again after every drain.
    void datagramsAfterQuietSpellsStillArrive()
    {
        RawSender sender(loopback(12));
        QVERIFY(sender.bound());
        for (int round = 0; round < 4; ++round) {
            QTest::qWait(150);
            QVERIFY(sender.send(numbered(round), socketEndpoint));
            QVERIFY2(waitFor([&] { return int(heard.size()) == round + 1; }, 2000),
                     qPrintable(QStringLiteral("round %1 never arrived").arg(round)));
            QCOMPARE(heard.back().bytes, numbered(round));
        }
    }

    // A datagram longer than every receiver's 1,024-byte read is handed on cut, its first 1,024
    // bytes; those around it are whole, and an empty one is not handed on.
    void longDatagramIsHandedOnCut()
    {
        RawSender sender(loopback(13));
        QVERIFY(sender.bound());
        QVERIFY(sender.send(numbered(1), socketEndpoint));
        QVERIFY(sender.send(numbered(2, 3000), socketEndpoint));
        QVERIFY(sender.send(Bytes{}, socketEndpoint));
        QVERIFY(sender.send(numbered(3, 1024), socketEndpoint));
        QVERIFY(waitFor([&] { return heard.size() >= 3; }));
        QTest::qWait(50);
        QCOMPARE(int(heard.size()), 3);
        QCOMPARE(heard[0].bytes, numbered(1));
        const Bytes whole = numbered(2, 3000);
        QCOMPARE(heard[1].bytes, Bytes(whole.begin(), whole.begin() + 1024));
        QCOMPARE(heard[2].bytes, numbered(3, 1024));
    }

    // A voice block to eight members: each gets exactly its own datagram, from the member port,
    // and the datagrams are those the plan makes one by one.
    void batchSendReachesEachTargetOnce()
    {
        VoiceSendPlan plan;
        plan.command = cmd::VoiceGroup;
        plan.senderId = 3;
        std::vector<std::unique_ptr<FakePeer>> peers;
        for (int i = 0; i < 8; ++i) {
            peers.push_back(std::make_unique<FakePeer>(loopback(20 + i), MemberPort));
            QVERIFY(peers.back()->bound());
            plan.targets.push_back({std::uint8_t(10 + i), peers.back()->endpoint()});
        }
        VoiceRecord record;
        record.sequence = 77;
        for (std::size_t i = 0; i < record.speech.size(); ++i) record.speech[i] = std::uint8_t(i * 3);
        const std::vector<Outgoing> expected = plan.datagrams(record);

        VoiceSendPlan::Block block;
        plan.fill(record, block);
        QCOMPARE(block.count, 8);
        std::vector<OutgoingView> views;
        for (int i = 0; i < block.count; ++i) views.push_back({block.to[std::size_t(i)], ByteView(block.bytes[std::size_t(i)])});
        QCOMPARE(socket->sendBatchFromAnyThread(views), 8);

        for (int i = 0; i < 8; ++i) {
            const std::vector<FakePeer::Received> got = peers[std::size_t(i)]->collect(150);
            QCOMPARE(int(got.size()), 1);
            QCOMPARE(got[0].bytes, expected[std::size_t(i)].bytes);
            QCOMPARE(got[0].from, socketEndpoint);
        }
    }

    // More datagrams than one sendmmsg call takes, as Outgoing records: all go, in order.
    void batchSendOfManyDatagramsSendsAll()
    {
        FakePeer peer(loopback(30), MemberPort);
        QVERIFY(peer.bound());
        std::vector<Outgoing> many;
        for (int n = 0; n < PeerSocket::SendBatch * 2 + 5; ++n) many.push_back({peer.endpoint(), numbered(n)});
        QCOMPARE(socket->sendBatchFromAnyThread(many), int(many.size()));
        std::vector<FakePeer::Received> got;
        QVERIFY(waitFor([&] {
            for (auto& r : peer.collect(20)) got.push_back(std::move(r));
            return got.size() >= many.size();
        }));
        QCOMPARE(got.size(), many.size());
        for (std::size_t n = 0; n < many.size(); ++n) QCOMPARE(got[n].bytes, many[n].bytes);
    }

    // An unbound socket sends nothing and says so; a second socket on a taken port fails to bind
    // with the system's reason, as before.
    void unboundAndTakenPorts()
    {
        PeerSocket second([](ByteView, Endpoint) {});
        QVERIFY(!second.bind(socketEndpoint.address, socketEndpoint.port));
        QVERIFY(!second.isBound());
        QCOMPARE(second.bindError(), QAbstractSocket::AddressInUseError);
        QVERIFY(!second.bindErrorText().isEmpty());
        const std::vector<Outgoing> one{{socketEndpoint, numbered(1)}};
        QCOMPARE(second.sendBatchFromAnyThread(one), 0);
    }

    // The host table's duplicate sweep runs on the endpoint's one timer, scheduled for the earlier
    // of its and the session's deadlines: here the session has none (it joined nothing), and the
    // sweep still comes when the endpoint's clock reaches it.
    void theHostTablesSweepRunsOnTheEndpointsClock()
    {
        socket.reset();
        const Ipv4 me = loopback(44), machine = loopback(45);
        GroupEndpoint endpoint(me);
        FakePeer first(machine, MemberPort), restarted(machine, MemberPort + 1);
        QVERIFY(endpoint.socketsBound() && first.bound() && restarted.bound());
        MemberEntry entry = memberAt(0, "ann", machine);
        entry.id = UnassignedId;
        for (FakePeer* peer : {&first, &restarted}) {
            peer->send(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, entry), {me, HostPort});
            QVERIFY(peer->next(1000, cmd::Ack));
        }
        QCOMPARE(endpoint.hostRoster().count, 2);
        QVERIFY(!endpoint.session().nextDeadline());
        endpoint.skipTime(HostTable::DuplicateSweepMs - 1000);
        QCOMPARE(endpoint.hostRoster().count, 2);
        first.collect(0);  // the rosters of the joins
        endpoint.skipTime(1000);
        QCOMPARE(endpoint.hostRoster().count, 1);
        const std::optional<FakePeer::Received> roster = first.next(1000, cmd::RosterUpdate);
        QVERIFY(roster);
        QCOMPARE(readRosterUpdate(roster->bytes).count, 1);
    }

    // Two members talk in a flood (a datagram each every 5 ms for a second): the window hears of
    // each a handful of times, at most once per period and never fewer than the flood's length
    // allows, and the last time comes after that member's last datagram.
    void voiceHeardIsToldAFewTimesASecondAndLast()
    {
        socket.reset();  // the endpoint binds ports of its own
        const Ipv4 me = loopback(40), talkers = loopback(41);
        GroupEndpoint endpoint(me);
        FakePeer host(loopback(42), HostPort), peer(talkers, MemberPort);
        QVERIFY(endpoint.socketsBound() && host.bound() && peer.bound());
        // Rosters are taken only from the host the endpoint joined.
        QCOMPARE(endpoint.connectTo("me", loopback(42)), MemberSession::ConnectProblem::None);
        QVERIFY(host.next(1000, cmd::JoinRequest));
        Roster roster;
        roster.count = 3;
        roster.records[0] = memberAt(0, "ann", talkers);
        roster.records[1] = memberAt(1, "bob", talkers);
        roster.records[2] = memberAt(2, "me", me);
        host.send(makeRosterUpdate(2, roster), {me, MemberPort});
        QTRY_COMPARE(endpoint.session().roster().count, 3);

        QElapsedTimer clock;
        clock.start();
        std::map<int, std::vector<qint64>> told;
        connect(&endpoint, &GroupEndpoint::sessionEvent, this, [&](const SessionEvent& event) {
            if (event.kind == SessionEvent::Kind::VoiceHeard) told[event.memberId].push_back(clock.elapsed());
        });
        VoiceRecord record;
        std::uint32_t sequence = 0;
        qint64 lastSent = 0;
        const qint64 floodStart = clock.elapsed();
        while (clock.elapsed() - floodStart < 1000) {
            record.sequence = ++sequence;
            for (const int from : {0, 1}) peer.send(makeVoiceDatagram(cmd::VoiceGroup, 2, idByte(from), record), {me, MemberPort});
            lastSent = clock.elapsed();
            QTest::qWait(5);
        }
        // Whatever is held goes out within one period.
        QTest::qWait(int(GroupEndpoint::VoiceHeardPeriodMs) * 2);
        const qint64 span = clock.elapsed() - floodStart;
        for (const int member : {0, 1}) {
            const std::vector<qint64>& times = told[member];
            QVERIFY2(times.size() >= 2, qPrintable(QStringLiteral("member %1 told %2 times").arg(member).arg(times.size())));
            QVERIFY2(qint64(times.size()) <= span / GroupEndpoint::VoiceHeardPeriodMs + 1,
                     qPrintable(QStringLiteral("member %1 told %2 times in %3 ms").arg(member).arg(times.size()).arg(span)));
            for (std::size_t i = 1; i < times.size(); ++i)
                QVERIFY2(times[i] - times[i - 1] >= GroupEndpoint::VoiceHeardPeriodMs - 5,
                         qPrintable(QStringLiteral("member %1 told twice within %2 ms").arg(member).arg(times[i] - times[i - 1])));
            QVERIFY(times.back() >= lastSent);
        }
        // Quiet afterwards, and a member who talks again after the period is told at once.
        const std::size_t before = told[0].size();
        QTest::qWait(300);
        QCOMPARE(told[0].size(), before);
        record.sequence = ++sequence;
        peer.send(makeVoiceDatagram(cmd::VoiceGroup, 2, 0, record), {me, MemberPort});
        QTRY_COMPARE(told[0].size(), before + 1);
    }
};

QTEST_MAIN(NetEndpointTest)
#include "net_endpoint_test.moc"
