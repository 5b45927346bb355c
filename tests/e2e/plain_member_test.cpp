// A plain member, a socket in this test that speaks only the plain protocol, in a group of lumo
// processes: it joins a lumo host, its text and voice reach a lumo member, the lumo member's
// voice reaches it, and everything lumo sends it reads as the plain protocol, byte for byte.
#include "lumo_process.h"
#include "core/voice_test_support.h"
#include "link_control.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

class PlainMemberTest : public QObject {
    Q_OBJECT

private slots:
    void joinsChatsAndTalksWithLumo()
    {
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkpath("heard"));
        const QString lumoLog = work.filePath("lumo.log");
        const Ipv4 hostAddress = loopback(2), lumoAddress = loopback(3), plainAddress = loopback(4);
        FakePeer plain(plainAddress, MemberPort);
        QVERIFY(plain.bound());
        LumoProcess host(hostAddress);
        QVERIFY2(host.waitUntilAnswering(plain), "the host did not start");
        plain.collect(0);

        MemberEntry own = memberAt(UnassignedId, "plain", plainAddress);
        own.publicAddress = 0;
        own.publicPort = 0;
        plain.send(makeEntryDatagram(cmd::JoinRequest, idByte(UnassignedId), 0, Kind::ToHost, own), host.hostEndpoint());
        QVERIFY2(plain.next(2000, cmd::Ack), "the lumo host did not acknowledge a plain join");
        OverlayStandIn link;
        LumoProcess lumo(lumoAddress,
                         {"--verbose", "--name", "lumo", "--connect", QString::fromStdString(dottedAddress(hostAddress)), "--audio",
                          "wav:" + QString::fromStdString(phrasePath().string()) + ":" + work.filePath("heard")},
                         link.runtimeDirectory(), lumoLog);
        // Everything that reaches the plain member from here on is kept, to be read at the end.
        std::vector<FakePeer::Received> received;
        Roster roster;
        int plainId = -1, lumoId = -1;
        const auto rosterWithBoth = [&](const FakePeer::Received& r) {
            if (r.bytes.at(0) != cmd::RosterUpdate || r.from != host.hostEndpoint()) return false;
            roster = readRosterUpdate(r.bytes);
            plainId = r.bytes.at(1);
            for (int i = 0; i < roster.count; ++i)
                if (roster.records[std::size_t(i)].nameBytes() == "lumo") lumoId = i;
            return roster.count == 2 && lumoId >= 0;
        };
        auto upToRoster = plain.collectUntil(rosterWithBoth, 8000);
        QVERIFY2(upToRoster, "the plain member never saw the lumo member in its roster");
        received.insert(received.end(), upToRoster->begin(), upToRoster->end());
        QCOMPARE(roster.records[std::size_t(plainId)].nameBytes(), std::string("plain"));
        QVERIFY(link.waitForMailbox());

        // The plain member's text and voice: the lumo member shows the one and plays the other.
        const Endpoint lumoMember = lumo.memberEndpoint();
        QCOMPARE(roster.records[std::size_t(lumoId)].publicPort, lumoMember.port);
        plain.send(makeChatText(idByte(lumoId), idByte(plainId), "hello from plain"), lumoMember);
        for (std::uint32_t s = 1; s <= 5; ++s) {
            VoiceRecord record;
            record.sequence = s;
            plain.send(makeVoiceDatagram(cmd::VoiceGroup, idByte(lumoId), idByte(plainId), record), lumoMember);
        }
        const QString heard = work.filePath(QStringLiteral("heard/peer-%1.wav").arg(plainId));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(heard), 5000);
        const QString plainAt = QString::fromStdString(dottedAddress(plainAddress)) + ":" + QString::number(MemberPort);
        const auto logged = [&lumoLog] {
            QFile log(lumoLog);
            return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(logged().contains("received ChatText from " + plainAt), 5000);

        // The lumo member talks to the plain member.
        QVERIFY(link.post(link::to_main::SelectMember, roster.count - plainId - 1));
        QVERIFY(link.post(link::to_main::VoiceToggle, 1));
        int voice = 0;
        auto talked = plain.collectUntil(
            [&](const FakePeer::Received& r) { return (voice += r.bytes.at(0) == cmd::VoiceGroup && r.from == lumoMember) >= 6; },
            15000);
        QVERIFY(link.post(link::to_main::VoiceToggle, 0));
        QVERIFY2(talked, "the lumo member's voice did not reach the plain member");
        received.insert(received.end(), talked->begin(), talked->end());

        // Everything from the host and the lumo member is a plain message, addressed to the plain
        // member's id, and the voice records are the plain protocol's 68 bytes.
        for (const FakePeer::Received& r : received) {
            const WireRead read = readMessage(r.bytes);
            QVERIFY2(read.message, qPrintable(QStringLiteral("lumo sent a plain member command %1 of %2 bytes")
                                                  .arg(r.bytes.at(0))
                                                  .arg(r.bytes.size())));
            QVERIFY(r.from == host.hostEndpoint() || r.from == lumoMember || r.from == lumo.hostEndpoint());
            if (r.bytes.at(0) == cmd::VoiceGroup) {
                QCOMPARE(r.bytes.size(), VoiceDatagramSize);
                QCOMPARE(int(r.bytes.at(1)), plainId);
                QCOMPARE(int(r.bytes.at(2)), lumoId);
            }
        }
        QVERIFY(lumo.running() && host.running());
    }
};

QTEST_MAIN(PlainMemberTest)
#include "plain_member_test.moc"
