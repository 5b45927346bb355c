// A real lumo process as a group member: the test plays its group host and another member over
// real UDP on loopback.
#include "lumo_process.h"

#include <QtTest>

using namespace lumo;
using namespace lumo::test;

class MemberProcessTest : public QObject {
    Q_OBJECT

    const Ipv4 lumoAddress = loopback(2);
    const Ipv4 hostAddress = loopback(30);
    const Ipv4 otherAddress = loopback(31);

private slots:
    void answersItsGroupAndSurvivesGarbage()
    {
        FakePeer host(hostAddress, HostPort);
        FakePeer other(otherAddress, MemberPort);
        QVERIFY(host.bound() && other.bound());
        // lumo joins the test's host: it takes the group's messages only from the host it joined.
        LumoProcess lumo(lumoAddress, {QStringLiteral("--name"), QStringLiteral("lumo"), QStringLiteral("--connect"),
                                       QString::fromStdString(dottedAddress(hostAddress))});
        QVERIFY2(lumo.waitUntilAnswering(other), "lumo did not start answering on its host port");
        other.collect(0);
        QVERIFY2(host.next(5000, cmd::JoinRequest), "lumo --connect sent no join");

        // The host's roster: the other member is 0, lumo is 1.
        Roster roster;
        roster.count = 2;
        roster.records[0] = memberAt(0, "other", otherAddress);
        roster.records[1] = memberAt(1, "lumo", lumoAddress);
        host.send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), lumo.memberEndpoint());
        host.send(makeRosterUpdate(1, roster), lumo.memberEndpoint());  // taken in order, before the probe

        // A host's probe [23, 1, 0, 1] makes lumo probe the other member directly, as [23, 0, 1, 2].
        host.send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::FromHost), lumo.memberEndpoint());
        auto probe = other.next(2000, cmd::PathProbe);
        QVERIFY2(probe, "no member probe reached the other member");
        QCOMPARE(probe->bytes, (Bytes{23, 0, 1, 2}));
        QCOMPARE(probe->from, lumo.memberEndpoint());
        // ... and nothing more: no confirmation of its own probe, up to lumo's next answer.
        const auto more = lumo.receivedUntilAnswer(other);
        QVERIFY(more && more->empty());

        // A member's probe is confirmed to that member.
        other.send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), lumo.memberEndpoint());
        auto confirm = other.next(2000, cmd::PathConfirm);
        QVERIFY(confirm);
        QCOMPARE(confirm->bytes, (Bytes{21, 0, 1, 2}));

        // Garbage of every shape on both ports: no reply, no crash. Sent in rounds that each end
        // with a probe, so that a busy machine cannot drop the probe for a full socket buffer:
        // the probe is still answered, and what came before the answer is all the garbage drew.
        for (int round = 0; round < 8; ++round) {
            for (int i = round * 50; i < (round + 1) * 50; ++i) {
                const int length = (i * 37) % 1100;
                Bytes junk(length);
                for (int k = 0; k < length; ++k) junk[k] = static_cast<std::uint8_t>((i * 131 + k * 7) ^ (k >> 3));
                if (length > 3 && i % 3 == 0) junk[3] = static_cast<std::uint8_t>(1 + i % 2);  // plausible kinds
                other.send(junk, lumo.memberEndpoint());
                other.send(junk, {lumoAddress, HostPort});
            }
            other.send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), lumo.memberEndpoint());
            auto replies = other.collectUntil(
                [&](const FakePeer::Received& r) { return r.from == lumo.memberEndpoint() && FakePeer::command(cmd::PathConfirm)(r); });
            QVERIFY2(replies, "a probe after the garbage was not confirmed");
            replies->pop_back();
            for (const auto& reply : *replies) {
                // Only the host port answers, and only with Acks to well-formed requests.
                QCOMPARE(reply.from, lumo.hostEndpoint());
                QCOMPARE(int(reply.bytes.at(0)), int(cmd::Ack));
            }
        }
        QVERIFY(lumo.running());
    }

    void leavesTheGroupWhenTerminated()
    {
        FakePeer host(hostAddress, HostPort);
        LumoProcess lumo(lumoAddress, {QStringLiteral("--name"), QStringLiteral("quitter"), QStringLiteral("--connect"),
                                       QString::fromStdString(dottedAddress(hostAddress))});
        auto join = host.next(5000, cmd::JoinRequest);
        QVERIFY2(join, "lumo --connect sent no join");
        QCOMPARE(decodeMemberEntry(join->bytes.data() + 4).nameBytes(), std::string("quitter"));
        QVERIFY(lumo.stop());
        auto leave = host.next(2000, cmd::LeaveNotice);
        QVERIFY2(leave, "no leave notice when the process ended");
        QCOMPARE(decodeMemberEntry(leave->bytes.data() + 4).nameBytes(), std::string("quitter"));
    }
};

QTEST_GUILESS_MAIN(MemberProcessTest)
#include "member_process_test.moc"
