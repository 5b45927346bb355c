// A stranger on the network against real lumo processes: a group host and a member started as
// players start them, the test playing the member's friend, further fake members and the
// attacker, all over real UDP on loopback. What counts is what the programs send and write:
// whose address the member's traffic goes to, whose voice it plays (its speaker files), what it
// logs, and how many bytes the host sends for each byte a non-member sends it.
#include "lumo_process.h"
#include "core/voice_test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "link_control.h"

using namespace lumo;
using namespace lumo::test;

namespace {

MemberEntry entryOf(const char* name, Ipv4 address, int id = UnassignedId)
{
    MemberEntry e = memberAt(id, name, address);
    e.publicAddress = 0;
    e.publicPort = 0;
    return e;
}

std::size_t bytesOf(const std::vector<FakePeer::Received>& received)
{
    std::size_t total = 0;
    for (const auto& r : received) total += r.bytes.size();
    return total;
}

int idIn(const Roster& roster, const std::string& name)
{
    for (int i = 0; i < roster.count; ++i)
        if (roster.records[std::size_t(i)].nameBytes() == name) return i;
    return -1;
}

Bytes voiceFrom(int to, int from, std::uint32_t sequence)
{
    VoiceRecord record;
    record.sequence = sequence;
    return makeVoiceDatagram(cmd::VoiceGroup, idByte(to), idByte(from), record);
}

}  // namespace

class AttackTest : public QObject {
    Q_OBJECT

    const Ipv4 hostAddress = loopback(2);
    const Ipv4 victimAddress = loopback(3);
    const Ipv4 friendAddress = loopback(4);
    const Ipv4 strangerAddress = loopback(9);

private slots:
    void aStrangerCannotTakeOverTheGroup()
    {
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkpath("heard"));
        const QString netLog = work.filePath("victim.log");
        FakePeer friendPort(friendAddress, MemberPort);
        FakePeer stranger(strangerAddress, MemberPort), strangerHostPort(strangerAddress, HostPort);
        FakePeer friendsOtherPort(friendAddress, 4444);
        QVERIFY(friendPort.bound() && stranger.bound() && strangerHostPort.bound() && friendsOtherPort.bound());

        LumoProcess host(hostAddress);
        QVERIFY2(host.waitUntilAnswering(stranger), "the host did not start");
        stranger.collect(0);
        const Endpoint hostPort = host.hostEndpoint();
        friendPort.send(makeEntryDatagram(cmd::JoinRequest, idByte(UnassignedId), 0, Kind::ToHost,
                                          entryOf("friend", friendAddress)),
                        hostPort);
        QVERIFY(friendPort.next(2000, cmd::Ack));
        OverlayStandIn victimLink;
        LumoProcess victim(victimAddress,
                           {"--verbose", "--name", "victim", "--connect", QString::fromStdString(dottedAddress(hostAddress)),
                            "--audio", "wav:" + QString::fromStdString(phrasePath().string()) + ":" + work.filePath("heard")},
                           victimLink.runtimeDirectory(), netLog);
        // The friend's copy of the group's roster, once the victim is in it.
        Roster roster;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                while (auto update = friendPort.next(50, cmd::RosterUpdate)) roster = readRosterUpdate(update->bytes);
                return roster.count == 2;
            }(),
            5000);
        const int friendId = idIn(roster, "friend"), victimId = idIn(roster, "victim");
        QVERIFY(friendId >= 0 && victimId >= 0);
        QVERIFY(victimLink.waitForMailbox());
        QTest::qWait(300);

        // Roster hijack: a roster, an Ack and an introduction from the stranger's two ports, the
        // roster putting "friend" at the stranger's address.
        Roster forged = roster;
        forged.records[std::size_t(friendId)].publicAddress = strangerAddress;
        forged.records[std::size_t(friendId)].localAddress = strangerAddress;
        for (FakePeer* from : {&stranger, &strangerHostPort}) {
            from->send(makeRosterUpdate(idByte(victimId), forged), victim.memberEndpoint());
            from->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), victim.memberEndpoint());
            from->send(makeHeaderOnly(cmd::PathProbe, idByte(victimId), idByte(friendId), Kind::FromHost),
                       victim.memberEndpoint());
        }
        // The victim has handled the forgeries once it answers twice (the second request goes out
        // after it took what waited on both its ports). What else it sent the stranger counts.
        std::size_t toStranger = 0;
        auto answers = [&](FakePeer& port) {
            const auto before = victim.receivedUntilAnswer(port);
            toStranger += before ? before->size() : 0;
            return before.has_value();
        };
        QVERIFY(answers(stranger) && answers(strangerHostPort) && answers(stranger));
        friendPort.collect(0);
        // The victim talks to its friend: the voice goes to the friend, nothing to the stranger.
        const auto rowOf = [&](int id) { return roster.count - id - 1; };
        QVERIFY(victimLink.post(link::to_main::SelectMember, rowOf(friendId)));
        QVERIFY(victimLink.post(link::to_main::VoiceToggle, 1));
        // Until six voice records reached the friend, then whatever reached the stranger's two
        // ports up to the victim's next answer.
        int voiceToFriend = 0;
        friendPort.collectUntil([&](const FakePeer::Received& r) { return (voiceToFriend += r.bytes.at(0) == cmd::VoiceGroup) > 5; },
                                15000);
        QVERIFY(victimLink.post(link::to_main::VoiceToggle, 0));
        QVERIFY(answers(strangerHostPort) && answers(stranger));
        qInfo("hijack: after the forged roster the victim sent %d voice datagrams to its friend, %zu datagrams to the "
              "stranger",
              voiceToFriend, toStranger);
        QVERIFY2(voiceToFriend > 5, "the victim's voice did not reach its friend");
        QCOMPARE(toStranger, std::size_t(0));

        // Impersonation: text and voice in the friend's name from the stranger's address, and
        // from the friend's own address on another port; nothing is played or shown.
        const QString heardFromFriend = work.filePath(QStringLiteral("heard/peer-%1.wav").arg(friendId));
        for (FakePeer* from : {&stranger, &friendsOtherPort}) {
            from->send(makeChatText(idByte(victimId), idByte(friendId), "forged"), victim.memberEndpoint());
            for (std::uint32_t s = 1; s <= 5; ++s) from->send(voiceFrom(victimId, friendId, s), victim.memberEndpoint());
        }
        QVERIFY(victim.receivedUntilAnswer(stranger) && victim.receivedUntilAnswer(stranger));
        QVERIFY2(!QFile::exists(heardFromFriend), "the victim played voice sent in its friend's name");
        // The friend's own voice is played.
        for (std::uint32_t s = 1; s <= 5; ++s) friendPort.send(voiceFrom(victimId, friendId, s), victim.memberEndpoint());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(heardFromFriend), 3000);

        // Eviction: a leave in the friend's name from the friend's address on another port.
        friendsOtherPort.send(makeEntryDatagram(cmd::LeaveNotice, idByte(friendId), 0xFF, Kind::ToHost,
                                                roster.records[std::size_t(friendId)]),
                              hostPort);
        friendPort.collect(0);  // the host takes its requests in order: the leave, then the roster request
        friendPort.send(makeEntryDatagram(cmd::RosterRequest, idByte(friendId), 0, Kind::ToHost,
                                          roster.records[std::size_t(friendId)]),
                        hostPort);
        std::optional<Roster> after;
        if (auto update = friendPort.next(2000, cmd::RosterUpdate)) after = readRosterUpdate(update->bytes);
        QVERIFY2(after, "the host did not answer its member's roster request");
        QCOMPARE(after->count, 2);
        QCOMPARE(idIn(*after, "friend"), friendId);

        // The victim logged what it refused, with where it came from.
        QVERIFY(victim.stop());
        QFile log(netLog);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString logged = QString::fromUtf8(log.readAll());
        const QString stranger_ = QString::fromStdString(dottedAddress(strangerAddress));
        const QString friend_ = QString::fromStdString(dottedAddress(friendAddress));
        for (const QString& line : {"dropped RosterUpdate from " + stranger_ + ":3555",
                                    "dropped ChatText from " + stranger_ + ":3550",
                                    "dropped VoiceGroup from " + friend_ + ":4444"})
            QVERIFY2(logged.contains(line), qPrintable(line + " is not in the log:\n" + logged));
    }

    // Bytes the host sends, to anyone, for the bytes a non-member sends it; the host's members are
    // fake members on eight addresses, so that anything sent to the group is counted.
    void aNonMemberGetsNoMoreThanTheAck()
    {
        FakePeer stranger(strangerAddress, HostPort);
        QVERIFY(stranger.bound());
        LumoProcess host(hostAddress);
        QVERIFY2(host.waitUntilAnswering(stranger), "the host did not start");
        stranger.collect(0);
        std::vector<std::unique_ptr<FakePeer>> members;
        for (int i = 0; i < 8; ++i) {
            members.push_back(std::make_unique<FakePeer>(loopback(40 + i), MemberPort));
            QVERIFY(members.back()->bound());
            const std::string name = "m" + std::to_string(i);
            members.back()->send(makeEntryDatagram(cmd::JoinRequest, idByte(UnassignedId), 0, Kind::ToHost,
                                                   entryOf(name.c_str(), loopback(40 + i))),
                                 host.hostEndpoint());
            QVERIFY(members.back()->next(2000, cmd::Ack));
            QTest::qWait(50);
        }
        QTest::qWait(300);
        for (auto& m : members) m->collect(0);
        // What the host sent the stranger, and what it sent the group, after an attack.
        const auto outgoing = [&] {
            std::pair<std::size_t, std::size_t> total{bytesOf(stranger.collect(400)), 0};
            for (auto& m : members) total.second += bytesOf(m->collect(0));
            return total;
        };

        struct Attack {
            const char* name;
            Bytes datagram;
            int times;
        };
        const MemberEntry memberRecord = memberAt(3, "m3", loopback(43));
        const std::vector<Attack> attacks{
            {"LeaveNotice naming member 3", makeEntryDatagram(cmd::LeaveNotice, 3, 0xFF, Kind::ToHost, memberRecord), 1},
            {"RosterRequest as member 3", makeEntryDatagram(cmd::RosterRequest, 3, 0, Kind::ToHost, memberRecord), 200},
            {"PathRequest from member 3 to 5", makeEntryDatagram(cmd::PathRequest, 3, 5, Kind::ToHost, memberRecord), 200},
            {"JoinRequest", makeEntryDatagram(cmd::JoinRequest, idByte(UnassignedId), 0, Kind::ToHost,
                                              entryOf("stranger", strangerAddress)),
             31},
        };
        for (const Attack& attack : attacks) {
            std::size_t in = 0;
            for (int i = 0; i < attack.times; ++i) {
                Bytes datagram = attack.datagram;
                // Each join claims another inside address, as a table filler would.
                if (attack.datagram[0] == cmd::JoinRequest) {
                    MemberEntry e = entryOf("stranger", loopback(100 + i));
                    datagram = makeEntryDatagram(cmd::JoinRequest, idByte(UnassignedId), 0, Kind::ToHost, e);
                }
                stranger.send(datagram, host.hostEndpoint());
                in += datagram.size();
                if (i % 20 == 19) QTest::qWait(5);
            }
            const auto [toStranger, toGroup] = outgoing();
            const std::size_t ackBytes = std::size_t(attack.times) * 4;
            qInfo("amplification: %-31s x%-3d %5zu bytes in; out %6zu to the sender (%.2f per byte in; its Acks "
                  "alone %zu), %6zu to the group",
                  attack.name, attack.times, in, toStranger, double(toStranger) / double(in), ackBytes, toGroup);
            if (attack.datagram[0] == cmd::JoinRequest) {
                // Joining is anyone's right: the first few joins from one address and port enter
                // and get the group's roster; the rest get nothing at all, so the bytes towards
                // that address (perhaps forged as the source) stay a small multiple of the joins.
                QVERIFY2(toStranger < in * 10, "joins from one source made the host send it ten times their size");
            } else {
                QVERIFY2(toStranger <= ackBytes && toGroup == 0, "the host sent more than the Ack for a non-member");
            }
        }
        QVERIFY(host.running());
    }

    // With 31 members the host acknowledges a joiner but has no room: the joiner's log says the
    // group is full (its window says "群已满，或群主没有回应。" and "连接" comes back).
    void aFullGroupSaysSo()
    {
        QTemporaryDir work;
        const QString netLog = work.filePath("joiner.log");
        FakePeer probe(strangerAddress, HostPort);
        LumoProcess host(hostAddress);
        QVERIFY2(host.waitUntilAnswering(probe), "the host did not start");
        std::vector<std::unique_ptr<FakePeer>> members;
        for (int i = 0; i < 31; ++i) {
            members.push_back(std::make_unique<FakePeer>(loopback(40 + i / 4), std::uint16_t(MemberPort + 100 + i % 4)));
            QVERIFY(members.back()->bound());
            const std::string name = "m" + std::to_string(i);
            members.back()->send(makeEntryDatagram(cmd::JoinRequest, idByte(UnassignedId), 0, Kind::ToHost,
                                                   entryOf(name.c_str(), loopback(40 + i / 4))),
                                 host.hostEndpoint());
            QVERIFY(members.back()->next(2000, cmd::Ack));
        }
        Roster roster;
        while (auto update = members.back()->next(300, cmd::RosterUpdate)) roster = readRosterUpdate(update->bytes);
        QCOMPARE(roster.count, 31);

        LumoProcess joiner(victimAddress,
                           {"--verbose", "--name", "late", "--connect", QString::fromStdString(dottedAddress(hostAddress)),
                            "--audio", "null"},
                           {}, netLog);
        const auto logged = [&netLog] {
            QFile log(netLog);
            return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(logged().contains("the group is full"), 6000);
        QVERIFY(joiner.running());
    }
};

QTEST_MAIN(AttackTest)
#include "attack_test.moc"
