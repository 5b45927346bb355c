// lumo-directory as a player's client meets it: started on a free loopback port, driven over
// HTTP by the program's own directory client and group browser, restarted on the same store.
#include "directory/curl_http_client.h"
#include "directory/directory_client.h"
#include "directory/group_browser_dialog.h"
#include "widgets/directory_test_support.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>

#include "directory_server.h"
#include "recording_relay.h"
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace lumo;
using namespace lumo::test;

#ifndef LUMO_DIRECTORY_BINARY
#define LUMO_DIRECTORY_BINARY ""  // not built: every test skips
#endif

namespace {

constexpr Ipv4 Loopback = 0x7F000001;
const std::string Online = "\xD4\xDA\xCF\xDF";  // "在线" in GBK

std::string fetch(const std::string& url)
{
    CurlHttpClient http;
    const auto reply = http.get(url, InteractiveLimits);
    return reply.opened ? reply.body : std::string("<not opened>");
}

struct Run {
    int exitCode = -1;
    QString output;
};
Run runDirectory(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(LUMO_DIRECTORY_BINARY), arguments);
    process.waitForFinished(5000);
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())};
}

int portOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

// A raw TCP connection from the given loopback address, for clients that misbehave.
int rawConnect(const char* source, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes or `ms` pass.
std::string readUntilClosed(int fd, int ms = 3000)
{
    std::string text;
    QElapsedTimer timer;
    timer.start();
    char buffer[4096];
    while (timer.elapsed() < ms) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::string talk(int port, const std::string& bytes)
{
    const int fd = rawConnect("127.0.0.1", port);
    if (fd < 0) return "<no connection>";
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    const std::string reply = readUntilClosed(fd);
    ::close(fd);
    return reply;
}

}  // namespace

class DirectoryServerTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        if (QString(LUMO_DIRECTORY_BINARY).isEmpty()) QSKIP("lumo-directory is not built");
        QVERIFY(store_.isValid());
    }

    void registersListsAndRemovesWithNamesUnchanged()
    {
        DirectoryServer server(store_.filePath("groups.db"));
        QVERIFY(server.running());
        QCOMPARE(fetch(server.url() + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));

        CurlHttpClient http;
        DirectoryClient client(http);
        // GBK bytes including a trail byte of 0x5C and characters that mean something in a URL.
        const std::string name = "\xD5\x5C\xB6\xD3+&%=";
        QCOMPARE(client.addGroup(server.url(), name, Loopback), DirectoryClient::AddStatus::Registered);
        QCOMPARE(fetch(server.url() + "/lumo.asp"),
                 "myserverlist\r\n127.0.0.1 \r\n1 " + name + " 127.0.0.1 3555 " + Online + " \r\n");

        const auto listed = client.fetchList(server.url());
        QCOMPARE(listed.status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(listed.reply.rows.size(), std::size_t(1));
        QCOMPARE(listed.reply.rows[0], (GroupRow{{"1", name, "127.0.0.1", "3555", Online}}));

        // Registering again from the same address replaces the name instead of adding a group.
        QCOMPARE(client.addGroup(server.url(), "second", Loopback), DirectoryClient::AddStatus::Registered);
        QCOMPARE(client.fetchList(server.url()).reply.rows.size(), std::size_t(1));
        QCOMPARE(client.fetchList(server.url()).reply.rows[0].columns[NameColumn], std::string("second"));

        client.removeRegistration();
        QCOMPARE(client.fetchList(server.url()).reply.rows.size(), std::size_t(0));
        QVERIFY(server.stop());
    }

    void storeSurvivesARestart()
    {
        const QString database = store_.filePath("restart.db");
        CurlHttpClient http;
        {
            DirectoryServer server(database, {"--any-ip"});
            QVERIFY(server.running());
            DirectoryClient client(http);
            QCOMPARE(client.addGroup(server.url(), "kept", 0xC0000201), DirectoryClient::AddStatus::Registered);
            QVERIFY(server.stop());
        }
        DirectoryServer again(database, {"--any-ip"});
        QVERIFY(again.running());
        DirectoryClient client(http);
        QCOMPARE(client.addGroup(again.url(), "new", 0xC0000202), DirectoryClient::AddStatus::Registered);
        const auto rows = client.fetchList(again.url()).reply.rows;
        QCOMPARE(rows.size(), std::size_t(2));
        // Newest first.
        QCOMPARE(rows[0].columns[IdColumn], std::string("2"));
        QCOMPARE(rows[1], (GroupRow{{"1", "kept", "192.0.2.1", "3555", Online}}));
    }

    void badRequestsGetAClearErrorAndChangeNothing()
    {
        DirectoryServer server(store_.filePath("bad.db"));
        QVERIFY(server.running());
        const std::string base = server.url();
        const auto errorLine = [](const std::string& body) { return body.substr(0, body.find('\r')); };

        QCOMPARE(errorLine(fetch(base + "/lumoadd.asp?name=g&port=3555")), std::string("error: missing parameter ip"));
        QCOMPARE(errorLine(fetch(base + "/lumoadd.asp?ip=127.0.0.1&port=3555")), std::string("error: missing parameter name"));
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=127.0.0.01&port=3555").rfind("error: ip", 0) == 0);
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=127.0.0.1&port=0").rfind("error: port", 0) == 0);
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=127.0.0.1&port=65536").rfind("error: port", 0) == 0);
        // Names LUMO's browser would neither send nor show: empty (listed as a group without a
        // name), longer than its 20 bytes, not GBK text (shown as replacement characters), or
        // holding a space or line break (which would split the served line and forge fields).
        const std::vector<std::pair<std::string, std::string>> names{
            {"", "error: name is empty"},
            {std::string(21, 'n'), "error: name is longer than 20 bytes"},
            {"%C8%BA%C8", "error: name is not GBK text"},
            {"%FFabc", "error: name is not GBK text"},
            {"a%20b", "error: name holds a space or a control character"},
            {"a%0D%0A9", "error: name holds a space or a control character"},
        };
        for (const auto& [name, error] : names)
            QCOMPARE(errorLine(fetch(base + "/lumoadd.asp?name=" + name + "&ip=127.0.0.1&port=3555")), error);
        QCOMPARE(fetch(base + "/lumoadd.asp?name=" + std::string(20, 'n') + "&ip=127.0.0.1&port=3555"), std::string("ok"));
        QCOMPARE(fetch(base + "/lumomove.asp?name=id&ip=127.0.0.1&port=3555"), std::string("ok"));
        // Nobody registers or removes an address other than the one they connect from.
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=192.0.2.1&port=3555").rfind("error: ip is not the address", 0) == 0);
        QVERIFY(fetch(base + "/lumomove.asp?name=id&ip=127.0.0.1&port=3555").rfind("error: no group", 0) == 0);
        QVERIFY(fetch(base + "/other.asp").rfind("error: no such page", 0) == 0);

        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.addGroup(base, "a b", Loopback), DirectoryClient::AddStatus::Refused);
        QCOMPARE(client.addGroup(base, "", Loopback), DirectoryClient::AddStatus::Refused);
        QCOMPARE(client.addGroup(base, "g", 0xC0000201), DirectoryClient::AddStatus::Refused);
        QCOMPARE(fetch(base + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));
    }

    void prefixAndCapacity()
    {
        DirectoryServer server(store_.filePath("prefix.db"), {"--prefix", "/lumo/", "--max-groups", "1", "--any-ip"});
        QVERIFY(server.running());
        const std::string base = server.url();  // already carries the prefix
        QVERIFY(base.ends_with("/lumo"));
        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.fetchList(base).status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(client.fetchList(base.substr(0, base.size() - 5)).status, DirectoryClient::ListStatus::NotAList);
        QCOMPARE(client.addGroup(base, "one", 0xC0000201), DirectoryClient::AddStatus::Registered);
        QCOMPARE(client.addGroup(base, "two", 0xC0000202), DirectoryClient::AddStatus::Refused);  // full
        QCOMPARE(client.addGroup(base, "one-renamed", 0xC0000201), DirectoryClient::AddStatus::Registered);
    }

    // What a well-behaved HTTP client sees, and what a malformed request gets: a clear status
    // and a closed connection.
    void httpRequestsAndRefusals()
    {
        DirectoryServer server(store_.filePath("http.db"));
        QVERIFY(server.running());
        const int port = portOf(server.url());
        const auto status = [](const std::string& reply) { return reply.substr(0, std::min<std::size_t>(12, reply.size())); };

        // Two requests in one write on a kept-alive connection: two replies, in order.
        const std::string both = talk(port, "GET /lumo.asp HTTP/1.1\r\nHost: x\r\n\r\n"
                                                "GET /health HTTP/1.1\r\nConnection: close\r\n\r\n");
        QVERIFY2(both.rfind("HTTP/1.1 200 OK\r\n", 0) == 0, both.c_str());
        const auto second = both.find("\r\n\r\nmyserverlist\r\n127.0.0.1 \r\nHTTP/1.1 200 OK\r\n");
        QVERIFY(second != std::string::npos);
        QVERIFY(both.find("Connection: close\r\n", second) != std::string::npos);
        QVERIFY(both.ends_with("\r\n\r\nok\r\n"));
        // HEAD: the length of the list, no body.
        const std::string head = talk(port, "HEAD /lumo.asp HTTP/1.0\r\n\r\n");
        QVERIFY(head.find("Content-Length: 26\r\n") != std::string::npos);
        QVERIFY(head.ends_with("\r\n\r\n"));

        // Refusals name their reason and close the connection.
        const std::vector<std::pair<std::string, std::string>> refusals{
            {"POST /lumoadd.asp HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 413"},
            {"GET /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413"},
            {"DELETE /lumo.asp HTTP/1.1\r\n\r\n", "HTTP/1.1 405"},
            {"GET /lumo.asp HTTP/2.0\r\n\r\n", "HTTP/1.1 505"},
            {"GET /lumo.asp HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
            {"GET /lumo.asp?" + std::string(2000, 'q') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414"},
        };
        for (const auto& [request, expected] : refusals) {
            const std::string reply = talk(port, request);
            QCOMPARE(status(reply), expected);
            QVERIFY2(reply.find("Connection: close\r\n") != std::string::npos, reply.c_str());
        }
        // A request line that is no HTTP is never served.
        QVERIFY(talk(port, "GARBAGE\r\n\r\n").find("200 OK") == std::string::npos);
        QVERIFY(fetch(server.url() + "/lumo.asp?" + std::string(2000, 'q')).rfind("error: request too long", 0) == 0);
        // A '+' in the query stands for a space, which no name may hold.
        QVERIFY(fetch(server.url() + "/lumoadd.asp?name=a+b&ip=127.0.0.1&port=3555").rfind("error: name", 0) == 0);
        QCOMPARE(fetch(server.url() + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));

        // The list comes gzip-compressed to a caller that takes it, with its ETag; a caller that
        // has the current list is answered 304 without it.
        const std::string gzipped = talk(port, "GET /lumo.asp HTTP/1.1\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n");
        QVERIFY2(gzipped.find("\r\nContent-Encoding: gzip\r\n") != std::string::npos, gzipped.c_str());
        QVERIFY(gzipped.find("\r\n\r\n\x1f\x8b") != std::string::npos);
        const auto tagAt = gzipped.find("\r\nETag: ") + 8;
        const std::string tag = gzipped.substr(tagAt, gzipped.find("\r\n", tagAt) - tagAt);
        QVERIFY(tag.rfind("W/\"", 0) == 0);
        QCOMPARE(status(talk(port, "GET /lumo.asp HTTP/1.1\r\nIf-None-Match: " + tag + "\r\nConnection: close\r\n\r\n")),
                 std::string("HTTP/1.1 304"));
        QCOMPARE(fetch(server.url() + "/lumoadd.asp?name=g&ip=127.0.0.1&port=3555"), std::string("ok"));
        QCOMPARE(status(talk(port, "GET /lumo.asp HTTP/1.1\r\nIf-None-Match: " + tag + "\r\nConnection: close\r\n\r\n")),
                 std::string("HTTP/1.1 200"));
    }

    // Slow and idle clients cost only their own connections: a client dribbling one byte at a
    // time and hundreds of idle connections from one address leave honest clients served, the
    // dribbler is cut off at the request deadline, and an address past its connection limit is
    // told so at once.
    void slowAndIdleClientsCostOnlyTheirOwnConnections()
    {
        DirectoryServer server(store_.filePath("slow.db"),
                               {"--request-timeout", "1", "--max-connections-per-address", "8", "--rate", "0"});
        QVERIFY(server.running());
        const int port = portOf(server.url());

        std::vector<int> slow;
        for (int i = 0; i < 8; ++i) slow.push_back(rawConnect("127.0.0.1", port));
        std::vector<int> idle;
        for (int i = 0; i < 500; ++i) idle.push_back(rawConnect("127.0.0.3", port));
        std::atomic<bool> dribbling = true;
        std::thread dribbler([&] {
            const std::string request = "GET /lumo.asp HTTP/1.1\r\nHost: slow\r\n\r\n";
            for (std::size_t at = 0; dribbling && at < request.size(); ++at) {
                for (int fd : slow) ::send(fd, &request[at], 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });

        // An honest client on another address is served all the while.
        CurlHttpClient honest("127.0.0.2");
        DirectoryClient client(honest);
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(client.fetchList(server.url()).status, DirectoryClient::ListStatus::Listed);
            QTest::qWait(20);
        }
        // The ninth connection from the dribbling address is refused, and told why.
        const int ninth = rawConnect("127.0.0.1", port);
        const std::string request = "GET /lumo.asp HTTP/1.1\r\n\r\n";
        ::send(ninth, request.data(), request.size(), MSG_NOSIGNAL);
        const std::string refused = readUntilClosed(ninth);
        QVERIFY2(refused.rfind("HTTP/1.1 503", 0) == 0, refused.c_str());
        QVERIFY(refused.ends_with("\r\n\r\nerror: too many connections from your address\r\n"));
        ::close(ninth);

        // The dribblers and the idle connections are closed by the deadline, without a reply.
        for (int fd : slow) QCOMPARE(readUntilClosed(fd, 4000), std::string());
        int closedIdle = 0;
        for (int fd : idle) {
            const std::string reply = readUntilClosed(fd, 100);
            closedIdle += reply.empty() || reply.find("503") != std::string::npos ? 1 : 0;
        }
        QCOMPARE(closedIdle, 500);
        dribbling = false;
        dribbler.join();
        for (int fd : slow) ::close(fd);
        for (int fd : idle) ::close(fd);
        // Their places are free again.
        QCOMPARE(talk(port, "GET /health HTTP/1.0\r\n\r\n").substr(0, 15), std::string("HTTP/1.1 200 OK"));
    }

    // At the directory's connection limit an honest caller gets a 503 that says so (not that its
    // own address has too many), never a reset; once connections close it is served again.
    void busyDirectoryTellsAnHonestCallerWhy()
    {
        DirectoryServer server(store_.filePath("busy.db"), {"--max-connections", "4", "--rate", "0"});
        QVERIFY(server.running());
        const int port = portOf(server.url());
        std::vector<int> held;
        for (int i = 0; i < 4; ++i) held.push_back(rawConnect("127.0.0.3", port));
        CurlHttpClient honest("127.0.0.2");
        const HttpReply reply = honest.get(server.url() + "/lumo.asp", InteractiveLimits);
        QVERIFY(reply.opened);
        QCOMPARE(reply.body, std::string("error: the directory has too many connections; try again shortly\r\n"));
        for (int fd : held) ::close(fd);
        QTRY_COMPARE(honest.get(server.url() + "/health", InteractiveLimits).body, std::string("ok\r\n"));
    }

    // However many addresses of one /24 register, that network holds at most its share (64 by
    // default), so it cannot fill the directory: a host elsewhere still gets in.
    void oneNetworkCannotFillTheDirectory()
    {
        DirectoryServer server(store_.filePath("network.db"), {"--max-groups", "100"});
        QVERIFY(server.running());
        int registered = 0;
        std::string lastRefusal;
        for (int host = 2; host < 19; ++host) {
            const std::string address = "127.0.0." + std::to_string(host);
            CurlHttpClient http(address);
            for (int port = 3555; port < 3559; ++port) {
                const std::string answer =
                    http.get(server.url() + "/lumoadd.asp?name=g&ip=" + address + "&port=" + std::to_string(port),
                             InteractiveLimits)
                        .body;
                if (answer == "ok") ++registered;
                else lastRefusal = answer;
            }
        }
        QCOMPARE(registered, 64);
        QCOMPARE(lastRefusal, std::string("error: your network (127.0.0.0/24) already has 64 groups registered\r\n"));
        CurlHttpClient elsewhere("127.0.1.5");
        DirectoryClient host(elsewhere);
        QCOMPARE(host.addGroup(server.url(), "honest", 0x7F000105), DirectoryClient::AddStatus::Registered);
        QCOMPARE(host.fetchList(server.url()).reply.rows.size(), std::size_t(65));
    }

    // The group browser with the program's own HTTP client, against the real server, through a
    // relay that records the wire: it asks for compression, gets the list gzip-compressed and
    // lists its groups; refreshed, it sends the list's ETag, gets 304 and still lists them.
    void browserListsGroupsFromACompressedReply()
    {
        DirectoryServer server(store_.filePath("gzip.db"), {"--any-ip"});
        QVERIFY(server.running());
        CurlHttpClient http;
        DirectoryClient registrar(http);
        for (int i = 1; i <= 3; ++i) {
            QCOMPARE(http.get(server.url() + "/lumoadd.asp?name=%C8%BA" + std::to_string(i) + "&ip=192.0.2." +
                                  std::to_string(i) + "&port=3555",
                              InteractiveLimits)
                         .body,
                     std::string("ok"));
        }
        RecordingRelay relay(portOf(server.url()));
        RecordingBoxes boxes;
        RunDirectory run(QStringLiteral("[urllist]\n本机目录=%1\n").arg(QString::fromStdString(relay.url())));
        FakeOwner owner;
        CurlHttpClient browserHttp;
        GroupBrowserDialog browser(owner, &browserHttp);
        browser.show();
        auto* list = browser.findChild<QTreeWidget*>("groupList");
        for (int refresh = 0; refresh < 2; ++refresh) {
            browser.refreshGroups();
            QTRY_VERIFY(!browser.requestRunning());
            QVERIFY(boxes.texts.isEmpty());
            QStringList shown;
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                shown << list->topLevelItem(i)->text(1) + ' ' + list->topLevelItem(i)->text(2);
            shown.sort();
            QCOMPARE(shown, (QStringList{QStringLiteral("群1 192.0.2.1"), QStringLiteral("群2 192.0.2.2"),
                                         QStringLiteral("群3 192.0.2.3")}));
        }
        const auto exchanges = relay.exchanges();
        QVERIFY(exchanges.size() >= 2);
        const auto& first = exchanges.front();
        const auto& second = exchanges.back();
        QVERIFY2(first.request.find("\r\nAccept-Encoding: ") != std::string::npos, first.request.c_str());
        QVERIFY(first.request.find("gzip") != std::string::npos);
        QVERIFY2(first.reply.find("\r\nContent-Encoding: gzip\r\n") != std::string::npos, first.reply.c_str());
        QVERIFY(first.reply.find("\xC8\xBA") == std::string::npos);  // no group name in the clear
        QVERIFY2(second.request.find("\r\nIf-None-Match: W/\"") != std::string::npos, second.request.c_str());
        QVERIFY2(second.reply.rfind("HTTP/1.1 304", 0) == 0, second.reply.c_str());
    }

    // Listening on "::" takes IPv6 and IPv4 callers; each sees the address it came from.
    void listensOnIpv6AndIpv4()
    {
        QProcess process;
        process.start(QStringLiteral(LUMO_DIRECTORY_BINARY),
                      {"--listen", "::", "--port", "0", "--db", store_.filePath("v6.db")});
        QVERIFY(process.waitForStarted(5000));
        QByteArray output;
        QElapsedTimer timer;
        timer.start();
        while (!output.contains('\n') && timer.elapsed() < 5000 && process.state() == QProcess::Running) {
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
        }
        const auto match = QRegularExpression(QStringLiteral("^listening on http://\\[::\\]:(\\d+)")).match(output);
        if (!match.hasMatch()) {
            process.kill();
            process.waitForFinished();
            QSKIP(qPrintable("no IPv6 on this machine: " + QString::fromUtf8(output + process.readAllStandardError())));
        }
        const std::string port = match.captured(1).toStdString();
        QCOMPARE(fetch("http://[::1]:" + port + "/lumo.asp"), std::string("myserverlist\r\n::1 \r\n"));
        QCOMPARE(fetch("http://127.0.0.1:" + port + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));
        QCOMPARE(fetch("http://[::1]:" + port + "/health"), std::string("ok\r\n"));
        // An IPv6 caller cannot register an IPv4 address it does not come from.
        QVERIFY(fetch("http://[::1]:" + port + "/lumoadd.asp?name=g&ip=127.0.0.1&port=3555")
                    .rfind("error: ip is not the address", 0) == 0);
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
    }

    void commandLine()
    {
        const Run help = runDirectory({"--help"});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.output.contains("--prefix"));
        QCOMPARE(runDirectory({"--bogus"}).exitCode, 2);
        QCOMPARE(runDirectory({"--port", "70000"}).exitCode, 2);
        QCOMPARE(runDirectory({"--ttl", "0"}).exitCode, 2);
        QCOMPARE(runDirectory({"--max-per-address", "x"}).exitCode, 2);
        const Run badStore =
            runDirectory({"--port", "0", "--db", "postgresql://nobody:secret@/none?host=/nonexistent"});
        QCOMPARE(badStore.exitCode, 1);
        QVERIFY(badStore.output.contains("cannot open postgresql://nobody:***@/none"));
        QVERIFY(!badStore.output.contains("secret"));

        DirectoryServer server(store_.filePath("busy.db"));
        QVERIFY(server.running());
        const QString port = QString::fromStdString(server.url().substr(server.url().rfind(':') + 1));
        const Run busy = runDirectory({"--port", port, "--db", store_.filePath("busy2.db")});
        QCOMPARE(busy.exitCode, 1);
        QVERIFY(busy.output.contains("cannot listen"));
    }

    // The group browser against the real server: the directory sees 127.0.0.1, which is the
    // client's own address, so it may create a group; the group shows up and goes at closing.
    void browserCreatesAndRemovesAGroup()
    {
        DirectoryServer server(store_.filePath("browser.db"));
        QVERIFY(server.running());
        RecordingBoxes boxes;
        RunDirectory run(QStringLiteral("[urllist]\n本机目录=%1\n").arg(QString::fromStdString(server.url())));
        FakeOwner owner;
        GroupBrowserDialog browser(owner);
        browser.show();
        browser.refreshGroups();
        QTRY_VERIFY(!browser.requestRunning());
        QVERIFY(boxes.texts.isEmpty());
        auto* create = browser.findChild<QPushButton*>("createButton");
        QVERIFY(create->isEnabled());
        QCOMPARE(browser.findChild<QLabel*>("hintLabel")->text(), GroupBrowserDialog::HostHint);

        browser.findChild<QLineEdit*>("groupNameEdit")->setText(QStringLiteral("测试群"));
        QTest::mouseClick(create, Qt::LeftButton);
        QTRY_VERIFY(!browser.requestRunning());
        QVERIFY(boxes.texts.isEmpty());
        QVERIFY(browser.groupRegistered());
        auto* list = browser.findChild<QTreeWidget*>("groupList");
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("测试群"));
        QCOMPARE(list->topLevelItem(0)->text(4), QStringLiteral("在线"));

        browser.removeRegistration();
        QCOMPARE(fetch(server.url() + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));
    }

private:
    QTemporaryDir store_;
};

QTEST_MAIN(DirectoryServerTest)
#include "directory_server_test.moc"
