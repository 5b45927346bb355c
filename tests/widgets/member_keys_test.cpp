// Members' keys with real endpoints on loopback: two LUMO members seal their text, a plain
// member gets text byte for byte as the plain protocol has it and is shown as plain; and the
// key files: the identity made once and kept 0600, links at its path never followed, a damaged
// file never overwritten.
#include "app/member_keys.h"
#include "fake_peer.h"
#include "net/group_endpoint.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace lumo;
using namespace lumo::test;

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QTest::qWait(10);
    return done();
}

int modeOf(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

int idOf(const MemberSession& session, const char* name)
{
    for (int id = 0; id < session.roster().count; ++id)
        if (session.roster().records[id].nameBytes() == name) return id;
    return -1;
}

}  // namespace

class MemberKeysTest : public QObject {
    Q_OBJECT

private slots:
    void twoLumoMembersSealAndAPlainMemberGetsPlainText()
    {
        QTemporaryDir annDir, bobDir;
        GroupEndpoint ann(loopback(41)), bob(loopback(42));
        QVERIFY(ann.socketsBound() && bob.socketsBound());
        MemberKeys annKeys(ann, annDir.path()), bobKeys(bob, bobDir.path());
        std::vector<std::string> annHeard;
        connect(&ann, &GroupEndpoint::sessionEvent, this, [&](const SessionEvent& e) {
            if (e.kind == SessionEvent::Kind::ChatArrived) annHeard.push_back(e.text);
        });
        FakePeer cyd(loopback(43), MemberPort);
        QVERIFY(cyd.bound());

        ann.connectTo("ann", loopback(41));
        QVERIFY(waitFor([&] { return ann.session().joined(); }));
        bob.connectTo("bob", loopback(41));
        MemberEntry plain = memberAt(0, "cyd", loopback(43));
        cyd.send(makeEntryDatagram(cmd::JoinRequest, 0, 0, Kind::ToHost, plain), {loopback(41), HostPort});
        QVERIFY(waitFor([&] { return ann.session().roster().count == 3 && bob.session().roster().count == 3; }));

        // bob writes to ann: the keys are checked first, then the text goes sealed.
        const int annId = idOf(bob.session(), "ann");
        bob.select(annId);
        bob.sendText("north gate");
        QVERIFY(waitFor([&] { return !annHeard.empty(); }));
        QCOMPARE(annHeard.front(), std::string("north gate"));
        const int bobId = idOf(ann.session(), "bob");
        QCOMPARE(int(bob.keyState(annId)), int(PeerKeyState::Sealed));
        QCOMPARE(int(ann.keyState(bobId)), int(PeerKeyState::Sealed));
        QCOMPARE(ann.peerKey(bobId), std::optional(bob.ownKey()));
        // Both remembered the other's key, in a file of their own.
        QVERIFY(waitFor([&] { return QFile::exists(annKeys.trustPath()); }));
        QCOMPARE(modeOf(annKeys.trustPath()), 0600);
        QVERIFY(TrustStore::fromText(*readPrivateFile(annKeys.trustPath(), 1 << 20)).known(dottedAddress(loopback(41)), "bob"));

        // ann writes to the plain member cyd, whose record does not show the keys mark: no Hello,
        // the text as the plain protocol has it.
        const int cydId = idOf(ann.session(), "cyd");
        cyd.collect(50);  // what came before (rosters, probes) is not what is looked at
        ann.select(cydId);
        ann.sendText("hello cyd");
        const auto got = cyd.collectUntil(FakePeer::command(cmd::ChatText));
        QVERIFY(got);
        QCOMPARE(got->back().bytes, makeChatText(std::uint8_t(cydId), std::uint8_t(idOf(ann.session(), "ann")), "hello cyd"));
        int hellos = 0;
        for (const auto& r : *got) hellos += r.bytes[0] == cmd::TrustHello;
        QCOMPARE(hellos, 0);
        QCOMPARE(int(ann.keyState(cydId)), int(PeerKeyState::Plain));
    }

    void theIdentityIsMadeOnceAndKeptForItsUserAlone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("identity"));
        QString problem;
        const Identity first = loadOrMakeIdentity(path, &problem);
        QVERIFY(problem.isEmpty());
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(loadOrMakeIdentity(path, &problem).publicKey(), first.publicKey());
        QVERIFY(problem.isEmpty());
    }

    void aDamagedOrLinkedIdentityIsNeitherUsedNorOverwritten()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("identity"));
        {
            QFile damaged(path);
            QVERIFY(damaged.open(QIODevice::WriteOnly));
            damaged.write("lumo-identity 1\nseed 12\n");
        }
        QString problem;
        loadOrMakeIdentity(path, &problem);
        QVERIFY(!problem.isEmpty());
        QFile kept(path);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("lumo-identity 1\nseed 12\n"));

        // A link at the path: not followed, its target untouched.
        const QString target = dir.filePath(QStringLiteral("elsewhere"));
        const QString linked = dir.filePath(QStringLiteral("linked"));
        QVERIFY(QFile::link(target, linked));
        problem.clear();
        loadOrMakeIdentity(linked, &problem);
        QVERIFY(!problem.isEmpty());
        QVERIFY(!QFile::exists(target));
    }

    void theKeysFileReplacesALinkAndNeverWritesThroughIt()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("victim"));
        {
            QFile victim(target);
            QVERIFY(victim.open(QIODevice::WriteOnly));
            victim.write("precious");
        }
        const QString path = dir.filePath(QStringLiteral("known_keys"));
        QVERIFY(QFile::link(target, path));
        QVERIFY(writePrivateFile(path, "keys\n"));
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(*readPrivateFile(path, 100), std::string("keys\n"));
        QFile victim(target);
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), QByteArray("precious"));
        QVERIFY(!readPrivateFile(path, 3));  // longer than asked for: not read
    }
};

QTEST_MAIN(MemberKeysTest)
#include "member_keys_test.moc"
