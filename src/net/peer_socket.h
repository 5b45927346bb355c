// One of the program's two UDP sockets (member port 3550, host port 3555): bytes in, bytes out.
// Every pending datagram is read whole, bounded to 1,024 bytes, and handed to the receiver with
// its source; what it means is for the group endpoint to decide.
//
// QUdpSocket binds the port (so that a failed bind is put into the same words as before); the
// socket is then kept on a descriptor of our own with a read notifier of our own, and drained
// with recvmmsg a batch at a time until the kernel has nothing more: one system call for many
// datagrams instead of a pending-size peek, a read and the notifier's re-arming per datagram.
// Voice fans out with sendmmsg, one system call per block for all its targets.
#pragma once

#include "core/wire/wire.h"

#include <QObject>
#include <QUdpSocket>

#include <sys/socket.h>
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <span>

class QSocketNotifier;

namespace lumo {

// One datagram of a batch to send from any thread: its bytes stay the caller's.
struct OutgoingView {
    Endpoint to;
    ByteView bytes;
};

class PeerSocket : public QObject {
    Q_OBJECT
public:
    using Receiver = std::function<void(ByteView datagram, Endpoint source)>;

    // Datagrams taken from the kernel per recvmmsg call.
    static constexpr int ReceiveBatch = 32;
    // Datagrams handed on per read notification at most; the notifier fires again at once while
    // more are pending, so a flood does not keep the event loop from timers and the window.
    static constexpr int ReceivePerWakeUp = 256;
    // The most datagrams one sendBatchFromAnyThread call passes to one sendmmsg.
    static constexpr int SendBatch = 16;

    explicit PeerSocket(Receiver receiver, QObject* parent = nullptr);
    ~PeerSocket() override;

    // Binds to `port` on `address` (0: every local address). A port already in use, or an
    // address this machine does not have, leaves the socket unbound; bindError() says why.
    bool bind(Ipv4 address, std::uint16_t port);
    bool isBound() const { return descriptor_.load() >= 0; }
    std::uint16_t port() const { return port_; }
    // Why the last bind failed.
    QAbstractSocket::SocketError bindError() const { return bindError_; }
    QString bindErrorText() const { return bindErrorText_; }
    void sendTo(const Bytes& bytes, Endpoint to);
    // The batch sends below do from any thread what sendTo does for each datagram in turn, on
    // the user-interface thread too (a host's Ack with its roster broadcast, say).
    // Sends from a thread other than the user-interface thread (the capture thread's voice):
    // one sendto on the socket's descriptor, which the kernel makes safe to call concurrently.
    void sendFromAnyThread(const Bytes& bytes, Endpoint to) const;
    // The same for many datagrams at once, with as few sendmmsg calls as the kernel takes
    // (one for a voice block's up to 8 targets). Returns how many datagrams the kernel took.
    int sendBatchFromAnyThread(std::span<const OutgoingView> datagrams) const;
    int sendBatchFromAnyThread(const std::vector<Outgoing>& datagrams) const;

    // Reads and hands on the pending datagrams (up to ReceivePerWakeUp of them).
    void onReceive();

private:
    void closeDescriptor();

    Receiver receiver_;
    std::atomic<int> descriptor_{-1};
    QSocketNotifier* notifier_ = nullptr;
    bool draining_ = false;  // onReceive is running
    bool reenable_ = false;  // a nested call turned the notifier off
    std::uint16_t port_ = 0;
    QAbstractSocket::SocketError bindError_ = QAbstractSocket::UnknownSocketError;
    QString bindErrorText_;

    // The receive batch: buffers, sources and headers, set up once.
    struct ReceiveArea {
        std::array<std::array<std::uint8_t, MaxDatagramSize>, ReceiveBatch> buffers;
        std::array<sockaddr_in, ReceiveBatch> sources;
        std::array<iovec, ReceiveBatch> vectors;
        std::array<mmsghdr, ReceiveBatch> headers;
    };
    std::unique_ptr<ReceiveArea> receive_;
};

}  // namespace lumo
