#include "net/peer_socket.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace lumo {

namespace {

sockaddr_in socketAddress(Endpoint to)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(to.port);
    target.sin_addr.s_addr = htonl(to.address);
    return target;
}

}  // namespace

PeerSocket::PeerSocket(Receiver receiver, QObject* parent)
    : QObject(parent), receiver_(std::move(receiver)), receive_(std::make_unique<ReceiveArea>())
{
    for (int i = 0; i < ReceiveBatch; ++i) {
        receive_->vectors[i] = iovec{receive_->buffers[i].data(), MaxDatagramSize};
        receive_->headers[i] = mmsghdr{};
    }
}

PeerSocket::~PeerSocket() { closeDescriptor(); }

void PeerSocket::closeDescriptor()
{
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
    }
    notifier_ = nullptr;
    draining_ = reenable_ = false;
    const int descriptor = descriptor_.exchange(-1);
    if (descriptor >= 0) ::close(descriptor);
}

bool PeerSocket::bind(Ipv4 address, std::uint16_t port)
{
    closeDescriptor();
    const QHostAddress local = address ? QHostAddress(address) : QHostAddress(QHostAddress::AnyIPv4);
    port_ = port;
    // Not shared: a second program on the same address and port must fail here, not receive
    // half of the group's datagrams.
    QUdpSocket binder;
    bool bound = binder.bind(local, port, QAbstractSocket::DontShareAddress);
    bindError_ = bound ? QAbstractSocket::UnknownSocketError : binder.error();
    bindErrorText_ = bound ? QString() : binder.errorString();
    if (!bound) return false;
    // The bound socket moves to a descriptor of our own: closing QUdpSocket's one leaves the
    // socket open, and with it QUdpSocket's notifier goes, so only ours watches the socket.
    const int descriptor = ::fcntl(int(binder.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    binder.close();
    if (descriptor < 0) {
        bindError_ = QAbstractSocket::SocketResourceError;
        bindErrorText_ = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    descriptor_.store(descriptor);
    notifier_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &PeerSocket::onReceive);
    return true;
}

void PeerSocket::sendFromAnyThread(const Bytes& bytes, Endpoint to) const
{
    const int descriptor = descriptor_.load();
    if (descriptor < 0) return;
    const sockaddr_in target = socketAddress(to);
    // Voice is never retransmitted: a failed send is simply a lost block.
    [[maybe_unused]] const auto sent = ::sendto(descriptor, bytes.data(), bytes.size(), MSG_DONTWAIT,
                                                reinterpret_cast<const sockaddr*>(&target), sizeof target);
}

int PeerSocket::sendBatchFromAnyThread(std::span<const OutgoingView> datagrams) const
{
    const int descriptor = descriptor_.load();
    if (descriptor < 0) return 0;
    std::array<sockaddr_in, SendBatch> targets;
    std::array<iovec, SendBatch> vectors;
    std::array<mmsghdr, SendBatch> headers;
    int taken = 0;
    std::size_t next = 0;
    while (next < datagrams.size()) {
        const std::size_t count = std::min<std::size_t>(SendBatch, datagrams.size() - next);
        for (std::size_t i = 0; i < count; ++i) {
            const OutgoingView& datagram = datagrams[next + i];
            targets[i] = socketAddress(datagram.to);
            vectors[i] = iovec{const_cast<std::uint8_t*>(datagram.bytes.data()), datagram.bytes.size()};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = &targets[i];
            headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(descriptor, headers.data(), unsigned(count), MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            // A datagram the kernel refuses outright (its target unreachable, the buffer full) is
            // lost like any voice block; the ones after it still go.
            ++next;
            continue;
        }
        taken += sent;
        // sendmmsg stops at the first datagram it cannot send: that one is lost, the rest go on.
        next += std::size_t(sent) + (std::size_t(sent) < count ? 1 : 0);
    }
    return taken;
}

int PeerSocket::sendBatchFromAnyThread(const std::vector<Outgoing>& datagrams) const
{
    std::array<OutgoingView, SendBatch> views;
    int taken = 0;
    for (std::size_t next = 0; next < datagrams.size(); next += SendBatch) {
        const std::size_t count = std::min<std::size_t>(SendBatch, datagrams.size() - next);
        for (std::size_t i = 0; i < count; ++i) views[i] = {datagrams[next + i].to, datagrams[next + i].bytes};
        taken += sendBatchFromAnyThread(std::span<const OutgoingView>(views.data(), count));
    }
    return taken;
}

void PeerSocket::sendTo(const Bytes& bytes, Endpoint to)
{
    const int descriptor = descriptor_.load();
    if (descriptor < 0) return;
    const sockaddr_in target = socketAddress(to);
    int sent;
    do {
        sent = int(::sendto(descriptor, bytes.data(), bytes.size(), MSG_DONTWAIT,
                            reinterpret_cast<const sockaddr*>(&target), sizeof target));
    } while (sent < 0 && errno == EINTR);
}

void PeerSocket::onReceive()
{
    const int descriptor = descriptor_.load();
    if (descriptor < 0 || !notifier_) return;
    QSocketNotifier* notifier = notifier_;
    // A receiver that runs a nested event loop must not be re-entered with our buffers half
    // handed on: the notifier goes off until the outer drain has ended. Toggling it on every
    // wake-up would cost the event dispatcher a wake-up of its own each time, so only a nested
    // call does it.
    if (draining_) {
        notifier->setEnabled(false);
        reenable_ = true;
        return;
    }
    draining_ = true;
    ReceiveArea& area = *receive_;
    int handed = 0;
    while (handed < ReceivePerWakeUp) {
        for (int i = 0; i < ReceiveBatch; ++i) {
            msghdr& header = area.headers[i].msg_hdr;
            header = msghdr{};
            header.msg_name = &area.sources[i];
            header.msg_namelen = sizeof(sockaddr_in);
            header.msg_iov = &area.vectors[i];
            header.msg_iovlen = 1;
            area.headers[i].msg_len = 0;
        }
        const int received = ::recvmmsg(descriptor, area.headers.data(), ReceiveBatch, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR) continue;
            break;  // EAGAIN: drained (or the socket has an error to report, which UDP ignores)
        }
        for (int i = 0; i < received; ++i) {
            ++handed;
            // A longer datagram is cut to the buffer (MSG_TRUNC set, msg_len the bytes kept), as
            // every receiver reads at most 1,024 bytes; the cut datagram is still handed on.
            const std::size_t length = std::min<std::size_t>(area.headers[i].msg_len, MaxDatagramSize);
            const sockaddr_in& source = area.sources[i];
            if (length == 0 || source.sin_family != AF_INET) continue;
            receiver_(ByteView(area.buffers[i].data(), length),
                      Endpoint{ntohl(source.sin_addr.s_addr), ntohs(source.sin_port)});
            // The receiver may have rebound or closed this socket.
            if (descriptor_.load() != descriptor || notifier_ != notifier) {
                draining_ = false;
                return;
            }
        }
        if (received < ReceiveBatch) break;  // the kernel had no more at that moment
    }
    draining_ = false;
    if (reenable_) {
        reenable_ = false;
        notifier->setEnabled(true);
    }
}

}  // namespace lumo
