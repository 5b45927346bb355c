// Fakes shared by the directory's window tests: a main window that records what the browser
// asks of it and a scratch directory with its own sys/sys.ini that becomes the current
// directory; the recording message boxes and the scripted directory are the common ones.
#pragma once

#include "core/text/gbk.h"
#include "directory/group_browser_owner.h"
#include "fake_directory.h"
#include "recording_boxes.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

namespace lumo::test {

class FakeOwner final : public GroupBrowserOwner {
public:
    Ipv4 ownAddress() const override { return own; }
    void setOwnAddress(Ipv4 address) override
    {
        own = address;
        calls << QStringLiteral("setOwnAddress %1").arg(QString::fromStdString(dottedAddress(address)));
    }
    Ipv4 secondLocalAddress() const override { return second; }
    void showOwnAddress() override { calls << QStringLiteral("showOwnAddress"); }
    void setRemoteAddress(const QString& address) override
    {
        calls << QStringLiteral("setRemoteAddress %1").arg(address);
    }
    void setMemberName(const QString& name) override
    {
        calls << QStringLiteral("setMemberName %1 browserVisible=%2").arg(name).arg(browser && browser->isVisible());
    }
    void connectToHost() override { calls << QStringLiteral("connectToHost"); }
    void setSiteUrl(const QString& url) override { calls << QStringLiteral("setSiteUrl %1").arg(url); }

    Ipv4 own = 0x7F000001;  // 127.0.0.1
    Ipv4 second = 0;
    QWidget* browser = nullptr;
    QStringList calls;
};

// A scratch directory holding sys/sys.ini (given as UTF-8, written as GBK); it is the current
// directory while the object lives.
class RunDirectory {
public:
    explicit RunDirectory(const QString& sysIni) : previous_(QDir::currentPath())
    {
        QDir(dir_.path()).mkpath(QStringLiteral("sys"));
        writeSysIni(sysIni);
        QDir::setCurrent(dir_.path());
    }
    ~RunDirectory() { QDir::setCurrent(previous_); }
    void writeSysIni(const QString& text)
    {
        QFile file(dir_.filePath(QStringLiteral("sys/sys.ini")));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        const std::string gbk = utf8ToGbk(text.toStdString());
        file.write(gbk.data(), static_cast<qint64>(gbk.size()));
    }
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    QString previous_;
};

}  // namespace lumo::test
