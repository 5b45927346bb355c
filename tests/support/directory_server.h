// Starts lumo-directory on 127.0.0.1 and a free port for a test, and stops it again.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <string>

#ifndef LUMO_DIRECTORY_BINARY
#define LUMO_DIRECTORY_BINARY ""  // not built: tests that need it skip
#endif

namespace lumo::test {

// One lumo-directory process on 127.0.0.1 and a free port.
class DirectoryServer {
public:
    DirectoryServer(const QString& database, const QStringList& extra = {})
    {
        process_.setProgram(QStringLiteral(LUMO_DIRECTORY_BINARY));
        process_.setArguments(QStringList{"--port", "0", "--db", database} + extra);
        process_.start();
        if (!process_.waitForStarted(5000)) return;
        const QRegularExpression listening(QStringLiteral("^listening on (http://127\\.0\\.0\\.1:\\d+\\S*)"));
        QByteArray output;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 5000 && !output.contains('\n') && process_.state() == QProcess::Running) {
            process_.waitForReadyRead(100);
            output += process_.readAllStandardOutput();
        }
        const auto match = listening.match(QString::fromUtf8(output));
        if (match.hasMatch()) url_ = match.captured(1).toStdString();
    }
    ~DirectoryServer() { stop(); }

    bool running() const { return !url_.empty(); }
    const std::string& url() const { return url_; }
    // Stops it as a service manager would; true when it ended cleanly.
    bool stop()
    {
        if (process_.state() == QProcess::NotRunning) return process_.exitStatus() == QProcess::NormalExit;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished();
            return false;
        }
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }

private:
    QProcess process_;
    std::string url_;
};

}  // namespace lumo::test
