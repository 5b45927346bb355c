// One of the program's two UDP sockets (member port 3550, host port 3555): bytes in, bytes out.
// Every pending datagram is read whole, bounded to 1,024 bytes, and handed to the receiver with
// its source; what it means is for the group endpoint to decide.
#pragma once

#include "common/wire.h"

#include <QObject>
#include <QUdpSocket>

#include <atomic>
#include <functional>

namespace lumo {

class PeerSocket : public QObject {
    Q_OBJECT
public:
    using Receiver = std::function<void(ByteView datagram, Endpoint source)>;

    explicit PeerSocket(Receiver receiver, QObject* parent = nullptr);

    // Binds to `port` on `address` (0: every local address). A port already in use, or an
    // address this machine does not have, leaves the socket unbound; bindError() says why.
    bool bind(Ipv4 address, std::uint16_t port);
    bool isBound() const;
    std::uint16_t port() const { return port_; }
    // Why the last bind failed.
    QAbstractSocket::SocketError bindError() const { return bindError_; }
    QString bindErrorText() const { return bindErrorText_; }
    void sendTo(const Bytes& bytes, Endpoint to);
    // Sends from a thread other than the user-interface thread (the capture thread's voice):
    // one sendto on the socket's descriptor, which the kernel makes safe to call concurrently.
    void sendFromAnyThread(const Bytes& bytes, Endpoint to) const;

    // Reads and hands on every pending datagram.
    void onReceive();

private:
    Receiver receiver_;
    QUdpSocket socket_;
    std::atomic<int> descriptor_{-1};
    std::uint16_t port_ = 0;
    QAbstractSocket::SocketError bindError_ = QAbstractSocket::UnknownSocketError;
    QString bindErrorText_;
};

}  // namespace lumo
