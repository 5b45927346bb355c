// The program as a player meets it: the real lumo binary on an X server of its own, driven only
// by X input (clicks, typing, keys), judged by what another program can see (windows, pixels,
// the clipboard, datagrams, the directory's list, the speaker files of --audio wav). Screenshots
// of every desktop are kept in player_screens/ beside this program when a case fails, and those
// named in the cases are kept always.
#include "player_support.h"

#include "core/text/gbk.h"
#include "core/link/link_records.h"
#include "link/mailbox.h"
#include "core/voice/voice_codec.h"

#include <QSettings>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace lumo;
using namespace lumo::player;

namespace {

QString screensFolder() { return QCoreApplication::applicationDirPath() + QStringLiteral("/player_screens"); }

// A group member played by the test: it joins a host over the wire and sees what every member
// sees (the rosters); it can talk with a loud tone, so that what the listener plays shows.
class Member {
public:
    Member(Ipv4 address, const char* name) : socket_(address, MemberPort)
    {
        entry_ = test::memberAt(0, name, address);
        entry_.id = UnassignedId;
    }
    bool bound() const { return socket_.bound(); }
    FakePeer& socket() { return socket_; }

    bool join(Endpoint host)
    {
        host_ = host;
        socket_.send(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, entry_), host);
        return waitForRoster([](const Roster&) { return true; });
    }
    // Waits for a roster the host sends that satisfies `wanted`.
    bool waitForRoster(const std::function<bool(const Roster&)>& wanted, int ms = 8000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            const auto datagram = socket_.next(100, cmd::RosterUpdate);
            if (!datagram) continue;
            roster_ = readRosterUpdate(datagram->bytes);
            id_ = datagram->bytes.size() > 1 ? datagram->bytes[1] : -1;
            if (wanted(roster_)) return true;
        }
        return false;
    }
    const Roster& roster() const { return roster_; }
    int id() const { return id_; }
    // Asks the host for the roster and waits for its acknowledgement: lumo has handled what
    // reached it before. What came in meanwhile, the acknowledgement last.
    std::optional<std::vector<FakePeer::Received>> ping()
    {
        if (!roster_.holds(id_)) return std::nullopt;
        socket_.send(makeEntryDatagram(cmd::RosterRequest, idByte(id_), 0, Kind::ToHost, roster_.records[std::size_t(id_)]), host_);
        return socket_.collectUntil(FakePeer::command(cmd::Ack), 8000);
    }
    // The roster index of the member called `name`, or -1.
    int indexOf(const std::string& name) const
    {
        for (int i = 0; i < roster_.count; ++i)
            if (roster_.records[std::size_t(i)].nameBytes() == utf8ToGbk(name)) return i;
        return -1;
    }
    bool lists(const std::string& name) const { return indexOf(name) >= 0; }

    // Sends `blocks` voice records, one every 60 ms, to the member with roster index `to`.
    void talk(int to, int blocks)
    {
        if (!roster_.holds(to)) return;
        const MemberEntry& listener = roster_.records[std::size_t(to)];
        for (int i = 0; i < blocks; ++i) {
            VoiceRecord record;
            record.sequence = ++sequence_;
            record.speech = toneBlock();
            socket_.send(makeVoiceDatagram(cmd::VoiceGroup, idByte(to), idByte(id_), record),
                         {listener.publicAddress, listener.publicPort});
            QTest::qWait(60);
        }
    }

private:
    static std::array<std::uint8_t, VoiceSpeechSize> toneBlock()
    {
        static const std::array<std::uint8_t, VoiceSpeechSize> coded = [] {
            std::array<std::int16_t, BlockSamples> pcm{};
            for (int i = 0; i < BlockSamples; ++i) pcm[std::size_t(i)] = std::int16_t(9000 * std::sin(i * 2 * M_PI * 400 / 8000.0));
            std::array<std::uint8_t, VoiceSpeechSize> out{};
            VoiceCodec codec;
            int length = 0;
            // The codec needs a block to settle; the second encoding is the steady tone.
            codec.Encode(pcm.data(), BlockBytes, out.data(), &length);
            codec.Encode(pcm.data(), BlockBytes, out.data(), &length);
            return out;
        }();
        return coded;
    }

    FakePeer socket_;
    MemberEntry entry_;
    Endpoint host_{};
    Roster roster_{};
    int id_ = -1;
    std::uint32_t sequence_ = 0;
};

// Loud samples in a speaker file of --audio wav (what a listener heard of a member).
int loudSamples(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return 0;
    const QByteArray bytes = file.readAll();
    const int data = bytes.indexOf("data");
    if (data < 0) return 0;
    int loud = 0;
    for (qsizetype at = data + 8; at + 1 < bytes.size(); at += 2) {
        const auto sample = std::int16_t(std::uint8_t(bytes[at]) | (std::uint8_t(bytes[at + 1]) << 8));
        if (std::abs(int(sample)) > 2000) ++loud;
    }
    return loud;
}

// A silent microphone: one second of 8 kHz 16-bit mono.
QString writeSilentMicrophone(const QString& folder)
{
    const QString path = folder + QStringLiteral("/silence.wav");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    const quint32 dataBytes = 16000;
    auto le32 = [&](quint32 v) { for (int i = 0; i < 4; ++i) file.putChar(char((v >> (8 * i)) & 0xFF)); };
    auto le16 = [&](quint16 v) { file.putChar(char(v & 0xFF)); file.putChar(char(v >> 8)); };
    file.write("RIFF");
    le32(36 + dataBytes);
    file.write("WAVEfmt ");
    le32(16);
    le16(1);
    le16(1);
    le32(8000);
    le32(16000);
    le16(2);
    le16(16);
    file.write("data");
    le32(dataBytes);
    file.write(QByteArray(int(dataBytes), '\0'));
    return path;
}

// A microphone that always speaks: `seconds` of a loud 300 Hz tone, 8 kHz 16-bit mono.
QString writeToneMicrophone(const QString& folder, int seconds)
{
    const QString path = folder + QStringLiteral("/tone.wav");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    const quint32 dataBytes = quint32(seconds) * 16000;
    auto le32 = [&](quint32 v) { for (int i = 0; i < 4; ++i) file.putChar(char((v >> (8 * i)) & 0xFF)); };
    auto le16 = [&](quint16 v) { file.putChar(char(v & 0xFF)); file.putChar(char(v >> 8)); };
    file.write("RIFF");
    le32(36 + dataBytes);
    file.write("WAVEfmt ");
    le32(16);
    le16(1);
    le16(1);
    le32(8000);
    le32(16000);
    le16(2);
    le16(16);
    file.write("data");
    le32(dataBytes);
    for (quint32 i = 0; i < dataBytes / 2; ++i) le16(quint16(std::int16_t(12000 * std::sin(i * 2 * M_PI * 300 / 8000.0))));
    return path;
}

}  // namespace

class PlayerTest : public QObject {
    Q_OBJECT

    // What a case sets up lives until cleanup(), so that a failed case's screens can still be
    // taken with its players on them. Players go before their run directories and desktops.
    std::vector<std::unique_ptr<Desktop>> desktops_;
    std::vector<std::unique_ptr<RunDirectory>> runs_;
    std::vector<std::unique_ptr<Player>> players_;
    QTemporaryDir scratch_;

    Desktop* desktop()
    {
        desktops_.push_back(std::make_unique<Desktop>());
        return desktops_.back().get();
    }
    RunDirectory& runDirectory(const std::string& directoryUrl)
    {
        runs_.push_back(std::make_unique<RunDirectory>(directoryUrl));
        return *runs_.back();
    }
    Player& player(Desktop& desk, const std::string& directoryUrl, Ipv4 address, const QStringList& extra = {},
                   const QProcessEnvironment& environment = {})
    {
        RunDirectory& run = runDirectory(directoryUrl);
        players_.push_back(std::make_unique<Player>(desk, run, address, extra, environment));
        return *players_.back();
    }
    // A player in an existing run directory with the configuration and data folders of `home`,
    // as the same player starting lumo again.
    Player& playerAgain(Desktop& desk, RunDirectory& run, Ipv4 address, const QString& home, const QStringList& extra = {})
    {
        players_.push_back(std::make_unique<Player>(desk, run, address, extra, QProcessEnvironment(), home));
        return *players_.back();
    }
    // The X window of the main window or the group browser of the one player on `desk`.
    static std::optional<XWindow> templateWindow(const Desktop& desk, QSize size, int font)
    {
        return desk.waitForWindow([&](const XWindow& w) {
            return w.name == QStringLiteral("LUMO") && TemplateWindow(w, font, size).matches();
        });
    }
    // What a line field holds, as a player copies it: a click into it, select all, copy. The
    // clipboard is set to a marker first, so an empty field reads as empty.
    static QString fieldText(Desktop& desk, const TemplateWindow& window, const QRect& field)
    {
        return desk.copied([&] {
            desk.click(centreOf(window, field));
            desk.key(QStringLiteral("ctrl+a ctrl+c"));
        });
    }
    static void keep(const Desktop& desktop, const QString& name)
    {
        desktop.saveScreenshot(screensFolder() + QStringLiteral("/") + name + QStringLiteral(".png"));
    }

    // The main window of `player` joins the group at `host` with `name`, typed as a player types.
    static void connectByHand(Desktop& desk, Player& player, const QString& name, Ipv4 host)
    {
        const auto main = player.mainWindow();
        QVERIFY(main);
        desk.click(centreOf(*main, MainLayout::Name));
        desk.key(QStringLiteral("ctrl+a"));
        QVERIFY(desk.type(name));
        desk.click(centreOf(*main, MainLayout::HostAddress));
        desk.key(QStringLiteral("ctrl+a"));
        QVERIFY(desk.type(QString::fromStdString(dottedAddress(host))));
        desk.click(centreOf(*main, MainLayout::Connect));
    }

    // Whether the main window's status line shows no text, as a player sees it.
    static bool statusLineIsEmpty(Desktop& desk, const TemplateWindow& main)
    {
        return textRowCentres(desk.screenshot(), main.rect(7, 170, 164, 9)).empty();
    }

    // Clicks the row of roster index `index` (the list shows the roster reversed) in the member
    // list, on its name, and ticks it when asked.
    static bool pickMember(Desktop& desk, const TemplateWindow& main, int count, int index, bool tick, int button = 1)
    {
        const QRect list = main.rect(MainLayout::List.x(), MainLayout::List.y(), MainLayout::List.width(), MainLayout::List.height());
        std::vector<int> rows;
        waitUntil([&] {
            rows = textRowCentres(desk.screenshot(), QRect(list.left() + 60, list.top() + 1, 90, list.height() - 2));
            return int(rows.size()) >= count;
        });
        const int row = count - 1 - index;
        if (row < 0 || row >= int(rows.size())) return false;
        desk.click({list.left() + 100, rows[std::size_t(row)]}, button);
        if (tick) desk.click({list.left() + 12, rows[std::size_t(row)]});
        return true;
    }

    // Switches a plug-in on from the "&game" menu: its items follow "&bbs" and a separator.
    static void switchHudletOn(Desktop& desk, const TemplateWindow& main)
    {
        desk.click({main.rect(150, 170, 10, 5).left(), main.rect(150, 170, 10, 5).top()});  // focus, on the window's surface
        desk.key(QStringLiteral("alt+g"));
        desk.key(QStringLiteral("Down Return"));  // the menu opens on "&bbs"; the separator is skipped
    }

private slots:
    void initTestCase()
    {
        const QString missing = missingTools();
        if (!missing.isEmpty()) QSKIP(qPrintable(QStringLiteral("%1 is not installed: the player suite needs it (scripts/setup installs it)").arg(missing)));
        QVERIFY(scratch_.isValid());
        QDir(screensFolder()).removeRecursively();  // only this run's screens
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            int n = 0;
            for (const auto& desk : desktops_)
                if (desk->running())
                    desk->saveScreenshot(QStringLiteral("%1/%2-failed-%3.png").arg(screensFolder()).arg(QTest::currentTestFunction()).arg(++n));
        }
        for (const auto& p : players_) p->stop();
        players_.clear();
        runs_.clear();
        desktops_.clear();
    }

    // Create a group in the browser, join it from a second lumo by double-click, chat both ways
    // with Enter, leave, and close the host, whose registration goes.
    void groupFromTheBrowserChatBothWaysAndLeave()
    {
        test::DirectoryServer directory(scratch_.filePath(QStringLiteral("groups.db")));
        QVERIFY(directory.running());
        auto annDesk = desktop();
        auto bobDesk = desktop();
        QVERIFY(annDesk->running() && bobDesk->running());
        Player& ann = player(*annDesk, directory.url(), loopback(31));
        Player& bob = player(*bobDesk, directory.url(), loopback(32));
        QVERIFY(runs_[0]->ok() && runs_[1]->ok());

        // ann creates "夜猫子" in her browser.
        auto annBrowser = ann.browser();
        QVERIFY2(annBrowser, qPrintable(QStringLiteral("ann's group browser is shown; ") + ann.state()));
        auto annMain = ann.mainWindow();
        QVERIFY2(annMain, qPrintable(ann.state()));
        QVERIFY2(!annMain->rect(0, 0, 319, 182).intersects(annBrowser->rect(0, 0, 243, 127)),
                 "the browser does not cover the main window");
        annDesk->click(centreOf(*annBrowser, BrowserLayout::GroupName));
        QVERIFY(annDesk->type(QStringLiteral("夜猫子")));
        annDesk->click(centreOf(*annBrowser, BrowserLayout::Nickname));
        QVERIFY(annDesk->type(QStringLiteral("ann")));
        annDesk->click(centreOf(*annBrowser, BrowserLayout::Create));
        QVERIFY2(waitUntil([&] { return directoryListing(directory.url()).contains(QStringLiteral("夜猫子 %1 3555").arg(loopbackText(31))); }),
                 "the directory lists ann's group");
        keep(*annDesk, QStringLiteral("group-created"));

        // Creating put ann in her own group; a third member watches the rosters on the wire.
        Member watcher(loopback(33), "watcher");
        QVERIFY(watcher.bound());
        QVERIFY(watcher.join(ann.hostEndpoint()));
        QVERIFY2(watcher.waitForRoster([](const Roster& r) { return r.count >= 2; }) || watcher.roster().count >= 2,
                 "ann is in her group");

        // bob finds the group in his browser and joins it by double-click with a nickname.
        auto bobBrowser = bob.browser();
        QVERIFY(bobBrowser);
        bobDesk->click(centreOf(*bobBrowser, BrowserLayout::Refresh));
        const QRect groupList = bobBrowser->rect(BrowserLayout::List.x(), BrowserLayout::List.y(), BrowserLayout::List.width(),
                                                 BrowserLayout::List.height());
        std::vector<int> groupRows;
        QVERIFY2(waitUntil([&] {
                     groupRows = textRowCentres(bobDesk->screenshot(), QRect(groupList.left() + 80, groupList.top() + 1, 120, groupList.height() - 20));
                     return !groupRows.empty();
                 }),
                 "bob's browser lists the group");
        bobDesk->click(centreOf(*bobBrowser, BrowserLayout::Nickname));
        QVERIFY(bobDesk->type(QStringLiteral("bob")));
        bobDesk->doubleClick({groupList.left() + 120, groupRows.front()});
        QVERIFY2(watcher.waitForRoster([](const Roster& r) { return r.count == 3; }), "bob joined: the group has three members");
        QVERIFY(watcher.lists("ann") && watcher.lists("bob"));
        QVERIFY2(bobDesk->waitWhileWindow([&](const XWindow& w) { return TemplateWindow(w, BrowserLayout::Font, BrowserLayout::Size).matches(); }),
                 "bob's browser steps aside once he joins");
        keep(*bobDesk, QStringLiteral("joined"));

        // ann writes to bob: tick him, click him, type, Enter.
        const int count = watcher.roster().count;
        QVERIFY(pickMember(*annDesk, *annMain, count, watcher.indexOf("bob"), true));
        annDesk->click(centreOf(*annMain, MainLayout::Message));
        QVERIFY(annDesk->type(QStringLiteral("hello bob 你好")));
        annDesk->key(QStringLiteral("Return"));
        auto box = bob.waitForBox();
        QVERIFY2(box, "bob is shown ann's text in a box");
        QCOMPARE(bobDesk->boxText(*box).trimmed(), QStringLiteral("ann说：hello bob 你好"));
        keep(*bobDesk, QStringLiteral("chat-box"));
        bobDesk->key(QStringLiteral("Return"));
        QVERIFY2(bob.noBoxOpen(), "OK closes the box");

        // bob answers the same way.
        auto bobMain = bob.mainWindow();
        QVERIFY(bobMain);
        QVERIFY(pickMember(*bobDesk, *bobMain, count, watcher.indexOf("ann"), true));
        bobDesk->click(centreOf(*bobMain, MainLayout::Message));
        QVERIFY(bobDesk->type(QStringLiteral("hi ann")));
        bobDesk->key(QStringLiteral("Return"));
        box = ann.waitForBox();
        QVERIFY2(box, "ann is shown bob's answer");
        QCOMPARE(annDesk->boxText(*box).trimmed(), QStringLiteral("bob说：hi ann"));
        annDesk->key(QStringLiteral("Return"));
        QVERIFY(ann.noBoxOpen());
        QVERIFY2(watcher.roster().count == 3, "Enter in the message field did not join again");

        // bob leaves with Escape; the host drops him and tells the group.
        bobDesk->click(bobMain->rect(150, 172, 10, 5).topLeft());
        bobDesk->key(QStringLiteral("Escape"));
        auto leaving = bob.waitForBox();
        QVERIFY2(leaving, "leaving a group asks first");
        QCOMPARE(bobDesk->boxText(*leaving).trimmed(), QStringLiteral("你在一个有 3 名成员的群里。确定退出吗？"));
        keep(*bobDesk, QStringLiteral("leave-question"));
        bobDesk->keyTo(*leaving, QStringLiteral("Return"));  // Yes
        QVERIFY2(bob.waitForExit(), "Escape and Yes end bob's lumo");
        QVERIFY2(watcher.waitForRoster([](const Roster& r) { return r.count == 2; }), "the host dropped bob");
        const QRect annList = annMain->rect(MainLayout::List.x(), MainLayout::List.y(), MainLayout::List.width(), MainLayout::List.height());
        QVERIFY2(waitUntil([&] {
                     return textRowCentres(annDesk->screenshot(), QRect(annList.left() + 60, annList.top() + 1, 90, annList.height() - 2)).size() == 2;
                 }),
                 "ann's list shows two members");
        keep(*annDesk, QStringLiteral("bob-left"));

        // ann closes: her group leaves the directory.
        annDesk->click(annMain->rect(150, 172, 10, 5).topLeft());
        annDesk->key(QStringLiteral("Escape"));
        leaving = ann.waitForBox();
        QVERIFY2(leaving, "leaving the group one hosts asks first");
        QCOMPARE(annDesk->boxText(*leaving).trimmed(), QStringLiteral("你是这个群的主机，群里有 2 名成员。\n退出后他们会失去主机。确定退出吗？"));
        annDesk->keyTo(*leaving, QStringLiteral("Escape"));  // No: ann stays
        QVERIFY2(ann.noBoxOpen() && ann.process().state() == QProcess::Running, "No keeps ann's lumo running");
        annDesk->click(annMain->rect(150, 172, 10, 5).topLeft());
        annDesk->key(QStringLiteral("Escape"));
        leaving = ann.waitForBox();
        QVERIFY(leaving);
        annDesk->keyTo(*leaving, QStringLiteral("Return"));
        QVERIFY2(ann.waitForExit(), "Escape and Yes end ann's lumo");
        QCOMPARE(ann.process().exitCode(), 0);
        QVERIFY2(!directoryListing(directory.url()).contains(QStringLiteral("夜猫子")), "closing removed the registration");
    }

    // ann ticks two members and writes once: both get the text. Then the host is killed and
    // started again: ann joins it again by herself, without a click, and her status line no
    // longer says the host left.
    void textToTickedMembersAndTheHostComesBack()
    {
        test::DirectoryServer directory(scratch_.filePath(QStringLiteral("rejoin.db")));
        QVERIFY(directory.running());
        auto halDesk = desktop();
        auto annDesk = desktop();
        QVERIFY(halDesk->running() && annDesk->running());
        const QString halAddress = loopbackText(91);
        const QStringList hostOptions{QStringLiteral("--audio"), QStringLiteral("null"), QStringLiteral("--name"), QStringLiteral("hal"),
                                      QStringLiteral("--connect"), halAddress};
        Player* hal = &player(*halDesk, directory.url(), loopback(91), hostOptions);
        Member bob(loopback(93), "bob"), cyd(loopback(94), "cyd");
        QVERIFY(bob.bound() && cyd.bound());
        QVERIFY(waitUntil([&] { return bob.join(hal->hostEndpoint()) && bob.lists("hal"); }));
        QProcessEnvironment english;  // ann's windows speak English
        english.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
        Player& ann = player(*annDesk, directory.url(), loopback(92),
                             {QStringLiteral("--audio"), QStringLiteral("null"), QStringLiteral("--name"), QStringLiteral("ann"),
                              QStringLiteral("--connect"), halAddress},
                             english);
        QVERIFY(cyd.join(hal->hostEndpoint()));
        QVERIFY2(cyd.waitForRoster([](const Roster& r) { return r.count == 4; }) || cyd.roster().count == 4,
                 "hal, bob, ann and cyd are in the group");
        const int count = cyd.roster().count;
        auto annMain = ann.mainWindow();
        QVERIFY2(annMain, qPrintable(ann.state()));
        QVERIFY(pickMember(*annDesk, *annMain, count, cyd.indexOf("bob"), true));
        QVERIFY(pickMember(*annDesk, *annMain, count, cyd.indexOf("cyd"), true));
        annDesk->click(centreOf(*annMain, MainLayout::Message));
        QVERIFY(annDesk->type(QStringLiteral("hello both")));
        annDesk->key(QStringLiteral("Return"));
        for (Member* member : {&bob, &cyd}) {
            const auto chat = member->socket().next(8000, cmd::ChatText);
            QVERIFY2(chat, "each ticked member gets the text");
            QVERIFY(QByteArray(reinterpret_cast<const char*>(chat->bytes.data()), int(chat->bytes.size())).contains("hello both"));
        }
        keep(*annDesk, QStringLiteral("text-to-two-ticked"));

        // The host dies without a word and comes back on the same address.
        hal->process().kill();
        QVERIFY(hal->waitForExit());
        hal = &player(*halDesk, directory.url(), loopback(91), hostOptions);
        Member watcher(loopback(95), "watcher");
        QVERIFY(watcher.bound());
        QVERIFY(waitUntil([&] { return watcher.join(hal->hostEndpoint()); }));
        // ann hears nothing from the host for 30 s, asks three times 5 s apart, then joins again
        // a second later: about 50 s, which the guard leaves room for.
        QVERIFY2(watcher.waitForRoster([](const Roster& r) {
                     for (int i = 0; i < r.count; ++i)
                         if (r.records[std::size_t(i)].nameBytes() == "ann") return true;
                     return false;
                 }, 150000),
                 "ann is in the group again without a click");
        keep(*annDesk, QStringLiteral("host-came-back"));
        QVERIFY2(waitUntil([&] { return statusLineIsEmpty(*annDesk, *annMain); }), "ann's status line no longer says the host left");

        // Leaving the group asks first, in English too.
        annDesk->click(annMain->rect(150, 172, 10, 5).topLeft());
        annDesk->key(QStringLiteral("Escape"));
        auto leaving = ann.waitForBox();
        QVERIFY2(leaving, "leaving asks first");
        QCOMPARE(annDesk->boxText(*leaving).trimmed(),
                 QStringLiteral("You are in a group of %1 members. Quit anyway?").arg(watcher.roster().count));
        keep(*annDesk, QStringLiteral("english-leave-question"));
        annDesk->keyTo(*leaving, QStringLiteral("Return"));
        QVERIFY(ann.waitForExit());
    }

    // A hosted group stays listed while its host runs, renewing it, and leaves the list once the
    // host is killed without a word.
    void hostedGroupStaysListedUntilItsHostDies()
    {
        constexpr int TtlSeconds = 2;
        test::DirectoryServer directory(scratch_.filePath(QStringLiteral("ttl.db")), {QStringLiteral("--ttl"), QString::number(TtlSeconds)});
        QVERIFY(directory.running());
        auto desk = desktop();
        QVERIFY(desk->running());
        QProcessEnvironment renewSoon;
        renewSoon.insert(QStringLiteral("LUMO_DIRECTORY_RENEW_MS"), QStringLiteral("500"));
        Player& host = player(*desk, directory.url(), loopback(81), {QStringLiteral("--audio"), QStringLiteral("null")}, renewSoon);
        auto browser = host.browser();
        QVERIFY2(browser, qPrintable(host.state()));
        desk->click(centreOf(*browser, BrowserLayout::GroupName));
        QVERIFY(desk->type(QStringLiteral("长夜")));
        desk->click(centreOf(*browser, BrowserLayout::Create));
        const QString listed = QStringLiteral("长夜 %1 3555").arg(loopbackText(81));
        QVERIFY(waitUntil([&] { return directoryListing(directory.url()).contains(listed); }));
        // Four lifetimes later it is still there, renewed.
        QElapsedTimer held;
        held.start();
        while (held.elapsed() < 4 * TtlSeconds * 1000) {
            QVERIFY2(directoryListing(directory.url()).contains(listed), "the running host keeps its group listed");
            QTest::qWait(400);
        }
        host.process().kill();
        QVERIFY(host.waitForExit());
        // How soon is the directory's own matter (its liveness tests run on simulated time);
        // here only that it goes, with a generous guard.
        QVERIFY2(waitUntil([&] { return !directoryListing(directory.url()).contains(listed); }, 10 * TtlSeconds * 1000),
                 "a killed host's group leaves the list");
    }

    // Voice questions: answered Yes in the main window, two talkers asked in turn, then asked
    // in the overlay (hudlet switched on from the "&game" menu, Home pressed), and the call
    // prompt's three buttons.
    void voiceQuestionsInTheWindowTheOverlayAndThePrompt()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        const QString speakers = scratch_.filePath(QStringLiteral("speakers"));
        QDir().mkpath(speakers);
        const QString microphone = writeSilentMicrophone(scratch_.path());
        // No directory answers: the browser says so and that is all.
        Player& ann = player(*desk, "http://127.0.0.1:9", loopback(41),
                             {QStringLiteral("--audio"), QStringLiteral("wav:%1:%2").arg(microphone, speakers)});
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));
        if (auto box = ann.waitForBox()) desk->keyTo(*box, QStringLiteral("Return"));  // the unreachable directory
        connectByHand(*desk, ann, QStringLiteral("ann"), ann.address());

        Member carl(loopback(42), "carl"), dora(loopback(43), "dora"), erin(loopback(44), "erin"), fred(loopback(45), "fred");
        for (Member* m : {&carl, &dora, &erin, &fred}) {
            QVERIFY(m->bound());
            QVERIFY(m->join(ann.hostEndpoint()));
        }
        QVERIFY(fred.waitForRoster([](const Roster& r) { return r.count == 5; }) || fred.roster().count == 5);
        for (Member* m : {&carl, &dora, &erin}) m->waitForRoster([](const Roster& r) { return r.count == 5; }, 1500);
        const int annIndex = carl.indexOf("ann");
        QVERIFY(annIndex >= 0);
        auto heard = [&](const Member& m) { return loudSamples(QStringLiteral("%1/peer-%2.wav").arg(speakers).arg(m.id())); };

        // carl talks: the first block is heard, then ann is asked; Yes lets the rest through.
        carl.talk(annIndex, 3);
        auto question = ann.waitForBox();
        QVERIFY2(question, "ann is asked about carl");
        QCOMPARE(desk->boxText(*question).trimmed(), QStringLiteral("carl想和你聊天，接受吗？"));
        keep(*desk, QStringLiteral("voice-question"));
        desk->key(QStringLiteral("Return"));  // Yes
        QVERIFY(ann.noBoxOpen());
        const int beforeAccepted = heard(carl);
        carl.talk(annIndex, 10);
        QVERIFY2(waitUntil([&] { return heard(carl) > beforeAccepted + 2000; }), "carl is heard once accepted");

        // dora and erin start together: one question at a time, both answered, lumo alive.
        for (int i = 0; i < 3; ++i) {
            dora.talk(annIndex, 1);
            erin.talk(annIndex, 1);
        }
        question = ann.waitForBox();
        QVERIFY(question);
        QVERIFY2(dora.ping() && erin.ping(), "lumo has both talkers' voice");
        QCOMPARE(int(desk->windowsNamed(QStringLiteral("LUMO")).size()), 3);  // main, browser, one box
        QVERIFY(desk->boxText(*question).contains(QStringLiteral("想和你聊天")));  // read, then answered
        desk->key(QStringLiteral("Return"));
        const QString firstQuestion = question->id;
        QVERIFY(desk->waitWhileWindow([&](const XWindow& w) { return w.id == firstQuestion; }));
        question = ann.waitForBox();
        QVERIFY2(question, "the second talker is asked after the first answer");
        QVERIFY(desk->boxText(*question).contains(QStringLiteral("想和你聊天")));
        desk->key(QStringLiteral("Return"));
        QVERIFY(ann.noBoxOpen());
        QVERIFY2(carl.ping(), "lumo still answers after two questions");

        // The overlay: hudlet from the "&game" menu, then Home; fred's question is asked there.
        switchHudletOn(*desk, *main);
        desk->key(QStringLiteral("Home"));
        auto overlay = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); }, 5000);
        QVERIFY2(overlay, "Home shows the overlay gamein");
        QTest::qWait(500);
        fred.talk(annIndex, 3);
        question = ann.waitForBox();
        QVERIFY2(question, "the overlay asks about fred");
        QVERIFY2(question->frame.intersects(overlay->frame), "the question is the overlay's");
        keep(*desk, QStringLiteral("overlay-question"));
        desk->clickInto(*question);
        desk->key(QStringLiteral("Return"));  // Yes
        QVERIFY2(ann.noBoxOpen(), "answering in the overlay does not freeze lumo");
        const int fredBefore = heard(fred);
        fred.talk(annIndex, 10);
        QVERIFY2(waitUntil([&] { return heard(fred) > fredBefore + 2000; }), "fred is heard once accepted in the overlay");
        desk->key(QStringLiteral("Home"));
        QVERIFY2(desk->waitWhileWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); }), "Home hides the overlay");

        // The call prompt on carl's row: refuse, ask again, accept.
        auto prompt = [&] {
            return desk->waitForWindow([](const XWindow& w) { return isCallPromptFrame(w.frame); }, 3000);
        };
        const DialogUnits promptUnits(dialogFont(8));
        auto pressPrompt = [&](const XWindow& window, int y) {
            desk->click(window.frame.topLeft() + promptUnits.rect(13, y, 51, 13).center());
        };
        QVERIFY(pickMember(*desk, *main, 5, carl.indexOf("carl"), false, 3));
        auto shown = prompt();
        QVERIFY2(shown, "a right-click on a member opens the call prompt");
        keep(*desk, QStringLiteral("call-prompt"));
        pressPrompt(*shown, 16);  // 拒绝通话
        QVERIFY2(desk->waitWhileWindow([](const XWindow& w) { return isCallPromptFrame(w.frame); }),
                 "the prompt goes once answered");
        const int refusedAt = heard(carl);
        const int doraBefore = heard(dora);
        carl.talk(annIndex, 10);
        dora.talk(annIndex, 10);  // accepted above: heard once carl's refused voice is dealt with
        QVERIFY2(waitUntil([&] { return heard(dora) > doraBefore + 2000; }), "dora, talking after carl, is heard");
        QVERIFY2(heard(carl) < refusedAt + 500, "refused: carl is not heard");

        QVERIFY(pickMember(*desk, *main, 5, carl.indexOf("carl"), false, 3));
        shown = prompt();
        QVERIFY(shown);
        pressPrompt(*shown, 28);  // 下次提示
        carl.talk(annIndex, 2);
        question = ann.waitForBox();
        QVERIFY2(question, "ask again: the next voice asks again");
        desk->keyTo(*question, QStringLiteral("Escape"));  // No
        QVERIFY(ann.noBoxOpen());

        QVERIFY(pickMember(*desk, *main, 5, carl.indexOf("carl"), false, 3));
        shown = prompt();
        QVERIFY(shown);
        pressPrompt(*shown, 4);  // 同意通话
        const int acceptedAt = heard(carl);
        carl.talk(annIndex, 10);
        QVERIFY2(waitUntil([&] { return heard(carl) > acceptedAt + 2000; }), "accepted from the prompt: carl is heard");
        QVERIFY(ann.stop());
    }

    // Home reaches the focused program while hudlet is on; skins switch; About opens and closes.
    void homeReachesOtherProgramsSkinsAndAbout()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        Player& ann = player(*desk, "http://127.0.0.1:9", loopback(51),
                             {QStringLiteral("--audio"), QStringLiteral("null"), QStringLiteral("--name"), QStringLiteral("annie"),
                              QStringLiteral("--connect"), loopbackText(51)});
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));
        if (auto box = ann.waitForBox()) desk->keyTo(*box, QStringLiteral("Return"));
        // --name is the player's name in the group, not the X window class.
        const auto mainWindow = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("LUMO"); });
        QVERIFY(mainWindow);
        const QByteArray windowClass = desk->run(QStringLiteral("xprop"), {"-id", mainWindow->id, "WM_CLASS"});
        QVERIFY2(windowClass.contains("\"lumo\"") && !windowClass.contains("annie"), windowClass.constData());

        switchHudletOn(*desk, *main);
        const QString xevLog = scratch_.filePath(QStringLiteral("xev.log"));
        desk->start(QStringLiteral("xev"), {"-geometry", "200x100+1000+20", "-event", "keyboard"}, xevLog);
        auto xev = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("Event Tester"); });
        QVERIFY(xev);
        desk->focus(*xev);
        desk->key(QStringLiteral("Home"));
        QVERIFY2(desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); }), "Home shows the overlay");
        QVERIFY2(waitUntil([&] {
                     QFile log(xevLog);
                     const QByteArray text = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
                     return text.contains("KeyPress event") && text.contains("(keysym 0xff50, Home)") &&
                            text.contains("KeyRelease event");
                 }),
                 "the focused program still gets Home");
        keep(*desk, QStringLiteral("home-overlay-and-xev"));
        desk->key(QStringLiteral("Home"));
        QVERIFY(desk->waitWhileWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); }));

        // Skins: the window's colours change with the skin picked from the "&Skin" menu.
        const QPoint surface = main->rect(100, 172, 5, 5).center();
        const QRgb before = desk->screenshot().pixel(surface);
        desk->click(surface);
        desk->key(QStringLiteral("alt+s"));
        desk->key(QStringLiteral("Down Down Down Return"));
        QVERIFY2(waitUntil([&] { return desk->screenshot().pixel(surface) != before; }), "another skin repaints the window");
        keep(*desk, QStringLiteral("skin-switched"));

        // About.
        desk->click(surface);
        desk->key(QStringLiteral("alt+a"));
        auto about = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("关于LUMO"); });
        QVERIFY2(about, "About opens");
        keep(*desk, QStringLiteral("about"));
        desk->keyTo(*about, QStringLiteral("Return"));
        QVERIFY2(desk->waitWhileWindow([](const XWindow& w) { return w.name == QStringLiteral("关于LUMO"); }), "and closes");
        QVERIFY(ann.stop());
    }

    // Requests from the overlay link never stack boxes: a pipe that cannot be opened gives its
    // two boxes one after the other, and a flood of voice toggles with nobody ticked gives one
    // "alone" box. The program stays alive and answers its group throughout.
    void linkRequestsNeverStackBoxes()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        Player& ann = player(*desk, "http://127.0.0.1:9", loopback(71), {QStringLiteral("--audio"), QStringLiteral("null")});
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));
        if (auto box = ann.waitForBox()) desk->keyTo(*box, QStringLiteral("Return"));
        switchHudletOn(*desk, *main);
        desk->key(QStringLiteral("Home"));
        QVERIFY(desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); }));

        const QString runtime = runs_.back()->path(QStringLiteral("runtime"));
        auto post = [&](const QString& to, int code, int value) {
            return test::inRuntimeDirectory(runtime, [&] { return MailboxPoster(to).post(code, value); });
        };
        auto hudletBoxes = [&] { return int(desk->windowsNamed(QStringLiteral("hudlet")).size()); };
        FakePeer probe(loopback(72), MemberPort);
        auto answers = [&] {
            MemberEntry nobody;
            nobody.id = 200;
            probe.send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody), ann.hostEndpoint());
            return probe.next(3000, cmd::Ack).has_value();
        };
        QVERIFY(post(QStringLiteral("gamein"), link::to_overlay::PipeReady, 9));
        QVERIFY2(desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("hudlet"); }, 8000),
                 "the overlay says its pipe could not be opened");
        QVERIFY2(answers(), "lumo goes on while the box is open");
        QCOMPARE(hudletBoxes(), 1);
        keep(*desk, QStringLiteral("overlay-pipe-box"));
        const XWindow first = desk->windowsNamed(QStringLiteral("hudlet")).front();
        desk->clickInto(first);
        desk->key(QStringLiteral("Return"));
        QVERIFY2(waitUntil([&] {
                     const auto open = desk->windowsNamed(QStringLiteral("hudlet"));
                     return open.size() == 1 && open.front().id != first.id;
                 }),
                 "then its second box, once the first is answered");
        desk->clickInto(desk->windowsNamed(QStringLiteral("hudlet")).front());
        desk->key(QStringLiteral("Return"));
        QVERIFY2(waitUntil([&] { return hudletBoxes() == 0; }), "and no more");

        test::inRuntimeDirectory(runtime, [&] {
            MailboxPoster toMain(QStringLiteral("LUMO"));
            for (int i = 0; i < 20000; ++i) toMain.post(link::to_main::VoiceToggle, 1);
            return true;
        });
        const auto alone = ann.waitForBox();
        QVERIFY2(alone, "the flood of toggles gives a box");
        QVERIFY2(answers() && answers(), "lumo answers its group while the box is open");
        QCOMPARE(int(desk->windowsNamed(QStringLiteral("LUMO")).size()), 3);  // main, browser, one box
        desk->clickInto(*alone);
        desk->key(QStringLiteral("Return"));
        QVERIFY2(ann.noBoxOpen(5000), "one box for the whole flood");
        QVERIFY(answers());
        QVERIFY(ann.stop());
        QCOMPARE(ann.process().exitCode(), 0);
    }

    // A player whose system speaks English sees the windows, the overlay and the boxes in
    // English; a language picked in the "&Language" menu is remembered and wins over the
    // locale from the next start on.
    void englishByTheLocaleAndChineseByTheMenu()
    {
        test::DirectoryServer directory(scratch_.filePath(QStringLiteral("english.db")));
        QVERIFY(directory.running());
        auto desk = desktop();
        QVERIFY(desk->running());
        QProcessEnvironment english;
        english.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
        const QStringList options{QStringLiteral("--audio"), QStringLiteral("null")};
        Player& ann = player(*desk, directory.url(), loopback(81), options, english);
        auto browser = ann.browser();
        QVERIFY2(browser, qPrintable(ann.state()));
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));

        // A group of her own in the browser's list.
        desk->click(centreOf(*browser, BrowserLayout::GroupName));
        QVERIFY(desk->type(QStringLiteral("nightowls")));
        desk->click(centreOf(*browser, BrowserLayout::Create));
        QVERIFY2(waitUntil([&] { return directoryListing(directory.url()).contains(QStringLiteral("nightowls")); }),
                 "the directory lists ann's group");
        desk->click(centreOf(*browser, BrowserLayout::Refresh));
        const QRect groupList = browser->rect(BrowserLayout::List.x(), BrowserLayout::List.y(), BrowserLayout::List.width(),
                                              BrowserLayout::List.height());
        std::vector<int> rows;
        QVERIFY2(waitUntil([&] {
                     rows = textRowCentres(desk->screenshot(), QRect(groupList.left() + 80, groupList.top() + 1, 120, groupList.height() - 20));
                     return !rows.empty();
                 }),
                 "the browser lists the group");
        keep(*desk, QStringLiteral("english-main-and-browser"));

        // A box: joining without a nickname.
        desk->doubleClick({groupList.left() + 120, rows.front()});
        auto box = ann.waitForBox();
        QVERIFY(box);
        QCOMPARE(desk->boxText(*box).trimmed(), QStringLiteral("You forgot your nickname! *_*"));
        keep(*desk, QStringLiteral("english-message-box"));
        desk->key(QStringLiteral("Return"));
        QVERIFY(ann.noBoxOpen());

        // The overlay.
        switchHudletOn(*desk, *main);
        desk->key(QStringLiteral("Home"));
        const auto overlay = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); });
        QVERIFY2(overlay, "Home shows the overlay");
        QVERIFY2(waitUntil([&] { return painted(desk->screenshot(), overlay->frame); }), "the overlay is painted");
        keep(*desk, QStringLiteral("english-overlay"));
        desk->key(QStringLiteral("Home"));
        QVERIFY(desk->waitWhileWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); }));

        // "&Language" / "中文": remembered, and said so in the language of the day.
        desk->click({main->rect(150, 170, 10, 5).left(), main->rect(150, 170, 10, 5).top()});
        desk->key(QStringLiteral("alt+l"));
        desk->key(QStringLiteral("Down Return"));  // the menu opens on its first item, the system's language
        box = ann.waitForBox();
        QVERIFY(box);
        QCOMPARE(desk->boxText(*box).trimmed(), QStringLiteral("The language setting is saved; it applies from the next start of LUMO."));
        desk->key(QStringLiteral("Return"));
        QVERIFY(ann.stop());
        RunDirectory& run = *runs_.back();
        QCOMPARE(QSettings(run.path(QStringLiteral("config/lumo/LUMO.conf")), QSettings::IniFormat).value(QStringLiteral("language")).toString(),
                 QStringLiteral("zh"));

        // Started again in the same English locale, it speaks Chinese as chosen.
        Player again(*desk, run, loopback(81), options, english);
        auto browserAgain = again.browser();
        QVERIFY2(browserAgain, qPrintable(again.state()));
        desk->doubleClick(centreOf(*browserAgain, BrowserLayout::List));
        box = again.waitForBox();
        QVERIFY(box);
        QCOMPARE(desk->boxText(*box).trimmed(), QStringLiteral("你忘了你的酷名了！*_*"));
        desk->key(QStringLiteral("Return"));
        QVERIFY(again.stop());
    }

    // Push-to-talk while another program has the focus: the key held for 2 s sends about 33
    // voice records (one per 60 ms) to the ticked member, none once it is released, and the
    // focused program still gets the key. The key is chosen in the sound dialog beforehand.
    void pushToTalkWhileAnotherProgramHasTheFocus()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        const QString microphone = writeToneMicrophone(scratch_.path(), 40);
        QVERIFY(!microphone.isEmpty());
        const QString speakers = scratch_.filePath(QStringLiteral("ptt-speakers"));
        RunDirectory& run = runDirectory("http://127.0.0.1:9");
        players_.push_back(std::make_unique<Player>(
            *desk, run, loopback(91),
            QStringList{QStringLiteral("--audio"), QStringLiteral("wav:%1:%2").arg(microphone, speakers), QStringLiteral("--name"),
                        QStringLiteral("ann"), QStringLiteral("--connect"), loopbackText(91)}));
        Player& ann = *players_.back();
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));
        if (auto box = ann.waitForBox()) desk->keyTo(*box, QStringLiteral("Return"));  // the directory does not answer

        Member carl(loopback(92), "carl");
        QVERIFY(carl.bound());
        QVERIFY(carl.join(ann.hostEndpoint()));
        QVERIFY(carl.waitForRoster([](const Roster& r) { return r.count == 2; }) || carl.roster().count == 2);
        QVERIFY(pickMember(*desk, *main, 2, carl.indexOf("carl"), true));

        // F9 becomes the push-to-talk key in the sound dialog ("&File", "声音设置...", "设置按键(&K)").
        desk->click(main->rect(150, 170, 10, 5).topLeft());
        desk->key(QStringLiteral("alt+f"));
        desk->key(QStringLiteral("Return"));
        auto sound = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("声音设置"); });
        QVERIFY2(sound, "the sound dialog opens");
        desk->keyTo(*sound, QStringLiteral("alt+k"));
        desk->key(QStringLiteral("F9"));
        QVERIFY2(waitUntil([&] {
                     QFile conf(run.path(QStringLiteral("config/lumo/LUMO.conf")));
                     return conf.open(QIODevice::ReadOnly) && conf.readAll().contains("pushToTalkKey=65478");
                 }),
                 "the key is remembered");
        keep(*desk, QStringLiteral("sound-dialog-wav"));
        desk->key(QStringLiteral("Escape"));
        QVERIFY(desk->waitWhileWindow([](const XWindow& w) { return w.name == QStringLiteral("声音设置"); }));

        const QString xevLog = scratch_.filePath(QStringLiteral("ptt-xev.log"));
        desk->start(QStringLiteral("xev"), {"-geometry", "200x100+1000+20", "-event", "keyboard"}, xevLog);
        auto xev = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("Event Tester"); });
        QVERIFY(xev);
        desk->focus(*xev);
        auto voiceCount = [](const std::vector<FakePeer::Received>& datagrams) {
            return int(std::count_if(datagrams.begin(), datagrams.end(),
                                     [](const FakePeer::Received& r) { return !r.bytes.empty() && r.bytes[0] == cmd::VoiceGroup; }));
        };
        // The microphone has spoken since carl joined, but nobody talks yet.
        const auto beforeKey = carl.ping();
        QVERIFY(beforeKey);
        QCOMPARE(voiceCount(*beforeKey), 0);

        // Held until carl has a stream of records (ten, 0.6 s of voice), then released.
        desk->xdotool({"keydown", "F9"});
        int whileHeld = 0;
        const auto held = carl.socket().collectUntil([&](const FakePeer::Received& r) {
            return (whileHeld += FakePeer::command(cmd::VoiceGroup)(r)) >= 10;
        });
        desk->xdotool({"keyup", "F9"});
        QVERIFY2(held, qPrintable(QStringLiteral("F9 held: %1 voice records, ten expected").arg(whileHeld)));
        QVERIFY2(waitUntil([&] {
                     QFile log(xevLog);
                     const QByteArray text = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
                     return text.contains("(keysym 0xffc6, F9)") && text.contains("KeyRelease event");
                 }),
                 "the focused program still gets F9");
        // Records already on their way when lumo saw the release come before its answer; after
        // that, a microphone still sent would give one every 60 ms. A silent lumo sends nothing
        // to end on, so this one check watches a stretch of 25 records' time.
        QVERIFY(carl.ping());
        const int afterwards = voiceCount(carl.socket().collect(1500));
        QCOMPARE(afterwards, 0);

        QVERIFY(ann.stop());
    }

    // A game (xev) has the focus, in English: a text and a voice question arrive in boxes side by
    // side that leave it the keyboard (it keeps the focus and every key; Return and Escape typed
    // into it answer nothing); a click into a box lets Return answer it; then the marker on the
    // talker's row shows while his voice comes and goes once he stops.
    void boxesLeaveTheGameItsKeysAndTalkersShow()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        const QString speakers = scratch_.filePath(QStringLiteral("quiet-speakers"));
        QDir().mkpath(speakers);
        QProcessEnvironment english;
        english.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
        Player& ann = player(*desk, "http://127.0.0.1:9", loopback(101),
                             {QStringLiteral("--audio"), QStringLiteral("wav:%1:%2").arg(writeSilentMicrophone(scratch_.path()), speakers),
                              QStringLiteral("--name"), QStringLiteral("ann"), QStringLiteral("--connect"), loopbackText(101)},
                             english);
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));
        if (auto box = ann.waitForBox()) desk->keyTo(*box, QStringLiteral("Return"));  // the directory does not answer
        QVERIFY(ann.noBoxOpen());
        Member carl(loopback(102), "carl");
        QVERIFY(carl.bound());
        QVERIFY(carl.join(ann.hostEndpoint()));
        QVERIFY(carl.waitForRoster([](const Roster& r) { return r.count == 2; }) || carl.roster().count == 2);
        const int annIndex = carl.indexOf("ann");
        QVERIFY(annIndex >= 0);

        const QString xevLog = scratch_.filePath(QStringLiteral("quiet-xev.log"));
        desk->start(QStringLiteral("xev"), {"-geometry", "200x100+800+600", "-event", "keyboard"}, xevLog);
        auto xev = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("Event Tester"); });
        QVERIFY(xev);
        desk->focus(*xev);
        auto focused = [&] { return QString::fromUtf8(desk->xdotool({"getwindowfocus"})).trimmed(); };
        QCOMPARE(focused(), xev->id);
        auto boxes = [&] {
            std::vector<XWindow> open;
            for (const XWindow& w : desk->windowsNamed(QStringLiteral("LUMO")))
                if (!ann.isMainOrBrowser(w)) open.push_back(w);
            return open;
        };
        const auto browserAndMain = desk->windowsNamed(QStringLiteral("LUMO")).size();

        carl.socket().send(makeChatText(idByte(annIndex), idByte(carl.id()), utf8ToGbk("gg, push mid")), ann.memberEndpoint());
        carl.talk(annIndex, 3);
        QVERIFY2(waitUntil([&] { return desk->windowsNamed(QStringLiteral("LUMO")).size() == browserAndMain + 2; }),
                 "a box for the text and one for the question");
        QVERIFY2(carl.ping(), "lumo goes on with both boxes open");
        const auto open = boxes();
        QCOMPARE(int(open.size()), 2);
        QVERIFY2(open[0].frame.topLeft() != open[1].frame.topLeft(), "the boxes cascade instead of covering each other");
        keep(*desk, QStringLiteral("english-quiet-boxes"));

        // Keys meant for the game reach the game, and none of them answers a box.
        QCOMPARE(focused(), xev->id);
        desk->key(QStringLiteral("Return space Escape y"));
        QVERIFY2(waitUntil([&] {
                     QFile log(xevLog);
                     const QByteArray text = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
                     return text.contains("Return") && text.contains("space") && text.contains("Escape") && text.contains("(keysym 0x79, y)");
                 }),
                 "the game gets every key");
        QVERIFY(carl.ping());
        QCOMPARE(int(desk->windowsNamed(QStringLiteral("LUMO")).size()), int(browserAndMain + 2));
        QCOMPARE(focused(), xev->id);

        // A click into a box gives it the keyboard: Return answers it now (Yes, OK), one by one.
        for (int i = 0; i < 2; ++i) {
            const auto left = boxes();
            QVERIFY(!left.empty());
            desk->clickInto(left.back());
            desk->key(QStringLiteral("Return"));
            QVERIFY2(waitUntil([&] { return int(boxes().size()) == int(left.size()) - 1; }), "Return answers the clicked box");
        }

        // carl talks (accepted above, or he would not be played): his row shows it, then not.
        const QRect list = main->rect(MainLayout::List.x(), MainLayout::List.y(), MainLayout::List.width(), MainLayout::List.height());
        QImage markerShot;  // the desktop when the marker was seen
        auto markerShown = [&] {
            const QImage shot = desk->screenshot();
            for (int y = list.top(); y <= list.bottom(); ++y)
                for (int x = list.left(); x <= list.right(); ++x)
                    if (shot.valid(x, y) && shot.pixel(x, y) == qRgb(0x2e, 0xb8, 0x42)) {
                        markerShot = shot;
                        return true;
                    }
            return false;
        };
        QVERIFY2(!markerShown(), "nobody talks: no marker");
        bool shown = false;
        for (int i = 0; i < 60 && !shown; ++i) {
            carl.talk(annIndex, 2);
            shown = markerShown();
        }
        QVERIFY2(shown, "carl's row shows him talking");
        QDir().mkpath(screensFolder());
        markerShot.save(screensFolder() + QStringLiteral("/english-talking-marker.png"));
        QVERIFY2(waitUntil([&] { return !markerShown(); }), "the marker goes once carl stops");
        QVERIFY(ann.stop());
    }

    // The sound dialog on PortAudio with the ALSA null devices of a private ALSA configuration:
    // the device lists with the default marked, and a meter fed by the device.
    void soundDialogListsPortAudioDevices()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        QDir().mkpath(scratch_.filePath(QStringLiteral("alsa-home")));
        QFile asoundrc(scratch_.filePath(QStringLiteral("alsa-home/.asoundrc")));
        QVERIFY(asoundrc.open(QIODevice::WriteOnly));
        asoundrc.write("pcm.!default { type plug\n slave.pcm \"nullpcm\" }\npcm.nullpcm { type null }\n"
                       "pcm.headset { type plug\n slave.pcm \"nullpcm\" }\n");
        asoundrc.close();
        QProcessEnvironment env;
        env.insert(QStringLiteral("HOME"), scratch_.filePath(QStringLiteral("alsa-home")));
        Player& bea = player(*desk, "http://127.0.0.1:9", loopback(93), {QStringLiteral("--audio"), QStringLiteral("portaudio")}, env);
        auto main = bea.mainWindow();
        QVERIFY2(main, qPrintable(bea.state()));
        if (auto box = bea.waitForBox()) desk->keyTo(*box, QStringLiteral("Return"));
        desk->click(main->rect(150, 170, 10, 5).topLeft());
        desk->key(QStringLiteral("alt+f"));
        desk->key(QStringLiteral("Return"));
        auto sound = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("声音设置"); });
        QVERIFY2(sound, "the sound dialog opens");
        QVERIFY2(waitUntil([&] { return painted(desk->screenshot(), sound->frame); }), "the sound dialog is painted");
        keep(*desk, QStringLiteral("sound-dialog-portaudio"));
        // The input list opened: the devices PortAudio lists (the list is the dialog's first row,
        // right of its label), in a window of its own.
        const std::size_t windowsBefore = desk->windows().size();
        desk->click({sound->frame.left() + sound->frame.width() / 2, sound->frame.top() + 22});
        QVERIFY2(waitUntil([&] { return desk->windows().size() > windowsBefore; }), "the input list opens");
        keep(*desk, QStringLiteral("sound-dialog-portaudio-inputs"));
        desk->key(QStringLiteral("Escape"));
        QVERIFY(bea.stop());
    }

    // What a player is told when something cannot work, and the state left true.
    void failuresAreExplainedInChinese()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        Player& ann = player(*desk, "http://127.0.0.1:9", loopback(61), {QStringLiteral("--audio"), QStringLiteral("null")});
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));
        if (auto box = ann.waitForBox()) {
            QCOMPARE(desk->boxText(*box).trimmed(), QStringLiteral("出错了，请重试！"));  // the directory does not answer
            desk->key(QStringLiteral("Return"));
        }

        // A second lumo on the same address says why it cannot run, and ends.
        Player& twin = player(*desk, "http://127.0.0.1:9", loopback(61), {QStringLiteral("--audio"), QStringLiteral("null")});
        auto box = ann.waitForBox();
        QVERIFY2(box, "the second lumo explains");
        QVERIFY(desk->boxText(*box).contains(QStringLiteral("已被占用")));
        desk->key(QStringLiteral("Return"));
        QVERIFY2(twin.waitForExit(), "and ends");
        QCOMPARE(twin.process().exitCode(), 1);

        // So does one bound to an address this machine does not have (a documentation address:
        // binding sends nothing).
        Player stray(*desk, *runs_.back(), 0xC0000207u, {QStringLiteral("--audio"), QStringLiteral("null")});
        box = ann.waitForBox();
        QVERIFY2(box, "a lumo bound to a foreign address explains");
        QVERIFY(desk->boxText(*box).contains(QStringLiteral("本机没有这个地址")));
        desk->key(QStringLiteral("Return"));
        QVERIFY(stray.waitForExit());
        QCOMPARE(stray.process().exitCode(), 1);

        // An incomplete host address.
        desk->click(centreOf(*main, MainLayout::Name));
        QVERIFY(desk->type(QStringLiteral("ann")));
        desk->click(centreOf(*main, MainLayout::HostAddress));
        QVERIFY(desk->type(QStringLiteral("127.0")));
        desk->click(centreOf(*main, MainLayout::Connect));
        box = ann.waitForBox();
        QVERIFY(box);
        QVERIFY(desk->boxText(*box).startsWith(QStringLiteral("远端IP不完整")));
        desk->key(QStringLiteral("Return"));

        // Voice without a microphone says so; alone in a group says so.
        desk->click(centreOf(*main, MainLayout::HostAddress));
        desk->key(QStringLiteral("ctrl+a"));
        QVERIFY(desk->type(QString::fromStdString(dottedAddress(ann.address()))));
        desk->click(centreOf(*main, MainLayout::Connect));
        desk->click(centreOf(*main, MainLayout::Voice));
        box = ann.waitForBox();
        QVERIFY(box);
        QCOMPARE(desk->boxText(*box).trimmed(), QStringLiteral("就你一个人怎么群聊啊，去拉点人来吧！...*_*"));
        desk->key(QStringLiteral("Return"));
        Member carl(loopback(62), "carl");
        QVERIFY(carl.join(ann.hostEndpoint()));
        QVERIFY(carl.waitForRoster([](const Roster& r) { return r.count == 2; }) || carl.roster().count == 2);
        QVERIFY(pickMember(*desk, *main, 2, carl.indexOf("carl"), true));
        desk->click(centreOf(*main, MainLayout::Voice));
        box = ann.waitForBox();
        QVERIFY(box);
        QVERIFY(desk->boxText(*box).startsWith(QStringLiteral("无法开始语聊")));
        keep(*desk, QStringLiteral("no-microphone"));
        desk->key(QStringLiteral("Return"));
        const auto sinceJoined = carl.ping();
        QVERIFY(sinceJoined);
        QVERIFY2(std::none_of(sinceJoined->begin(), sinceJoined->end(), FakePeer::command(cmd::VoiceGroup)), "nothing is sent as voice");

        // The browser without a nickname.
        auto browser = ann.browser(1000);
        if (!browser) {
            desk->click(centreOf(*main, MainLayout::Server));
            browser = ann.browser();
        }
        QVERIFY(browser);
        desk->doubleClick(centreOf(*browser, BrowserLayout::List));
        box = ann.waitForBox();
        QVERIFY(box);
        QCOMPARE(desk->boxText(*box).trimmed(), QStringLiteral("你忘了你的酷名了！*_*"));
        desk->key(QStringLiteral("Return"));
        QVERIFY(ann.stop());
    }

    // What a player sets is there when lumo starts again with no arguments: the name, the host
    // address, the skin, "增溢", hudlet switched on, and where the main window, the group browser
    // and the overlay were put.
    void settingsAreThereTheNextTime()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        test::DirectoryServer directory(scratch_.filePath(QStringLiteral("remember.db")));
        QVERIFY(directory.running());
        RunDirectory& run = runDirectory(directory.url());
        QVERIFY(run.ok());
        QTemporaryDir home;

        Player& first = playerAgain(*desk, run, loopback(70), home.path());
        auto main = first.mainWindow();
        QVERIFY2(main, qPrintable(first.state()));
        QVERIFY(templateWindow(*desk, BrowserLayout::Size, BrowserLayout::Font));
        const QPoint surface = main->rect(100, 172, 5, 5).center();
        const QRgb defaultSkin = desk->screenshot().pixel(surface);
        // The group browser opened last and has the keyboard; the player turns to the main window.
        auto mainX = templateWindow(*desk, MainLayout::Size, MainLayout::Font);
        QVERIFY(mainX);
        desk->focus(*mainX);
        desk->click(surface);
        desk->key(QStringLiteral("alt+s"));
        desk->key(QStringLiteral("Down Down Down Return"));
        QVERIFY2(waitUntil([&] { return desk->screenshot().pixel(surface) != defaultSkin; }), "another skin repaints the window");
        const QRgb chosenSkin = desk->screenshot().pixel(surface);
        desk->click(centreOf(*main, MainLayout::Name));
        desk->key(QStringLiteral("ctrl+a"));
        QVERIFY(desk->type(QStringLiteral("remembered")));
        desk->click(centreOf(*main, MainLayout::HostAddress));
        desk->key(QStringLiteral("ctrl+a"));
        QVERIFY(desk->type(QStringLiteral("10.1.2.3")));
        const QRect gain = main->rect(287, 26, 8, 8);
        const QImage gainOff = desk->screenshot().copy(gain);
        desk->click(gain.center());
        QVERIFY2(waitUntil([&] { return desk->screenshot().copy(gain) != gainOff; }), "增溢 shows ticked");
        const QImage gainOn = desk->screenshot().copy(gain);

        // The player drags the windows elsewhere (the window system moves them).
        auto browserX = templateWindow(*desk, BrowserLayout::Size, BrowserLayout::Font);
        QVERIFY(browserX);
        const QPoint mainPlace(431, 297), browserPlace(23, 511);
        desk->xdotool({"windowmove", "--sync", mainX->id, QString::number(mainPlace.x()), QString::number(mainPlace.y())});
        desk->xdotool({"windowmove", "--sync", browserX->id, QString::number(browserPlace.x()), QString::number(browserPlace.y())});
        QVERIFY(waitUntil([&] {
            const auto moved = templateWindow(*desk, MainLayout::Size, MainLayout::Font);
            return moved && moved->frame.topLeft() == mainPlace;
        }));
        // hudlet switched on, and its overlay put elsewhere.
        desk->focus(*mainX);
        switchHudletOn(*desk, *main);
        desk->key(QStringLiteral("Home"));
        auto overlay = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); });
        QVERIFY2(overlay, "Home shows the overlay");
        const QPoint overlayPlace(977, 41);
        desk->xdotool({"windowmove", "--sync", overlay->id, QString::number(overlayPlace.x()), QString::number(overlayPlace.y())});
        QVERIFY(waitUntil([&] {
            overlay = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); });
            return overlay && overlay->frame.topLeft() == overlayPlace;
        }));
        keep(*desk, QStringLiteral("remembered-first-run"));
        desk->key(QStringLiteral("Home"));
        QVERIFY(desk->waitWhileWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); }));

        // Closed as a player closes it.
        mainX = templateWindow(*desk, MainLayout::Size, MainLayout::Font);
        QVERIFY(mainX);
        desk->focus(*mainX);
        desk->key(QStringLiteral("Escape"));
        QVERIFY2(first.waitForExit(), "Escape ends lumo");
        QCOMPARE(first.process().exitCode(), 0);

        // Started again with no arguments (but the harness's --bind).
        Player& second = playerAgain(*desk, run, loopback(70), home.path());
        main = second.mainWindow();
        QVERIFY2(main, qPrintable(second.state()));
        QVERIFY2(second.noBoxOpen(1500), "no message about the settings");
        mainX = templateWindow(*desk, MainLayout::Size, MainLayout::Font);
        QVERIFY(mainX);
        QCOMPARE(mainX->frame.topLeft(), mainPlace);
        QVERIFY(waitUntil([&] {
            browserX = templateWindow(*desk, BrowserLayout::Size, BrowserLayout::Font);
            return browserX && browserX->frame.topLeft() == browserPlace;
        }));
        keep(*desk, QStringLiteral("remembered-second-run"));
        const QPoint newSurface = main->rect(100, 172, 5, 5).center();
        QVERIFY2(waitUntil([&] { return desk->screenshot().pixel(newSurface) == chosenSkin; }), "the chosen skin is back");
        QCOMPARE(desk->screenshot().copy(main->rect(287, 26, 8, 8)), gainOn);
        QCOMPARE(fieldText(*desk, *main, MainLayout::Name), QStringLiteral("remembered"));
        QCOMPARE(fieldText(*desk, *main, MainLayout::HostAddress), QStringLiteral("10.1.2.3"));
        // hudlet is on again: Home shows the overlay where the player left it.
        desk->key(QStringLiteral("Home"));
        overlay = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("gamein"); });
        QVERIFY2(overlay, "hudlet is on again");
        QCOMPARE(overlay->frame.topLeft(), overlayPlace);
        desk->key(QStringLiteral("Home"));
        QVERIFY(second.stop());

        // The command line wins over what was remembered.
        Player& third = playerAgain(*desk, run, loopback(70), home.path(), {QStringLiteral("--name"), QStringLiteral("given")});
        main = third.mainWindow();
        QVERIFY2(main, qPrintable(third.state()));
        QCOMPARE(fieldText(*desk, *main, MainLayout::Name), QStringLiteral("given"));
        QCOMPARE(fieldText(*desk, *main, MainLayout::HostAddress), QStringLiteral("10.1.2.3"));
        QVERIFY(third.stop());
    }

    // A settings file with values no program of ours wrote (a list for the name, a window far
    // off any screen): lumo starts with defaults, says so once, and the next start is quiet.
    void damagedSettingsGiveDefaultsAndOneMessage()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        test::DirectoryServer directory(scratch_.filePath(QStringLiteral("damaged.db")));
        QVERIFY(directory.running());
        RunDirectory& run = runDirectory(directory.url());
        QTemporaryDir home;
        const QString file = home.filePath(QStringLiteral("config/lumo/LUMO.conf"));
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        {
            QFile settings(file);
            QVERIFY(settings.open(QIODevice::WriteOnly));
            settings.write("[player]\nname=a, b, c\nhostAddress=10.0.0.300\n[windows]\nmain=\"99999999,-99999999\"\n"
                           "browser=\"-4000,-4000\"\n[sound]\nvolume=3\n");
        }

        Player& first = playerAgain(*desk, run, loopback(71), home.path());
        auto box = first.waitForBox(20000);
        QVERIFY2(box, qPrintable(first.state()));
        const QString message = desk->boxText(*box);
        QVERIFY2(message.contains(QStringLiteral("已损坏")) && message.contains(file), qPrintable(message));
        keep(*desk, QStringLiteral("damaged-settings"));
        desk->key(QStringLiteral("Return"));
        auto main = first.mainWindow();
        QVERIFY2(main, qPrintable(first.state()));
        const auto mainX = templateWindow(*desk, MainLayout::Size, MainLayout::Font);
        const auto browserX = templateWindow(*desk, BrowserLayout::Size, BrowserLayout::Font);
        QVERIFY(mainX && browserX);
        const QRect screen(0, 0, 1280, 800);
        QVERIFY2(screen.contains(mainX->frame), "the main window is on the screen");
        QVERIFY2(screen.intersects(browserX->frame), "the browser is on the screen");
        QCOMPARE(fieldText(*desk, *main, MainLayout::Name), QString());
        QCOMPARE(fieldText(*desk, *main, MainLayout::HostAddress), QString());
        QVERIFY(first.stop());

        Player& second = playerAgain(*desk, run, loopback(71), home.path());
        QVERIFY2(second.mainWindow(), qPrintable(second.state()));
        QVERIFY2(second.noBoxOpen(2000), "the message came once");
        QVERIFY(second.stop());
        QSettings left(file, QSettings::IniFormat);
        QCOMPARE(left.value(QStringLiteral("sound/volume")).toInt(), 3);
    }

    // Texts from a member, a long one among them that the sender split into datagrams, are read
    // back in the history window opened with Ctrl+H: each text one line, in order, the long one
    // whole; its box showed it whole too. Texts beyond the boxes are counted in the status line.
    void historyHoldsEveryTextOpenedByKeyboard()
    {
        auto desk = desktop();
        QVERIFY(desk->running());
        Player& ann = player(*desk, "http://127.0.0.1:9", loopback(51));
        auto main = ann.mainWindow();
        QVERIFY2(main, qPrintable(ann.state()));
        if (auto box = ann.waitForBox()) desk->keyTo(*box, QStringLiteral("Return"));  // the unreachable directory
        QVERIFY(ann.noBoxOpen());
        connectByHand(*desk, ann, QStringLiteral("ann"), ann.address());
        Member bob(loopback(52), "bob");
        QVERIFY(bob.bound());
        QVERIFY(bob.join(ann.hostEndpoint()));
        QVERIFY(bob.waitForRoster([](const Roster& r) { return r.count == 2; }) || bob.roster().count == 2);
        const int annIndex = bob.indexOf("ann");
        QVERIFY(annIndex >= 0);

        QString longText;
        for (int i = 0; i < 75; ++i) longText += QStringLiteral("长话短说");  // 600 bytes: three datagrams
        const QStringList texts{longText, QStringLiteral("second"), QStringLiteral("third")};
        auto say = [&](const QString& text) {
            const std::string gbk = utf8ToGbk(text.toStdString());
            std::string_view rest = gbk;
            do {
                const std::size_t length = gbkPrefixLength(rest, MaxChatTextBytes);
                bob.socket().send(makeChatText(idByte(annIndex), idByte(bob.id()), rest.substr(0, length)), ann.memberEndpoint());
                rest.remove_prefix(length);
            } while (!rest.empty());
        };
        for (const QString& text : texts) say(text);

        // A box for each text; the long text's shows it whole. Each box is read, then closed.
        auto openBoxes = [&] {
            std::vector<XWindow> boxes;
            for (const XWindow& w : desk->windowsNamed(QStringLiteral("LUMO")))
                if (!TemplateWindow(w, MainLayout::Font, MainLayout::Size).matches() &&
                    !TemplateWindow(w, BrowserLayout::Font, BrowserLayout::Size).matches())
                    boxes.push_back(w);
            return boxes;
        };
        auto readAndCloseBoxes = [&](int count, bool readThem) {
            QStringList read;
            for (int open = count; open > 0; --open) {
                const std::vector<XWindow> boxes = openBoxes();
                if (boxes.empty()) break;
                read << (readThem ? desk->boxText(boxes.back()).remove(QLatin1Char('\n')).trimmed() : QString());
                desk->clickInto(boxes.back());
                desk->key(QStringLiteral("Return"));
                if (!waitUntil([&] { return int(openBoxes().size()) == open - 1; }, 3000)) break;
            }
            return read;
        };
        QVERIFY2(waitUntil([&] { return openBoxes().size() == 3; }, 8000), "a box for each text");
        QStringList read = readAndCloseBoxes(3, true);
        QCOMPARE(read.size(), 3);
        for (const QString& text : texts)
            QVERIFY2(read.contains(QStringLiteral("bob说：") + text), qPrintable(QStringLiteral("no box reads ") + text.left(20)));
        QVERIFY(ann.noBoxOpen());

        // Ten more while the player is away from the keyboard: eight boxes (the status line counts
        // the other two unread: kept as a screen), closed one by one.
        for (int i = 0; i < 10; ++i) say(QStringLiteral("more%1").arg(i));
        QVERIFY2(waitUntil([&] { return openBoxes().size() == 8; }, 8000), "eight boxes open");
        QVERIFY2(bob.ping(), "lumo has all ten texts");
        QCOMPARE(int(openBoxes().size()), 8);
        keep(*desk, QStringLiteral("history-unread"));
        QCOMPARE(readAndCloseBoxes(8, false).size(), 8);
        QVERIFY(ann.noBoxOpen());

        // Ctrl+H on the main window opens the history; select all, copy.
        desk->click(main->rect(150, 172, 10, 5).topLeft());
        desk->key(QStringLiteral("ctrl+h"));
        auto history = desk->waitForWindow([](const XWindow& w) { return w.name == QStringLiteral("聊天记录"); }, 5000);
        QVERIFY2(history, "Ctrl+H opens the history window");
        const QString copied = desk->copied([&] { desk->keyTo(*history, QStringLiteral("ctrl+a ctrl+c")); });
        keep(*desk, QStringLiteral("history-window"));
        const QStringList lines = copied.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QStringList expected = texts;
        for (int i = 0; i < 10; ++i) expected << QStringLiteral("more%1").arg(i);
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d ")).match(lines[i]).hasMatch(), qPrintable(lines[i]));
            QCOMPARE(lines[i].section(QLatin1Char(' '), 1), QStringLiteral("bob说：") + expected[i]);
        }
        // Escape closes it; the program goes on.
        desk->key(QStringLiteral("Escape"));
        QVERIFY2(desk->waitWhileWindow([](const XWindow& w) { return w.name == QStringLiteral("聊天记录"); }), "Escape closes the history");
        QVERIFY2(ann.process().state() == QProcess::Running, "the history's Escape does not end lumo");
        QVERIFY(ann.stop());
    }
};

QTEST_MAIN(PlayerTest)
#include "player_test.moc"
