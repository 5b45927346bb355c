// The group host as players meet it: the real GroupEndpoint (its host socket, the read of each
// datagram and the HostTable), in a thread of its own with its own Qt event loop,
// against a minimal UDP echo written here, both driven by the same request generator on
// loopback with 1 and 8 requests in flight, each sent when the host's Ack (the echo's reply) to
// the one before came, each from the next of 4,096 source sockets (see Sources for why). The two
// servers take turns in one run; prints requests per second and the ratio host / echo. Nothing
// is asserted. Members' own requests (path and roster requests, joins) are limited to a few a
// second per member by design, so they cannot load a host; their cost per request is the same
// path plus the rosters and probes they ask for.
//
//   host_bench [--seconds S]   (per turn, default 2; three turns of each server per count)
#include "bench_loopback.h"

#include "net/group_endpoint.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace lumo;
using namespace lumo::bench;
using Clock = std::chrono::steady_clock;

namespace {

// The program's host endpoint, alive while its thread runs its event loop.
class HostThread : public QThread {
public:
    explicit HostThread(Ipv4 address) : address_(address) {}
    std::atomic<int> state{0};  // 1 bound, -1 failed

protected:
    void run() override
    {
        GroupEndpoint endpoint(address_);
        state = endpoint.socketsBound() ? 1 : -1;
        if (state > 0) exec();
    }

private:
    Ipv4 address_;
};

// The floor: answers every datagram with itself, one blocking read and one send each.
class Echo {
public:
    explicit Echo(Endpoint at) : fd_(boundSocket(at))
    {
        timeval timeout{0, 100000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        thread_ = std::thread([this] {
            std::array<std::uint8_t, MaxDatagramSize> buffer;
            while (!stop_) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n =
                    ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (n > 0) ::sendto(fd_, buffer.data(), std::size_t(n), 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        });
    }
    ~Echo()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool isAck(const std::uint8_t* bytes, ssize_t n)
{
    return n >= 4 && bytes[0] == cmd::Ack && bytes[3] == std::uint8_t(Kind::FromHost);
}

// The senders: a socket each on an address of its own. The host lets one source send 20
// requests at once and 10 a second after (a member asks a few times a minute), so a generator
// that sent tens of thousands a second from a few sockets would measure that limit and nothing
// else. Spread over SourceCount sources, each sends about ten a second at the rates reached, and
// the host's table of sources (1,024 at most) keeps forgetting the quietest to make room: the
// host's whole path for a request from a source it does not know (receive, source checks, rate
// table, Ack), which is also what a flood from forged sources costs it.
constexpr int SourceCount = 4096;

struct Sources {
    std::vector<int> fds;
    Bytes request;  // a roster request for an id no member has: the host acknowledges, nothing more
    int next = 0;

    Sources()
    {
        for (int i = 0; i < SourceCount; ++i) {
            const int fd = boundSocket({loopback(0x1000 + i), MemberPort});
            if (fd < 0) break;
            fds.push_back(fd);
        }
        MemberEntry nobody;
        nobody.setName("bench");
        nobody.id = 200;
        request = makeEntryDatagram(cmd::RosterRequest, 200, 0, Kind::ToHost, nobody);
    }
    ~Sources()
    {
        for (const int fd : fds) ::close(fd);
    }
    bool ok() const { return int(fds.size()) == SourceCount; }
    int take() { return fds[std::size_t(next++ % SourceCount)]; }
};

struct InFlight {
    int fd = -1;
    Clock::time_point sentAt;
};

// Requests answered per second by `server` within `seconds`, `inFlight` requests in flight, each
// from the next source in turn.
double requestsPerSecond(Sources& sources, int inFlight, Endpoint server, bool answersWithAck, double seconds)
{
    const sockaddr_in to = socketAddress(server);
    std::vector<InFlight> flights(static_cast<std::size_t>(inFlight));
    auto send = [&](InFlight& slot) {
        slot.fd = sources.take();
        slot.sentAt = Clock::now();
        ::sendto(slot.fd, sources.request.data(), sources.request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    };
    std::vector<pollfd> polls(flights.size());
    std::array<std::uint8_t, MaxDatagramSize> buffer;
    long answered = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (InFlight& slot : flights) send(slot);
    while (Clock::now() < end) {
        for (std::size_t i = 0; i < flights.size(); ++i) polls[i] = {flights[i].fd, POLLIN, 0};
        if (::poll(polls.data(), polls.size(), 20) < 0) break;
        const auto now = Clock::now();
        for (std::size_t i = 0; i < flights.size(); ++i) {
            InFlight& slot = flights[i];
            bool done = false;
            if (polls[i].revents & POLLIN)
                for (ssize_t n; (n = ::recv(slot.fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;)
                    done = done || !answersWithAck || isAck(buffer.data(), n);
            if (done) {
                ++answered;
                send(slot);
            } else if (now - slot.sentAt > std::chrono::milliseconds(200)) {
                send(slot);  // lost on the way: ask again from the next source
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // Let the last answers land, so the next turn starts from quiet sockets.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (InFlight& slot : flights)
        while (::recv(slot.fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
        }
    return double(answered) / elapsed;
}

}  // namespace

int main(int argc, char** argv)
{
    const double turnSeconds = secondsArgument(argc, argv, 2, 0.2);
    // The endpoint's overlay mailbox lives in a runtime directory of the bench's own.
    QTemporaryDir runtime;
    if (runtime.isValid()) qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QCoreApplication app(argc, argv);

    const Ipv4 hostAddress = loopback(1);
    HostThread host(hostAddress);
    host.start();
    while (host.state == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (host.state < 0) {
        std::printf("the host endpoint could not bind %s\n", dottedAddress(hostAddress).c_str());
        return 1;
    }
    Echo echo({loopback(2), HostPort});
    if (!echo.ok()) return 1;

    std::printf("host requests per second: GroupEndpoint's host socket + HostTable (own thread, own event loop) "
                "against a minimal UDP echo, loopback, %.1f s turns, three turns each, interleaved\n",
                turnSeconds);
    std::printf("load average at start: %s (2 cores shared)\n", loadAverage().c_str());

    Sources sources;
    if (!sources.ok()) {
        std::printf("could not bind %d source sockets (raise the open-file limit)\n", SourceCount);
        return 1;
    }
    for (const int inFlight : {1, 8}) {
        std::vector<double> hostRates, echoRates, ratios;
        for (int turn = 0; turn < 3; ++turn) {
            const double e = requestsPerSecond(sources, inFlight, {loopback(2), HostPort}, false, turnSeconds);
            const double h = requestsPerSecond(sources, inFlight, {hostAddress, HostPort}, true, turnSeconds);
            echoRates.push_back(e);
            hostRates.push_back(h);
            ratios.push_back(e > 0 ? h / e : 0);
        }
        const Spread hs = spread(hostRates), es = spread(echoRates), rs = spread(ratios);
        std::printf("%d in flight: host %.0f req/s (min %.0f, max %.0f), echo %.0f req/s (min %.0f, max %.0f), "
                    "ratio %.2f (min %.2f, max %.2f)  goal >= 0.80: %s\n",
                    inFlight, hs.median, hs.min, hs.max, es.median, es.min, es.max, rs.median, rs.min, rs.max,
                    rs.median >= 0.8 ? "met" : "MISSED");
    }
    std::printf("load average at end: %s\n", loadAverage().c_str());
    host.quit();
    host.wait();
    return 0;
}
