#include "net/peer_socket.h"

#include <QHostAddress>
#include <QNetworkDatagram>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace lumo {

PeerSocket::PeerSocket(Receiver receiver, QObject* parent) : QObject(parent), receiver_(std::move(receiver))
{
    connect(&socket_, &QUdpSocket::readyRead, this, &PeerSocket::onReceive);
}

bool PeerSocket::bind(Ipv4 address, std::uint16_t port)
{
    const QHostAddress local = address ? QHostAddress(address) : QHostAddress(QHostAddress::AnyIPv4);
    port_ = port;
    // Not shared: a second program on the same address and port must fail here, not receive
    // half of the group's datagrams.
    const bool bound = socket_.bind(local, port, QAbstractSocket::DontShareAddress);
    descriptor_.store(bound ? static_cast<int>(socket_.socketDescriptor()) : -1);
    bindError_ = bound ? QAbstractSocket::UnknownSocketError : socket_.error();
    bindErrorText_ = bound ? QString() : socket_.errorString();
    return bound;
}

void PeerSocket::sendFromAnyThread(const Bytes& bytes, Endpoint to) const
{
    const int descriptor = descriptor_.load();
    if (descriptor < 0) return;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(to.port);
    target.sin_addr.s_addr = htonl(to.address);
    // Voice is never retransmitted: a failed send is simply a lost block.
    [[maybe_unused]] const auto sent = ::sendto(descriptor, bytes.data(), bytes.size(), MSG_DONTWAIT,
                                                reinterpret_cast<const sockaddr*>(&target), sizeof target);
}

bool PeerSocket::isBound() const { return socket_.state() == QAbstractSocket::BoundState; }

void PeerSocket::sendTo(const Bytes& bytes, Endpoint to)
{
    if (!isBound()) return;
    socket_.writeDatagram(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()),
                          QHostAddress(to.address), to.port);
}

void PeerSocket::onReceive()
{
    std::array<std::uint8_t, MaxDatagramSize> buffer;
    while (socket_.hasPendingDatagrams()) {
        QHostAddress senderAddress;
        quint16 senderPort = 0;
        // A longer datagram is cut to the buffer, as every receiver reads at most 1,024 bytes.
        const qint64 length = socket_.readDatagram(reinterpret_cast<char*>(buffer.data()), buffer.size(),
                                                   &senderAddress, &senderPort);
        if (length <= 0) continue;
        bool isIpv4 = false;
        const Ipv4 address = senderAddress.toIPv4Address(&isIpv4);
        if (!isIpv4) continue;
        receiver_(ByteView(buffer.data(), static_cast<std::size_t>(length)), Endpoint{address, senderPort});
    }
}

}  // namespace lumo
