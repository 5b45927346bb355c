// Fakes shared by the directory's window tests: a main window that records what the browser
// asks of it, message boxes that record instead of blocking, an HTTP client that answers from a
// script, and a scratch directory with its own sys/sys.ini that becomes the current directory.
#pragma once

#include "core/text/gbk.h"
#include "directory/group_browser_owner.h"
#include "directory/http_client.h"
#include "ui/message_box.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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

class RecordingBoxes final : public MessageBoxes {
public:
    RecordingBoxes() { install(this); }
    ~RecordingBoxes() override { install(nullptr); }
    void inform(QWidget*, const QString& caption, const QString& text) override
    {
        captions << caption;
        texts << text;
        if (onInform) onInform();
    }
    bool ask(QWidget*, const QString& caption, const QString& text) override
    {
        captions << caption;
        texts << text;
        return false;
    }
    QStringList captions;
    QStringList texts;
    std::function<void()> onInform;
};

// Asked from the browser's request thread. Tests read urls directly once the browser's requests
// have ended; while renewals may run in the background they use urlsNow().
class ScriptedHttp final : public HttpClient {
public:
    HttpReply get(const std::string& url, const HttpLimits&) override
    {
        {
            std::lock_guard lock(mutex);
            urls.push_back(url);
        }
        if (duringRequest) duringRequest();
        std::lock_guard lock(mutex);
        if (replies.empty()) return {};
        HttpReply reply = replies.front();
        replies.pop_front();
        return reply;
    }
    void answer(const std::string& body)
    {
        std::lock_guard lock(mutex);
        replies.push_back({true, body});
    }
    void failToOpen()
    {
        std::lock_guard lock(mutex);
        replies.push_back({false, {}});
    }
    std::vector<std::string> urlsNow() const
    {
        std::lock_guard lock(mutex);
        return urls;
    }

    mutable std::mutex mutex;
    std::deque<HttpReply> replies;
    std::vector<std::string> urls;
    std::function<void()> duringRequest;
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
