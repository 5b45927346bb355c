// --verbose: a real lumo logs to stderr what it drops and why; without it, nothing; and
// QT_LOGGING_RULES still turns single categories off.
#include "lumo_process.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

QString readLog(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(4 * 1024 * 1024)) : QString();
}

bool waitForLine(const QString& path, const QString& wanted, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        if (readLog(path).contains(wanted)) return true;
        QTest::qWait(50);
    }
    return false;
}

// Datagrams lumo must refuse from a stranger: a member's chat text from where no member is
// recorded, and a roster from a host it never joined.
void sendSpoofs(FakePeer& stranger, Ipv4 strangerAddress, Endpoint to)
{
    stranger.send(makeChatText(0, 0, "spoofed"), to);
    Roster roster;
    roster.count = 1;
    roster.records[0] = memberAt(0, "victim", strangerAddress);
    stranger.send(makeRosterUpdate(0, roster), to);
}

}  // namespace

class VerboseLogTest : public QObject {
    Q_OBJECT

    const Ipv4 strangerAddress = loopback(60);

private slots:
    void droppedDatagramsAreLoggedWithTheirReason()
    {
        QTemporaryDir logs;
        const QString log = logs.filePath(QStringLiteral("verbose.log"));
        FakePeer stranger(strangerAddress, MemberPort);
        QVERIFY(stranger.bound());
        LumoProcess lumo(loopback(61), {QStringLiteral("--verbose"), QStringLiteral("--audio"), QStringLiteral("null")}, {}, log);
        QVERIFY2(lumo.waitUntilAnswering(stranger), "lumo did not start answering on its host port");
        sendSpoofs(stranger, strangerAddress, lumo.memberEndpoint());

        const QString from = QString::fromStdString(dottedAddress(strangerAddress)) + QStringLiteral(":3550");
        QVERIFY2(waitForLine(log, QStringLiteral("lumo.net: dropped ChatText from %1 (").arg(from) +
                                      QStringLiteral("%1 bytes): a member's message not from where the roster records that member")
                                          .arg(makeChatText(0, 0, "spoofed").size())),
                 qPrintable(readLog(log)));
        QVERIFY2(waitForLine(log, QStringLiteral("lumo.net: dropped RosterUpdate from %1").arg(from)),
                 qPrintable(readLog(log)));
        QVERIFY2(readLog(log).contains(QStringLiteral("not from port 3555 of the joined host")), qPrintable(readLog(log)));
        // What the host port answered is logged as sent.
        QVERIFY2(readLog(log).contains(QStringLiteral("lumo.net: sent Ack from the host port to %1").arg(from)),
                 qPrintable(readLog(log)));
        QVERIFY(lumo.running());
    }

    void quietWithoutVerboseAndRulesStillApply()
    {
        QTemporaryDir logs;
        const QString quietLog = logs.filePath(QStringLiteral("quiet.log"));
        const QString filteredLog = logs.filePath(QStringLiteral("filtered.log"));
        FakePeer stranger(strangerAddress, MemberPort);
        QVERIFY(stranger.bound());
        QProcessEnvironment noNet;
        noNet.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("lumo.net.debug=false"));
        QProcessEnvironment noRules;
        noRules.insert(QStringLiteral("QT_LOGGING_RULES"), QString());
        LumoProcess quiet(loopback(62), {QStringLiteral("--audio"), QStringLiteral("null")}, {}, quietLog, noRules);
        LumoProcess filtered(loopback(63), {QStringLiteral("--verbose"), QStringLiteral("--audio"), QStringLiteral("null")}, {},
                             filteredLog, noNet);
        QVERIFY(quiet.waitUntilAnswering(stranger));
        QVERIFY(filtered.waitUntilAnswering(stranger));
        sendSpoofs(stranger, strangerAddress, quiet.memberEndpoint());
        sendSpoofs(stranger, strangerAddress, filtered.memberEndpoint());
        // The filtered one is verbose all the same: its directory request at start is logged.
        QVERIFY2(waitForLine(filteredLog, QStringLiteral("lumo.directory: GET ")), qPrintable(readLog(filteredLog)));
        // Each has handled the spoofs (and, wrongly, logged them) once it answers twice: the
        // second request goes out after it has taken what was waiting on both its ports.
        for (LumoProcess* process : {&quiet, &filtered})
            QVERIFY(process->receivedUntilAnswer(stranger) && process->receivedUntilAnswer(stranger));
        QVERIFY(quiet.running() && filtered.running());
        QVERIFY2(!readLog(quietLog).contains(QStringLiteral("lumo.")), qPrintable(readLog(quietLog)));
        QVERIFY2(!readLog(filteredLog).contains(QStringLiteral("lumo.net")), qPrintable(readLog(filteredLog)));
    }
};

QTEST_GUILESS_MAIN(VerboseLogTest)
#include "verbose_log_test.moc"
