// Fakes for the shell's window tests: a main window owner that records what the shell asks of
// it, a scratch current directory, and environment variables set for one test (the recording
// message boxes are the common ones).
#pragma once

#include "recording_boxes.h"
#include "shell/main_window_shell.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

namespace lumo::test {

// The shell's windows never ask, they only tell: the common recording boxes.
using ShellBoxes = RecordingBoxes;

class RecordingShellOwner final : public ShellOwner {
public:
    void closeOverlay() override
    {
        calls << QStringLiteral("closeOverlay");
        if (onCloseOverlay) onCloseOverlay();
    }
    bool overlayPipeOpen() const override { return pipeOpen; }
    void closeOverlayPipe() override
    {
        calls << QStringLiteral("closeOverlayPipe");
        pipeOpen = false;
    }
    QString siteBaseUrl() const override { return baseUrl; }
    bool windowExists(const QString& title) const override
    {
        ++lookups;
        return exists && exists(title);
    }

    QStringList calls;
    bool pipeOpen = false;
    QString baseUrl = QStringLiteral("http://127.0.0.1:8080/lumo");
    std::function<bool(const QString&)> exists;
    std::function<void()> onCloseOverlay;
    mutable int lookups = 0;
};

// Makes a fresh temporary directory the current directory for the life of the object.
class ScratchCurrentDir {
public:
    ScratchCurrentDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~ScratchCurrentDir() { QDir::setCurrent(previous_); }
    QString path() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }
    // Writes a file (creating its directories); returns its path.
    QString write(const QString& name, const QByteArray& content) const
    {
        const QString path = filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
        return path;
    }
    static QByteArray read(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir dir_;
    QString previous_;
};

// Sets an environment variable for one test and restores it afterwards (a null value unsets).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name))
    {
        if (value.isNull()) qunsetenv(name);
        else qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (had_) qputenv(name_, old_);
        else qunsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

// A shell script in dir that writes its arguments, one a line, to `output` (written whole and
// then renamed, so a reader never sees half of it).
inline QString writeArgumentRecorder(const QString& scriptPath, const QString& output)
{
    QDir().mkpath(QFileInfo(scriptPath).path());
    QFile file(scriptPath);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(QStringLiteral("#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"$a\"; done; } > '%1.tmp' && mv '%1.tmp' '%1'\n")
                   .arg(output)
                   .toUtf8());
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return scriptPath;
}

inline QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

}  // namespace lumo::test
