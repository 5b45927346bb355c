// The group host's table: kind-3 datagrams handled per second by the pure logic (join, path
// request and leave mixes), and through real UDP sockets on loopback against a minimal UDP echo
// in the same run, printed as a ratio. Nothing is asserted.
//
// The socket half is the HostTable in a plain blocking recvfrom/sendto loop written here, not
// the program's host endpoint; host_bench measures GroupEndpoint's host socket with its event
// loop against an echo.
#include "core/group/host_table.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace lumo;

namespace {

struct Member {
    MemberEntry entry;
    Endpoint source;
};

std::vector<Member> members(int count)
{
    std::vector<Member> out;
    for (int i = 0; i < count; ++i) {
        Member m;
        m.entry.setName("member");
        m.entry.id = UnassignedId;
        m.entry.localPort = MemberPort;
        m.entry.localAddress = 0x0A000000u + i;
        m.source = {0xCB000000u + i, static_cast<std::uint16_t>(40000 + i)};
        out.push_back(m);
    }
    return out;
}

// A full group, then path requests between its members.
void PathRequests(benchmark::State& state)
{
    HostTable host;
    auto group = members(int(state.range(0)));
    for (auto& m : group) {
        host.handle(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, m.entry), m.source);
        m.entry = host.roster().records[host.roster().count - 1];
    }
    std::vector<Bytes> requests;
    for (std::size_t i = 0; i < group.size(); ++i)
        requests.push_back(makeEntryDatagram(cmd::PathRequest, idByte(int(i)), idByte(int((i + 1) % group.size())),
                                             Kind::ToHost, group[i].entry));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(host.handle(requests[i], group[i].source));
        if (++i == requests.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PathRequests)->Arg(2)->Arg(31);

// Join and leave in turn: every one rebuilds and broadcasts the roster.
void JoinLeave(benchmark::State& state)
{
    HostTable host;
    auto group = members(int(state.range(0)));
    for (std::size_t i = 0; i + 1 < group.size(); ++i)
        host.handle(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, group[i].entry), group[i].source);
    const Member& last = group.back();
    const Bytes join = makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, last.entry);
    const Bytes leave = makeEntryDatagram(cmd::LeaveNotice, 0xCC, 0xFF, Kind::ToHost, last.entry);
    for (auto _ : state) {
        benchmark::DoNotOptimize(host.handle(join, last.source));
        benchmark::DoNotOptimize(host.handle(leave, last.source));
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(JoinLeave)->Arg(2)->Arg(31);

// --- through sockets ---------------------------------------------------------------------

int boundSocket()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timeval timeout{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

sockaddr_in addressOf(int fd)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return a;
}

// A server thread that answers each datagram: either the bare echo or the host table's replies.
// The client sends one request and waits for the first reply (the Ack), round trip after round trip.
double roundTripsPerSecond(bool hostTable, int seconds)
{
    const int server = boundSocket();
    const int client = boundSocket();
    const sockaddr_in serverAddress = addressOf(server);
    std::atomic<bool> stop{false};
    std::thread serve([&] {
        HostTable host;
        std::array<std::uint8_t, MaxDatagramSize> buffer;
        while (!stop) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(server, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) continue;
            if (!hostTable) {
                ::sendto(server, buffer.data(), std::size_t(n), 0, reinterpret_cast<sockaddr*>(&from), length);
                continue;
            }
            const HostReply reply = host.handle(ByteView(buffer.data(), std::size_t(n)),
                                                {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)});
            for (const Outgoing& out : reply.sends) {
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(out.to.port);
                to.sin_addr.s_addr = htonl(out.to.address);
                ::sendto(server, out.bytes.data(), out.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
        }
    });

    MemberEntry own;
    own.setName("bench");
    own.id = UnassignedId;
    own.localPort = MemberPort;
    own.localAddress = 0x7F000001;
    const Bytes join = makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, own);
    std::array<std::uint8_t, MaxDatagramSize> buffer;
    // Join once, then path requests to itself (member 0), each answered by an Ack and two probes.
    ::sendto(client, join.data(), join.size(), 0, reinterpret_cast<const sockaddr*>(&serverAddress), sizeof serverAddress);
    while (::recv(client, buffer.data(), buffer.size(), 0) > 0) {
        // the Ack and the roster; the receive time-out ends the wait
    }
    own.id = 0;
    own.publicAddress = 0x7F000001;
    const Bytes request = makeEntryDatagram(cmd::PathRequest, 0, 0, Kind::ToHost, own);

    long trips = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        ::sendto(client, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&serverAddress),
                 sizeof serverAddress);
        if (::recv(client, buffer.data(), buffer.size(), 0) <= 0) continue;
        while (::recv(client, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
        }
        ++trips;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    serve.join();
    ::close(server);
    ::close(client);
    return double(trips) / elapsed;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const double echo = roundTripsPerSecond(false, 2);
    const double host = roundTripsPerSecond(true, 2);
    std::printf("\nloopback round trips per second: minimal UDP echo %.0f, host table %.0f (ratio %.2f)\n", echo, host,
                echo > 0 ? host / echo : 0.0);
    benchmark::Shutdown();
    return 0;
}
