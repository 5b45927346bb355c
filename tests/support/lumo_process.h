// Starts a real lumo process offscreen on a loopback address of its own and waits until its
// host port answers, so tests talk to the same program players run.
#pragma once

#include "fake_peer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace lumo::test {

class LumoProcess {
public:
    // `runtimeDirectory`, when given, becomes the process's XDG_RUNTIME_DIR, where its overlay
    // link (mailbox and pipe) lives, so several processes can each have theirs.
    explicit LumoProcess(Ipv4 address, const QStringList& extraArguments = {}, const QString& runtimeDirectory = {})
        : address_(address)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (!runtimeDirectory.isEmpty()) env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory);
        // Never the tester's configuration, data or desktop notifications.
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("data")));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(QStringLiteral(LUMO_RUN_DIR));
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{QStringLiteral("--bind"), QString::fromStdString(dottedAddress(address))};
        process_.start(QStringLiteral(LUMO_BINARY), arguments + extraArguments);
    }
    ~LumoProcess() { stop(); }

    // True once the process acknowledges a request on its host port (a roster request for an id
    // no table holds, which changes nothing).
    bool waitUntilAnswering(FakePeer& probe, int ms = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        MemberEntry nobody;
        nobody.id = 200;
        while (timer.elapsed() < ms) {
            if (process_.state() == QProcess::NotRunning) return false;
            probe.send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody), {address_, HostPort});
            if (probe.next(200, cmd::Ack)) return true;
        }
        return false;
    }
    bool running() const { return process_.state() == QProcess::Running; }
    qint64 pid() const { return process_.processId(); }
    Endpoint memberEndpoint() const { return {address_, MemberPort}; }
    Endpoint hostEndpoint() const { return {address_, HostPort}; }

    // Ends the process as a player closing the window would (SIGTERM), and waits for it.
    bool stop(int ms = 5000)
    {
        if (process_.state() == QProcess::NotRunning) return true;
        process_.terminate();
        if (process_.waitForFinished(ms)) return process_.exitStatus() == QProcess::NormalExit;
        process_.kill();
        process_.waitForFinished(1000);
        return false;
    }

private:
    Ipv4 address_;
    QTemporaryDir home_;
    QProcess process_;
};

}  // namespace lumo::test
