// The player's side of the screen: a private X server, the real lumo started the way scripts/run
// starts it (its binary, a run directory laid out like build/run, the player's own runtime
// folder), and the X input a player gives it. Everything here looks at the program only as
// another X client or network peer could: window titles and geometry, pixels of screenshots,
// the clipboard, datagrams and the directory's HTTP replies. Widget pointers are never used.
#pragma once

#include "directory_server.h"
#include "fake_peer.h"
#include "link_control.h"
#include "private_folders.h"
#include "core/text/gbk.h"
#include "ui/dialog_units.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

namespace lumo::player {

using test::FakePeer;
using test::loopback;
using test::loopbackText;

// Waits for `condition`; `ms` is a guard against a hang, generous because the machine may be
// busy, never a claim about speed.
inline bool waitUntil(const std::function<bool()>& condition, int ms = 15000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() >= ms) return false;
        QTest::qWait(25);
    }
    return true;
}

// What the player suite needs on the machine; empty when all is there.
inline QString missingTools()
{
    for (const char* tool : {"Xvfb", "xdotool", "xclip", "xprop", "import", "xev", "curl"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) return QString::fromLatin1(tool);
    return {};
}

struct XWindow {
    QString id;
    QString name;
    QRect frame;  // as the X server places it
};

// One Xvfb of its own (the display number is the first free one, which Xvfb picks itself), and
// the X clients a player would use on it.
class Desktop {
public:
    explicit Desktop(QSize screen = {1280, 800})
    {
        server_.setProgram(QStringLiteral("Xvfb"));
        server_.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height()),
                              QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                              // Without it the server resets whenever its last client leaves
                              // (the readiness check below, a screenshot between players), and
                              // a player starting during the reset cannot connect.
                              QStringLiteral("-noreset")});
        server_.start();
        if (!server_.waitForStarted(30000)) return;
        QByteArray number;
        waitUntil([&] {
            server_.waitForReadyRead(50);
            number += server_.readAllStandardOutput();
            return number.contains('\n') || server_.state() != QProcess::Running;
        }, 30000);
        if (number.trimmed().isEmpty()) return;
        display_ = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        // The server has announced its number; a client must also get in before a player starts.
        const bool usable = waitUntil([&] {
            bool ok = false;
            xdotool({"getdisplaygeometry"}, &ok);
            return ok;
        }, 30000);
        if (!usable) display_.clear();
    }
    ~Desktop()
    {
        for (QProcess* client : clients_) {
            client->kill();
            client->waitForFinished(2000);
            delete client;
        }
        server_.terminate();
        if (!server_.waitForFinished(3000)) server_.kill();
    }
    bool running() const { return !display_.isEmpty(); }
    const QString& display() const { return display_; }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display_);
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

    // Runs an X client to its end; its standard output.
    QByteArray run(const QString& program, const QStringList& arguments, bool* ok = nullptr, int ms = 10000) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        // The test's own event loop keeps running meanwhile: its sockets go on receiving.
        const bool finished = waitUntil([&] { return process.state() == QProcess::NotRunning; }, ms);
        if (!finished) {
            process.kill();
            process.waitForFinished();
        }
        if (ok) *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        return process.readAllStandardOutput();
    }
    QByteArray xdotool(const QStringList& arguments, bool* ok = nullptr) const
    {
        return run(QStringLiteral("xdotool"), arguments, ok);
    }
    // Starts an X client that keeps running (xev); it ends with the desktop.
    QProcess* start(const QString& program, const QStringList& arguments, const QString& outputFile = {})
    {
        auto* process = new QProcess;
        process->setProcessEnvironment(environment());
        if (!outputFile.isEmpty()) process->setStandardOutputFile(outputFile);
        process->start(program, arguments);
        clients_.push_back(process);
        return process;
    }

    // The windows the X server shows, with their titles.
    std::vector<XWindow> windows() const
    {
        std::vector<XWindow> found;
        // Every viewable window: some carry their title only as _NET_WM_NAME, which a name
        // search does not match, so the names are read one by one.
        const QByteArray ids = xdotool({"search", "--onlyvisible", "--name", ".*"});
        for (const QByteArray& id : ids.split('\n')) {
            if (id.trimmed().isEmpty()) continue;
            XWindow window;
            window.id = QString::fromLatin1(id.trimmed());
            window.name = QString::fromUtf8(xdotool({"getwindowname", window.id})).trimmed();
            const QByteArray shell = xdotool({"getwindowgeometry", "--shell", window.id});
            int x = 0, y = 0, w = 0, h = 0;
            for (const QByteArray& line : shell.split('\n')) {
                const QList<QByteArray> pair = line.split('=');
                if (pair.size() != 2) continue;
                const int value = pair[1].toInt();
                if (pair[0] == "X") x = value;
                if (pair[0] == "Y") y = value;
                if (pair[0] == "WIDTH") w = value;
                if (pair[0] == "HEIGHT") h = value;
            }
            window.frame = QRect(x, y, w, h);
            if (w > 1 && h > 1) found.push_back(window);
            if (qEnvironmentVariableIsSet("LUMO_PLAYER_DEBUG"))
                qInfo("window %s '%s' %d,%d %dx%d", qPrintable(window.id), qPrintable(window.name), x, y, w, h);
        }
        return found;
    }
    std::vector<XWindow> windowsNamed(const QString& name) const
    {
        std::vector<XWindow> named;
        for (const XWindow& window : windows())
            if (window.name == name) named.push_back(window);
        return named;
    }
    std::optional<XWindow> waitForWindow(const std::function<bool(const XWindow&)>& wanted, int ms = 15000) const
    {
        std::optional<XWindow> hit;
        waitUntil([&] {
            for (const XWindow& window : windows())
                if (wanted(window)) {
                    hit = window;
                    return true;
                }
            return false;
        }, ms);
        return hit;
    }
    bool waitWhileWindow(const std::function<bool(const XWindow&)>& wanted, int ms = 15000) const
    {
        return waitUntil([&] {
            for (const XWindow& window : windows())
                if (wanted(window)) return false;
            return true;
        }, ms);
    }

    // --- input -------------------------------------------------------------------------------
    void click(QPoint at, int button = 1) const { pointAndClick(at, {"click", QString::number(button)}); }
    void doubleClick(QPoint at) const { pointAndClick(at, {"click", "--repeat", "2", "--delay", "80", "1"}); }
    // Where the pointer is now.
    QPoint pointer() const
    {
        QPoint at(-1, -1);
        for (const QByteArray& line : xdotool({"getmouselocation", "--shell"}).split('\n')) {
            if (line.startsWith("X=")) at.setX(line.mid(2).toInt());
            if (line.startsWith("Y=")) at.setY(line.mid(2).toInt());
        }
        return at;
    }
    // The pointer to `at`, then the click. "mousemove --sync" waits until the pointer has left
    // where it was, so a move to where it already is (a box opening where the last one was
    // clicked) waits until it is killed, and the click chained to it never comes: there the
    // click is given alone.
    void pointAndClick(QPoint at, const QStringList& click) const
    {
        if (pointer() == at)
            xdotool(click);
        else
            xdotool(QStringList{"mousemove", "--sync", QString::number(at.x()), QString::number(at.y())} + click);
    }
    // Text as a player enters it: plain ASCII typed key by key, anything else pasted. xdotool
    // types a character outside the keyboard map through a key it remaps and maps back at once,
    // and a program that reads the key after the revert gets nothing; the clipboard cannot race
    // like that. False when the text could not be handed over.
    [[nodiscard]] bool type(const QString& text) const
    {
        const bool plain = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
        if (!plain) return paste(text);
        bool ok = false;
        xdotool({"type", "--delay", "40", text}, &ok);
        return ok;
    }
    // Puts `text` on the clipboard, presses ctrl+v, and returns once the focused program has
    // fetched it: xclip stays in the foreground, says when it owns the clipboard, and ends after
    // serving the one request of the paste.
    [[nodiscard]] bool paste(const QString& text) const
    {
        QProcess owner;
        owner.setProcessEnvironment(environment());
        owner.setProcessChannelMode(QProcess::MergedChannels);
        owner.start(QStringLiteral("xclip"), {"-quiet", "-loops", "1", "-selection", "clipboard"});
        owner.write(text.toUtf8());
        owner.closeWriteChannel();
        QByteArray said;
        const bool owning = waitUntil([&] {
            said += owner.readAll();
            return said.contains("selection request") || owner.state() == QProcess::NotRunning;
        }, 10000);
        bool fetched = false;
        if (owning && owner.state() == QProcess::Running) {
            key(QStringLiteral("ctrl+v"));
            fetched = waitUntil([&] { return owner.state() == QProcess::NotRunning; }, 10000) &&
                      owner.exitStatus() == QProcess::NormalExit && owner.exitCode() == 0;
        }
        if (owner.state() != QProcess::NotRunning) {
            owner.kill();
            owner.waitForFinished();
        }
        return fetched;
    }
    // Keys one after another, separated by spaces ("alt+g Down Return").
    void key(const QString& keys) const
    {
        xdotool(QStringList{"key", "--delay", "60"} + keys.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    }
    // X input reaches a program in the order it was given, but a window just shown may not have
    // the keyboard yet: keys meant for it are given once it has.
    void focus(const XWindow& window) const { xdotool({"windowfocus", "--sync", window.id}); }
    void keyTo(const XWindow& window, const QString& keys) const
    {
        focus(window);
        key(keys);
    }

    // A box that the program opened by itself takes keys only once the player clicked into it
    // (on its text, away from its buttons): then Return answers it. The X focus goes to it first,
    // as a window manager gives it on a click, so that the keys that follow cannot overtake it.
    void clickInto(const XWindow& box) const
    {
        focus(box);
        click({box.frame.center().x(), box.frame.top() + 17});
    }

    // --- what can be seen --------------------------------------------------------------------
    QImage screenshot() const
    {
        return QImage::fromData(run(QStringLiteral("import"), {"-window", "root", "png:-"}), "PNG");
    }
    bool saveScreenshot(const QString& path) const
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        return screenshot().save(path);
    }
    QString clipboard() const
    {
        return QString::fromUtf8(run(QStringLiteral("xclip"), {"-o", "-selection", "clipboard"}, nullptr, 3000));
    }
    // What a program puts on the clipboard when `copy` is done (the keys and clicks of a copy):
    // the clipboard holds a marker first, and the copy is read once the marker is gone. Empty
    // when nothing was copied (an empty field) within a generous guard.
    QString copied(const std::function<void()>& copy) const
    {
        static const QString marker = QStringLiteral("<nothing copied>");
        run(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("printf '%1' | xclip -selection clipboard").arg(marker)});
        if (!waitUntil([&] { return clipboard() == marker; }, 5000)) return {};
        copy();
        QString text;
        waitUntil([&] {
            text = clipboard();
            return text != marker;
        }, 3000);
        return text == marker ? QString() : text;
    }
    // The text of a message box, as a player copies it: a click into the text, select all, copy.
    QString boxText(const XWindow& box) const
    {
        return copied([&] {
            focus(box);
            click({box.frame.center().x(), box.frame.top() + 17});
            key(QStringLiteral("ctrl+a ctrl+c"));
        });
    }

private:
    QProcess server_;
    QString display_;
    std::vector<QProcess*> clients_;
};

// Whether a window's area of a screenshot shows anything but one plain colour: it is painted.
inline bool painted(const QImage& shot, const QRect& area)
{
    const QRect inside = area.intersected(shot.rect());
    if (inside.isEmpty()) return false;
    const QRgb first = shot.pixel(inside.topLeft());
    for (int y = inside.top(); y <= inside.bottom(); y += 2)
        for (int x = inside.left(); x <= inside.right(); x += 2)
            if (shot.pixel(x, y) != first) return true;
    return false;
}

// Text rows in a list, found in a screenshot: runs of scan lines in which some pixel of the
// given column band stands out from the line's own background (dark text on a plain row, light
// text on a selected one). The first run is the header; the centres of the others are the rows.
inline std::vector<int> textRowCentres(const QImage& shot, const QRect& band)
{
    std::vector<int> centres;
    int runStart = -1;
    for (int y = band.top(); y <= band.bottom() + 1; ++y) {
        bool text = false;
        if (y <= band.bottom() && y >= 0 && y < shot.height() && band.left() >= 0 && band.right() < shot.width()) {
            const int background = qGray(shot.pixel(band.left(), y));
            for (int x = band.left(); x <= band.right() && !text; ++x)
                if (std::abs(qGray(shot.pixel(x, y)) - background) > 80) text = true;
        }
        if (text && runStart < 0) runStart = y;
        if (!text && runStart >= 0) {
            // Text is several lines tall; a line or two is a border (the header's bottom edge).
            if (y - runStart >= 4) centres.push_back((runStart + y - 1) / 2);
            runStart = -1;
        }
    }
    if (!centres.empty()) centres.erase(centres.begin());  // the header
    return centres;
}

// A window laid out in dialog units of a given font; maps its template's rectangles to screen
// points from the window's place on the X server. The menu bar, when there is one, sits above
// the template: whatever the window is taller than its template.
class TemplateWindow {
public:
    TemplateWindow(const XWindow& window, int pointSize, QSize templateSize)
        : frame_(window.frame), units_(dialogFont(pointSize))
    {
        top_ = frame_.height() - units_.y(templateSize.height());
        matches_ = frame_.width() == units_.x(templateSize.width()) && top_ >= 0;
    }
    bool matches() const { return matches_; }
    QRect rect(int x, int y, int w, int h) const { return units_.rect(x, y, w, h).translated(frame_.left(), frame_.top() + top_); }
    QPoint centre(int x, int y, int w, int h) const { return rect(x, y, w, h).center(); }
    int menuBarMiddle() const { return frame_.top() + top_ / 2; }

private:
    QRect frame_;
    DialogUnits units_;
    int top_ = 0;
    bool matches_ = false;
};

// The main window's template and controls (dialog units).
struct MainLayout {
    static constexpr QSize Size{319, 182};
    static constexpr int Font = 9;
    static constexpr QRect Name{47, 2, 74, 12};
    static constexpr QRect HostAddress{178, 0, 85, 13};
    static constexpr QRect Connect{264, 0, 23, 13};
    static constexpr QRect Server{287, 0, 25, 13};
    static constexpr QRect Message{178, 14, 85, 12};
    static constexpr QRect Send{264, 14, 24, 12};
    static constexpr QRect Voice{288, 14, 24, 12};
    static constexpr QRect List{7, 38, 305, 131};
};

struct BrowserLayout {
    static constexpr QSize Size{243, 127};
    static constexpr int Font = 10;
    static constexpr QRect Refresh{186, 4, 50, 14};
    static constexpr QRect List{7, 21, 229, 68};
    static constexpr QRect GroupName{33, 106, 70, 12};
    static constexpr QRect Create{106, 105, 32, 14};
    static constexpr QRect Nickname{184, 106, 52, 12};
};

inline QPoint centreOf(const TemplateWindow& window, const QRect& units)
{
    return window.centre(units.x(), units.y(), units.width(), units.height());
}

// A run directory like build/run (configuration, skins, the plug-in), whose server list names
// the test's own directory instead of the one on port 8080.
class RunDirectory {
public:
    explicit RunDirectory(const std::string& directoryUrl)
    {
        const QDir built(QStringLiteral(LUMO_RUN_DIR));
        ok_ = folder_.isValid() && copyTree(built.filePath(QStringLiteral("sys")), path(QStringLiteral("sys"))) &&
              copyTree(built.filePath(QStringLiteral("skin")), path(QStringLiteral("skin"))) &&
              QFile::link(built.filePath(QStringLiteral("plugin")), path(QStringLiteral("plugin")));
        QFile ini(path(QStringLiteral("sys/sys.ini")));
        if (!ok_ || !ini.open(QIODevice::ReadOnly)) {
            ok_ = false;
            return;
        }
        QByteArray bytes = ini.readAll();  // GBK: only the ASCII address is replaced
        ini.close();
        bytes.replace("http://127.0.0.1:8080", QByteArray::fromStdString(directoryUrl));
        ok_ = ini.open(QIODevice::WriteOnly | QIODevice::Truncate) && ini.write(bytes) == bytes.size();
        QDir().mkpath(path(QStringLiteral("runtime")));
        QFile::setPermissions(path(QStringLiteral("runtime")), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    bool ok() const { return ok_; }
    QString path(const QString& relative = {}) const { return relative.isEmpty() ? folder_.path() : folder_.filePath(relative); }

private:
    static bool copyTree(const QString& from, const QString& to)
    {
        QDir().mkpath(to);
        const QDir source(from);
        for (const QFileInfo& entry : source.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString target = QDir(to).filePath(entry.fileName());
            if (entry.isDir() ? !copyTree(entry.filePath(), target) : !QFile::copy(entry.filePath(), target)) return false;
        }
        return true;
    }
    QTemporaryDir folder_;
    bool ok_ = false;
};

// The real lumo on a desktop, started as scripts/run starts it: the built binary, in a run
// directory, with the player's options. Its configuration and data folders are the run
// directory's (never the tester's own), so a player started again in the same run finds what
// the last one remembered; `home`, when given, is used instead.
// The call prompt: 100 pixels wide, as tall as its five buttons need (at least 100).
inline bool isCallPromptFrame(const QRect& frame)
{
    return frame.width() == 100 && frame.height() >= 100 && frame.height() < 160;
}

class Player {
public:
    Player(Desktop& desktop, const RunDirectory& run, Ipv4 address, const QStringList& extra = {},
           const QProcessEnvironment& more = {}, const QString& home = {})
        : desktop_(desktop), address_(address)
    {
        QProcessEnvironment env = desktop.environment();
        test::usePrivateFolders(env, home.isEmpty() ? run.path() : home);
        // The C locale (the program's own Chinese texts) unless `more` names another.
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        env.remove(QStringLiteral("LC_ALL"));
        env.remove(QStringLiteral("LC_MESSAGES"));
        for (const QString& name : more.keys()) env.insert(name, more.value(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run.path(QStringLiteral("runtime")));
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(run.path());
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
        process_.start(QStringLiteral(LUMO_BINARY),
                       QStringList{QStringLiteral("--bind"), QString::fromStdString(dottedAddress(address))} + extra);
    }
    ~Player() { stop(); }

    QProcess& process() { return process_; }
    Ipv4 address() const { return address_; }
    Endpoint hostEndpoint() const { return {address_, HostPort}; }
    Endpoint memberEndpoint() const { return {address_, MemberPort}; }

    // The main window and the group browser, told apart by their templates.
    // A busy machine (sanitizer builds, two cores) can take a while to show the first window.
    std::optional<TemplateWindow> mainWindow(int ms = 60000) const
    {
        return findTemplate(MainLayout::Size, MainLayout::Font, ms);
    }
    std::optional<TemplateWindow> browser(int ms = 60000) const
    {
        return findTemplate(BrowserLayout::Size, BrowserLayout::Font, ms);
    }
    // A window titled "LUMO" that is neither of the two: a message box.
    std::optional<XWindow> waitForBox(int ms = 15000, const QString& title = QStringLiteral("LUMO")) const
    {
        return desktop_.waitForWindow([&](const XWindow& w) { return w.name == title && !isMainOrBrowser(w); }, ms);
    }
    // Windows titled "LUMO" that are not message boxes: the main window, the browser, and the
    // call prompt (100 by 100 where it is opened).
    bool isMainOrBrowser(const XWindow& window) const
    {
        return isCallPromptFrame(window.frame) || TemplateWindow(window, MainLayout::Font, MainLayout::Size).matches() ||
               TemplateWindow(window, BrowserLayout::Font, BrowserLayout::Size).matches();
    }
    bool noBoxOpen(int ms = 3000) const
    {
        return desktop_.waitWhileWindow([&](const XWindow& w) { return w.name == QStringLiteral("LUMO") && !isMainOrBrowser(w); }, ms);
    }

    // For failure messages: whether the process still runs, and how it ended.
    QString state() const
    {
        if (process_.state() != QProcess::NotRunning) return QStringLiteral("lumo is running");
        return QStringLiteral("lumo ended: %1, exit code %2, %3")
            .arg(process_.exitStatus() == QProcess::NormalExit ? QStringLiteral("normally") : QStringLiteral("crashed"))
            .arg(process_.exitCode())
            .arg(process_.errorString());
    }

    bool stop(int ms = 8000)
    {
        if (process_.state() == QProcess::NotRunning) return process_.exitStatus() == QProcess::NormalExit;
        process_.terminate();
        if (waitUntil([&] { return process_.state() == QProcess::NotRunning; }, ms))
            return process_.exitStatus() == QProcess::NormalExit;
        process_.kill();
        process_.waitForFinished(2000);
        return false;
    }
    bool waitForExit(int ms = 8000)
    {
        return waitUntil([&] { return process_.state() == QProcess::NotRunning; }, ms);
    }

private:
    std::optional<TemplateWindow> findTemplate(QSize size, int font, int ms) const
    {
        const auto window = desktop_.waitForWindow(
            [&](const XWindow& w) { return w.name == QStringLiteral("LUMO") && TemplateWindow(w, font, size).matches(); }, ms);
        if (!window) return std::nullopt;
        return TemplateWindow(*window, font, size);
    }

    Desktop& desktop_;
    Ipv4 address_;
    QProcess process_;
};

// The group list as the directory serves it (GBK rows under "myserverlist").
inline QString directoryListing(const std::string& url)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), {"-s", "--max-time", "5", QString::fromStdString(url) + QStringLiteral("/lumo.asp")});
    waitUntil([&] { return curl.state() == QProcess::NotRunning; }, 8000);
    return QString::fromStdString(gbkToUtf8(curl.readAllStandardOutput().toStdString()));
}

}  // namespace lumo::player
