// The group host as players meet it: the real GroupEndpoint (its host socket, the member
// session's dispatch and the HostTable), in a thread of its own with its own Qt event loop,
// against a minimal UDP echo written here, both driven by the same request generator on
// loopback: JoinRequest, RosterRequest and PathRequest datagrams from 1 or 8 members, each
// member keeping one request in flight and sending the next when the host's Ack (the echo's
// reply) comes. The two servers take turns in one run; prints requests per second and the
// ratio host / echo. Nothing is asserted.
//
//   host_bench [--seconds S]   (per turn, default 2; three turns of each server per count)
#include "bench_loopback.h"

#include "net/group_endpoint.h"
#include "voice/audio_device.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
        NullAudioSystem audio;
        GroupEndpoint endpoint(address_, audio);
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

struct Member {
    int fd = -1;
    MemberEntry entry;
    std::array<Bytes, 4> requests;  // the cycle this member sends
    int next = 0;
    Clock::time_point sentAt;
};

bool isAck(const std::uint8_t* bytes, ssize_t n)
{
    return n >= 4 && bytes[0] == cmd::Ack && bytes[3] == std::uint8_t(Kind::FromHost);
}

// Members join the host; each learns its id from the roster the host sends it.
std::vector<Member> joinMembers(int count, Endpoint host)
{
    std::vector<Member> members(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Member& m = members[std::size_t(i)];
        const Ipv4 address = loopback(0x100 + i);
        m.fd = boundSocket({address, MemberPort});
        m.entry.setName(("bench" + std::to_string(i)).c_str());
        m.entry.id = UnassignedId;
        m.entry.localAddress = address;
        m.entry.localPort = MemberPort;
        const Bytes join = makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, m.entry);
        const sockaddr_in to = socketAddress(host);
        ::sendto(m.fd, join.data(), join.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    // Every member's own roster names its index.
    const auto until = Clock::now() + std::chrono::seconds(3);
    std::array<std::uint8_t, MaxDatagramSize> buffer;
    for (Member& m : members) {
        pollfd p{m.fd, POLLIN, 0};
        while (Clock::now() < until && ::poll(&p, 1, 50) >= 0) {
            const ssize_t n = ::recv(m.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n >= 8 && buffer[0] == cmd::RosterUpdate) {
                const Roster roster = readRosterUpdate(ByteView(buffer.data(), std::size_t(n)));
                const int id = buffer[1];
                if (roster.holds(id)) m.entry = roster.records[std::size_t(id)];
            }
            if (m.entry.id != UnassignedId) break;
        }
    }
    // Drain whatever else the joins caused.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (Member& m : members)
        while (::recv(m.fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
        }
    for (int i = 0; i < count; ++i) {
        Member& m = members[std::size_t(i)];
        const int other = members[std::size_t((i + 1) % count)].entry.id;
        const int self = m.entry.id;
        m.requests = {makeEntryDatagram(cmd::PathRequest, idByte(self), idByte(other), Kind::ToHost, m.entry),
                      makeEntryDatagram(cmd::RosterRequest, idByte(self), 0, Kind::ToHost, m.entry),
                      makeEntryDatagram(cmd::PathRequest, idByte(self), idByte(other), Kind::ToHost, m.entry),
                      makeEntryDatagram(cmd::JoinRequest, idByte(self), 0, Kind::ToHost, m.entry)};
    }
    return members;
}

long datagramsIn = 0;  // what the members received in the latest turn

// Requests answered per second by `server` within `seconds`, every member one in flight.
double requestsPerSecond(std::vector<Member>& members, Endpoint server, bool answersWithAck, double seconds)
{
    const sockaddr_in to = socketAddress(server);
    auto send = [&](Member& m) {
        const Bytes& request = m.requests[std::size_t(m.next)];
        m.next = (m.next + 1) % int(m.requests.size());
        m.sentAt = Clock::now();
        ::sendto(m.fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    std::vector<pollfd> polls;
    for (Member& m : members) polls.push_back({m.fd, POLLIN, 0});
    std::array<std::uint8_t, MaxDatagramSize> buffer;
    // Both servers' answers are read the same way: a recvmmsg batch at a time.
    constexpr int Batch = 16;
    std::array<std::array<std::uint8_t, MaxDatagramSize>, Batch> buffers;
    std::array<iovec, Batch> vectors;
    std::array<mmsghdr, Batch> headers;
    long answered = 0;
    datagramsIn = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (Member& m : members) send(m);
    while (Clock::now() < end) {
        if (::poll(polls.data(), polls.size(), 20) < 0) break;
        const auto now = Clock::now();
        for (std::size_t i = 0; i < members.size(); ++i) {
            Member& m = members[i];
            bool done = false;
            for (;;) {
                for (int k = 0; k < Batch; ++k) {
                    vectors[std::size_t(k)] = {buffers[std::size_t(k)].data(), MaxDatagramSize};
                    headers[std::size_t(k)] = mmsghdr{};
                    headers[std::size_t(k)].msg_hdr.msg_iov = &vectors[std::size_t(k)];
                    headers[std::size_t(k)].msg_hdr.msg_iovlen = 1;
                }
                const int got = ::recvmmsg(m.fd, headers.data(), Batch, MSG_DONTWAIT, nullptr);
                if (got <= 0) break;
                datagramsIn += got;
                for (int k = 0; k < got; ++k)
                    if (!answersWithAck || isAck(buffers[std::size_t(k)].data(), ssize_t(headers[std::size_t(k)].msg_len)))
                        done = true;
                if (got < Batch) break;
            }
            if (done) {
                ++answered;
                send(m);
            } else if (now - m.sentAt > std::chrono::milliseconds(200)) {
                send(m);  // lost on the way: the member asks again
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // Let the last answers land, so the next turn starts from quiet sockets.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (Member& m : members)
        while (::recv(m.fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
        }
    return double(answered) / elapsed;
}

}  // namespace

int main(int argc, char** argv)
{
    double turnSeconds = 2;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) turnSeconds = std::max(0.2, std::atof(argv[i + 1]));
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

    for (const int inFlight : {1, 8}) {
        // Each count has its own members: a fresh group in the host's table.
        std::vector<Member> members = joinMembers(inFlight, {hostAddress, HostPort});
        std::vector<double> hostRates, echoRates, ratios;
        long hostDatagrams = 0, hostAnswers = 0;
        for (int turn = 0; turn < 3; ++turn) {
            const double e = requestsPerSecond(members, {loopback(2), HostPort}, false, turnSeconds);
            const double h = requestsPerSecond(members, {hostAddress, HostPort}, true, turnSeconds);
            hostDatagrams += datagramsIn;
            hostAnswers += long(h * turnSeconds);
            echoRates.push_back(e);
            hostRates.push_back(h);
            ratios.push_back(e > 0 ? h / e : 0);
        }
        const Spread hs = spread(hostRates), es = spread(echoRates), rs = spread(ratios);
        std::printf("%d in flight: host %.0f req/s (min %.0f, max %.0f), echo %.0f req/s (min %.0f, max %.0f), "
                    "ratio %.2f (min %.2f, max %.2f)  goal >= 0.80: %s\n",
                    inFlight, hs.median, hs.min, hs.max, es.median, es.min, es.max, rs.median, rs.min, rs.max,
                    rs.median >= 0.8 ? "met" : "MISSED");
        const double perRequest = hostAnswers ? double(hostDatagrams) / double(hostAnswers) : 0.0;
        std::printf("   the host sends %.2f datagrams per request (Ack, rosters, path probes), the echo 1: datagrams "
                    "answered per second, host / echo %.2f\n",
                    perRequest, rs.median * perRequest);
        for (Member& m : members) ::close(m.fd);
    }
    std::printf("load average at end: %s\n", loadAverage().c_str());
    host.quit();
    host.wait();
    return 0;
}
