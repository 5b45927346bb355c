// Test helpers: a UDP endpoint that plays a group host or another member, and (from
// recording_boxes.h) message boxes that record what they were asked to show instead of blocking.
#pragma once

#include "core/wire/wire.h"
#include "recording_boxes.h"

#include <QHostAddress>
#include <QStringList>
#include <QTest>
#include <QElapsedTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>

namespace lumo::test {

// The loopback addresses a test binds the group's ports on: 127.B.x.y, in a block B that this
// test process claims for as long as it runs by holding the member port on 127.B.255.254.
// Concurrent tests, another test run and a LUMO the player runs on 127.0.0.x thus never share an
// address with it. When no block can be claimed (a LUMO bound to every address holds the port),
// the test is reported as skipped rather than failing on ports it cannot have.
inline int loopbackBlock()
{
    static const int block = [] {
        for (int candidate = 1; candidate < 255; ++candidate) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in claim{};
            claim.sin_family = AF_INET;
            claim.sin_port = htons(MemberPort);
            claim.sin_addr.s_addr = htonl(0x7F00FFFEu | (std::uint32_t(candidate) << 16));
            if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&claim), sizeof claim) == 0)
                return candidate;  // the descriptor stays open: the claim lasts as long as the process
            if (fd >= 0) ::close(fd);
        }
        std::printf("SKIP   : no loopback address has UDP port %d free: is a LUMO bound to every address running?\n",
                    int(MemberPort));
        std::fflush(stdout);
        std::_Exit(0);
    }();
    return block;
}

// 127.B.0.last (or 127.B.1.1 for 0x101, and so on).
inline Ipv4 loopback(int last) { return 0x7F000000u | (Ipv4(loopbackBlock()) << 16) | Ipv4(last & 0xFFFF); }
inline QString loopbackText(int last) { return QString::fromStdString(dottedAddress(loopback(last))); }

class FakePeer {
public:
    FakePeer(Ipv4 address, std::uint16_t port) : endpoint_{address, port}
    {
        bound_ = socket_.bind(QHostAddress(address), port);
    }
    bool bound() const { return bound_; }
    Endpoint endpoint() const { return endpoint_; }

    void send(const Bytes& bytes, Endpoint to)
    {
        socket_.writeDatagram(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()), QHostAddress(to.address),
                              to.port);
    }

    struct Received {
        Bytes bytes;
        Endpoint from;
    };

    // Waits up to `ms` for the next datagram (or the next one whose first byte is `command`).
    std::optional<Received> next(int ms = 2000, int command = -1)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            drain();
            while (!queue_.empty()) {
                Received r = std::move(queue_.front());
                queue_.pop_front();
                if (command < 0 || (!r.bytes.empty() && r.bytes[0] == command)) return r;
            }
            if (timer.elapsed() >= ms) return std::nullopt;
            QTest::qWait(10);
        }
    }
    // Everything that arrives up to and with the first datagram `last` accepts. A check that
    // something does not arrive ends on a datagram that can only come after it, not on a
    // time; nullopt when `last` did not come within the guard.
    std::optional<std::vector<Received>> collectUntil(const std::function<bool(const Received&)>& last, int guardMs = 10000)
    {
        std::vector<Received> out;
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            drain();
            while (!queue_.empty()) {
                out.push_back(std::move(queue_.front()));
                queue_.pop_front();
                if (last(out.back())) return out;
            }
            if (timer.elapsed() >= guardMs) return std::nullopt;
            QTest::qWait(10);
        }
    }
    static std::function<bool(const Received&)> command(int first)
    {
        return [first](const Received& r) { return !r.bytes.empty() && r.bytes[0] == first; };
    }
    // Everything that arrives within `ms`, for a sender that gives no datagram to end on.
    std::vector<Received> collect(int ms)
    {
        QTest::qWait(ms);
        drain();
        std::vector<Received> out(queue_.begin(), queue_.end());
        queue_.clear();
        return out;
    }

private:
    void drain()
    {
        while (socket_.hasPendingDatagrams()) {
            QByteArray data(int(socket_.pendingDatagramSize()), 0);
            QHostAddress from;
            quint16 port = 0;
            const qint64 n = socket_.readDatagram(data.data(), data.size(), &from, &port);
            if (n < 0) continue;
            queue_.push_back({Bytes(data.begin(), data.begin() + n), {from.toIPv4Address(), port}});
        }
    }

    Endpoint endpoint_;
    QUdpSocket socket_;
    bool bound_ = false;
    std::deque<Received> queue_;
};

inline MemberEntry memberAt(int id, const char* name, Ipv4 address, std::uint16_t port = MemberPort)
{
    MemberEntry e;
    e.setName(name);
    e.id = static_cast<std::uint16_t>(id);
    e.localPort = MemberPort;
    e.localAddress = address;
    e.publicAddress = address;
    e.publicPort = port;
    return e;
}

}  // namespace lumo::test
