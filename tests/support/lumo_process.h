// Starts a real lumo process offscreen on a loopback address of its own and waits until its
// host port answers, so tests talk to the same program players run.
#pragma once

#include "fake_peer.h"
#include "private_folders.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <optional>
#include <vector>

namespace lumo::test {

// The lumo program the processes run: this build's, or another build a comparing program names.
inline QString& lumoBinary()
{
    static QString path = QStringLiteral(LUMO_BINARY);
    return path;
}

class LumoProcess {
public:
    // `runtimeDirectory`, when given, becomes the process's XDG_RUNTIME_DIR, where its overlay
    // link (mailbox and pipe) lives, so several processes can each have theirs. `errorFile`, when
    // given, takes the process's stderr (its log); `more` adds to its environment; `settings`,
    // when given, is the LUMO.conf it finds in its configuration folder, as remembered from a
    // player's earlier run.
    explicit LumoProcess(Ipv4 address, const QStringList& extraArguments = {}, const QString& runtimeDirectory = {},
                         const QString& errorFile = {}, const QProcessEnvironment& more = {},
                         const QByteArray& settings = {})
        : address_(address)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& name : more.keys()) env.insert(name, more.value(name));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (!runtimeDirectory.isEmpty()) env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory);
        usePrivateFolders(env, home_.path());
        if (!settings.isEmpty()) {
            QDir().mkpath(home_.path() + QStringLiteral("/config/lumo"));
            QFile file(home_.path() + QStringLiteral("/config/lumo/LUMO.conf"));
            if (file.open(QIODevice::WriteOnly)) file.write(settings);
        }
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(QStringLiteral(LUMO_RUN_DIR));
        process_.setProcessChannelMode(errorFile.isEmpty() ? QProcess::ForwardedErrorChannel
                                                           : QProcess::ForwardedOutputChannel);
        if (!errorFile.isEmpty()) process_.setStandardErrorFile(errorFile);
        QStringList arguments{QStringLiteral("--bind"), QString::fromStdString(dottedAddress(address))};
        process_.start(lumoBinary(), arguments + extraArguments);
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
    // What reached `peer` until the process acknowledged a request `peer` sent to its host port
    // after it: a check that nothing arrives ends on that answer, not on a time. nullopt when no
    // answer came within the guard.
    std::optional<std::vector<FakePeer::Received>> receivedUntilAnswer(FakePeer& peer, int guardMs = 10000)
    {
        MemberEntry nobody;
        nobody.id = 200;
        peer.send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody), {address_, HostPort});
        auto received = peer.collectUntil(
            [this](const FakePeer::Received& r) { return r.from == hostEndpoint() && FakePeer::command(cmd::Ack)(r); }, guardMs);
        if (received) received->pop_back();  // the answer itself
        return received;
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
    QTemporaryDir home_;  // its configuration and data folders
    QProcess process_;
};

}  // namespace lumo::test
