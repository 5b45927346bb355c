// The directory requests over real HTTP on loopback, against a tiny server that answers exact
// bytes, refuses, breaks off or never answers.
#include "directory/curl_http_client.h"
#include "directory/directory_client.h"

#include <QElapsedTimer>
#include <QtTest>

#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace lumo;

namespace {

std::string httpReply(const std::string& body, const std::string& status = "200 OK")
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Accepts connections on 127.0.0.1, reads each request head and sends what the responder
// returns; a responder returning nothing leaves the connection open and silent.
class ByteServer {
public:
    struct Request {
        std::string head;
        std::string peer;
    };
    using Responder = std::function<std::optional<std::string>(const std::string& head)>;

    explicit ByteServer(Responder responder) : responder_(std::move(responder))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            qFatal("cannot listen on loopback");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~ByteServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::string url(const std::string& path = {}) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<Request> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int countRequestsFor(const std::string& page) const
    {
        int count = 0;
        for (const auto& r : requests()) count += r.head.find("GET " + page) == 0 ? 1 : 0;
        return count;
    }

private:
    void run()
    {
        std::vector<int> held;
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
            if (fd < 0) continue;
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            const std::string head = readHead(fd);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back({head, text});
            }
            const auto reply = responder_(head);
            if (!reply) {
                held.push_back(fd);
                continue;
            }
            for (std::size_t sent = 0; sent < reply->size();) {
                const ssize_t n = ::send(fd, reply->data() + sent, reply->size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        }
        for (int fd : held) ::close(fd);
    }

    static std::string readHead(int fd)
    {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 2000) <= 0) break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        return head;
    }

    Responder responder_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::thread thread_;
};

// A loopback port nobody listens on.
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

constexpr Ipv4 Loopback = 0x7F000001;

std::string gzipped(const std::string& text)
{
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string headerValue(const std::string& head, const std::string& name)
{
    const auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const auto start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace

class DirectoryHttpTest : public QObject {
    Q_OBJECT

private slots:
    void listIsFetchedAndParsed()
    {
        ByteServer server([](const std::string&) {
            return httpReply("myserverlist\r\n127.0.0.1 \r\n1 \xC8\xBA 192.0.2.1 3555 ok \r\n2 b 192.0.2.2 3555 ok \r\n");
        });
        CurlHttpClient http;
        DirectoryClient client(http);
        const auto result = client.fetchList(server.url("/dir"));
        QCOMPARE(result.status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(result.reply.seenAddress, std::string("127.0.0.1"));
        QCOMPARE(result.reply.rows.size(), std::size_t(2));
        QCOMPARE(result.reply.rows[0].columns[NameColumn], std::string("\xC8\xBA"));
        const auto requests = server.requests();
        QCOMPARE(requests.size(), std::size_t(1));
        QVERIFY(requests[0].head.rfind("GET /dir/lumo.asp HTTP/1.1\r\n", 0) == 0);
        QVERIFY(requests[0].head.find("User-Agent: LUMO\r\n") != std::string::npos);
    }

    // The list is asked for compressed and read decoded; a list with an ETag is asked for again
    // with it, and a 304 answer stands for the list kept. The body limit counts decoded bytes.
    void compressedAndUnchangedListsAreRead()
    {
        const std::string first = "myserverlist\r\n127.0.0.1 \r\n1 \xC8\xBA 192.0.2.1 3555 ok \r\n";
        const std::string second = first + "2 b 192.0.2.2 3555 ok \r\n";
        std::atomic<int> version = 1;
        ByteServer server([&](const std::string& head) -> std::optional<std::string> {
            if (headerValue(head, "Accept-Encoding").find("gzip") == std::string::npos) return httpReply("not asked");
            const std::string tag = "W/\"v" + std::to_string(version.load()) + "\"";
            if (headerValue(head, "If-None-Match") == tag)
                return "HTTP/1.1 304 Not Modified\r\nETag: " + tag + "\r\nConnection: close\r\n\r\n";
            const std::string body = gzipped(version == 1 ? first : second);
            return "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nETag: " + tag + "\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        });
        CurlHttpClient http;
        DirectoryClient client(http);
        for (int round = 0; round < 2; ++round) {
            const auto listed = client.fetchList(server.url());
            QCOMPARE(listed.status, DirectoryClient::ListStatus::Listed);
            QCOMPARE(listed.reply.rows.size(), std::size_t(1));
            QCOMPARE(listed.reply.rows[0].columns[NameColumn], std::string("\xC8\xBA"));
        }
        auto requests = server.requests();
        QCOMPARE(headerValue(requests[0].head, "If-None-Match"), std::string());
        QCOMPARE(headerValue(requests[1].head, "If-None-Match"), std::string("W/\"v1\""));
        version = 2;
        QCOMPARE(client.fetchList(server.url()).reply.rows.size(), std::size_t(2));
        QCOMPARE(client.fetchList(server.url()).reply.rows.size(), std::size_t(2));
        requests = server.requests();
        QCOMPARE(headerValue(requests.back().head, "If-None-Match"), std::string("W/\"v2\""));
        // Another page (another directory) has a list of its own: nothing kept is sent there.
        QCOMPARE(client.fetchList(server.url("/other")).status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(headerValue(server.requests().back().head, "If-None-Match"), std::string());

        // A small compressed body that decodes past the limit is refused as too large.
        ByteServer bomb([](const std::string&) {
            const std::string body = gzipped("myserverlist\n127.0.0.1 \n" + std::string(2 * InteractiveLimits.maxBodyBytes, 'x'));
            return "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body;
        });
        QCOMPARE(client.fetchList(bomb.url()).status, DirectoryClient::ListStatus::TooLarge);
        // A 304 the client did not ask for has no list to stand for.
        ByteServer unasked([](const std::string&) {
            return std::string("HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n");
        });
        QCOMPARE(client.fetchList(unasked.url()).status, DirectoryClient::ListStatus::NotAList);
    }

    void statusCodeDoesNotCountOnlyTheBody()
    {
        ByteServer listOnError([](const std::string&) {
            return httpReply("myserverlist\n127.0.0.1 \n", "500 Internal Server Error");
        });
        ByteServer notFound([](const std::string&) {
            return httpReply("<html><body>Not Found</body></html>", "404 Not Found");
        });
        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.fetchList(listOnError.url()).status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(client.fetchList(notFound.url()).status, DirectoryClient::ListStatus::NotAList);
        QCOMPARE(client.addGroup(notFound.url(), "g", Loopback), DirectoryClient::AddStatus::Refused);
    }

    void addSendsTheEncodedNameAndReadsOk()
    {
        ByteServer accepting([](const std::string&) { return httpReply("ok\r\n"); });
        ByteServer refusing([](const std::string&) { return httpReply("no\r\n"); });
        CurlHttpClient http;
        DirectoryClient refused(http);
        QCOMPARE(refused.addGroup(refusing.url(), "g", Loopback), DirectoryClient::AddStatus::Refused);
        QVERIFY(!refused.groupRegistered());

        DirectoryClient client(http);
        QCOMPARE(client.addGroup(accepting.url(), "\xC8\xBA 1", Loopback), DirectoryClient::AddStatus::Registered);
        QVERIFY(client.groupRegistered());
        QVERIFY(accepting.requests()[0].head.rfind(
                    "GET /lumoadd.asp?name=%C8%BA%201&ip=127.0.0.1&port=3555 HTTP/1.1\r\n", 0) == 0);
    }

    // Renewing repeats the last accepted add byte for byte, to the directory that accepted it,
    // even after the player picked another one; the removal goes there too, once, and ends the
    // renewals.
    void removalIsSentOnceAndOnlyAfterAnAcceptedAdd()
    {
        std::atomic<bool> accept = false;
        ByteServer server([&accept](const std::string& head) {
            if (head.rfind("GET /lumoadd.asp", 0) == 0) return httpReply(accept ? "ok" : "full");
            return httpReply("removed");
        });
        CurlHttpClient http;
        DirectoryClient client(http);
        client.removeRegistration();
        QCOMPARE(client.addGroup(server.url(), "g", Loopback), DirectoryClient::AddStatus::Refused);
        client.removeRegistration();
        QCOMPARE(server.countRequestsFor("/lumomove.asp"), 0);

        accept = true;
        QCOMPARE(client.addGroup(server.url(), "g", Loopback), DirectoryClient::AddStatus::Registered);
        QCOMPARE(client.addGroup(server.url(), "h", Loopback), DirectoryClient::AddStatus::Registered);
        QCOMPARE(client.renewRegistration(), DirectoryClient::AddStatus::Registered);
        QVERIFY(server.requests().back().head.rfind("GET /lumoadd.asp?name=h&ip=127.0.0.1&port=3555 HTTP/1.1\r\n", 0) ==
                0);
        accept = false;
        QCOMPARE(client.renewRegistration(), DirectoryClient::AddStatus::Refused);
        QVERIFY(client.groupRegistered());
        client.removeRegistration();
        client.removeRegistration();
        QCOMPARE(server.countRequestsFor("/lumomove.asp"), 1);
        QVERIFY(server.requests().back().head.rfind(
                    "GET /lumomove.asp?name=id&ip=127.0.0.1&port=3555 HTTP/1.1\r\n", 0) == 0);
        const auto before = server.requests().size();
        QCOMPARE(client.renewRegistration(), DirectoryClient::AddStatus::Refused);
        QCOMPARE(server.requests().size(), before);
    }

    void refusedConnectionFailsAtOnce()
    {
        CurlHttpClient http;
        DirectoryClient client(http);
        QElapsedTimer timer;
        timer.start();
        const std::string url = "http://127.0.0.1:" + std::to_string(closedPort());
        QCOMPARE(client.fetchList(url).status, DirectoryClient::ListStatus::CannotOpen);
        QCOMPARE(client.addGroup(url, "g", Loopback), DirectoryClient::AddStatus::CannotOpen);
        QVERIFY(timer.elapsed() < 2000);
    }

    void silentServerIsGivenUpWithinTheBound()
    {
        ByteServer silent([](const std::string&) { return std::nullopt; });
        CurlHttpClient http;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!http.get(silent.url("/lumo.asp"), HttpLimits{std::chrono::milliseconds(500), std::chrono::milliseconds(800), 1024}).opened);
        QVERIFY(timer.elapsed() < 3000);

        // What the player waits for at most: the list request, and the removal while closing.
        DirectoryClient client(http);
        timer.restart();
        QCOMPARE(client.fetchList(silent.url()).status, DirectoryClient::ListStatus::CannotOpen);
        const qint64 listWait = timer.elapsed();
        QVERIFY2(listWait < InteractiveLimits.totalTimeout.count() + 1500, qPrintable(QString::number(listWait)));
        qInfo("list request gave up after %lld ms", static_cast<long long>(listWait));

        // A directory that registers but then falls silent.
        ByteServer accepting([](const std::string& head) -> std::optional<std::string> {
            if (head.rfind("GET /lumoadd.asp", 0) == 0) return httpReply("ok");
            return std::nullopt;
        });
        QCOMPARE(client.addGroup(accepting.url(), "g", Loopback), DirectoryClient::AddStatus::Registered);
        timer.restart();
        client.removeRegistration();
        QVERIFY(timer.elapsed() < ClosingLimits.totalTimeout.count() + 1500);
        QCOMPARE(accepting.countRequestsFor("/lumomove.asp"), 1);
    }

    void brokenOrOversizedRepliesCountAsUnopened()
    {
        ByteServer broken([](const std::string&) {
            return std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nmyserverlist\r\n127.0.0.1 \r\n");
        });
        ByteServer huge([](const std::string&) {
            return httpReply("myserverlist\n127.0.0.1 \n" + std::string(InteractiveLimits.maxBodyBytes, 'x'));
        });
        // The same, sent in chunks without a declared length: refused while it arrives.
        ByteServer hugeChunked([](const std::string&) {
            std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
            const std::string chunk(65536, 'y');
            for (std::size_t sent = 0; sent <= InteractiveLimits.maxBodyBytes; sent += chunk.size())
                reply += "10000\r\n" + chunk + "\r\n";
            return reply + "0\r\n\r\n";
        });
        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.fetchList(broken.url()).status, DirectoryClient::ListStatus::CannotOpen);
        // Too large is told apart from a reply that cannot be had at all.
        QCOMPARE(client.fetchList(huge.url()).status, DirectoryClient::ListStatus::TooLarge);
        QCOMPARE(client.fetchList(hugeChunked.url()).status, DirectoryClient::ListStatus::TooLarge);
    }

    void onlyHttpUrlsAreOpened()
    {
        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.fetchList("file:///etc").status, DirectoryClient::ListStatus::CannotOpen);
        QCOMPARE(client.fetchList("").status, DirectoryClient::ListStatus::CannotOpen);
        QCOMPARE(client.fetchList("http://exa mple.invalid").status, DirectoryClient::ListStatus::CannotOpen);
    }

    void requestsLeaveFromTheGivenSourceAddress()
    {
        ByteServer server([](const std::string&) { return httpReply("myserverlist\n127.0.0.2 \n"); });
        CurlHttpClient http("127.0.0.2");
        DirectoryClient client(http);
        QCOMPARE(client.fetchList(server.url()).status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(server.requests().front().peer, std::string("127.0.0.2"));
    }
};

QTEST_GUILESS_MAIN(DirectoryHttpTest)
#include "directory_http_test.moc"
