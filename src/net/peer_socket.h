// One of the program's two UDP endpoints (member port 3550, host port 3555). Both run the same
// receive routine: every pending datagram is read whole, bounded to 1,024 bytes, and handed to
// the member-side dispatch; what it decides is carried out by the owner.
#pragma once

#include "common/wire.h"
#include "net/host_table.h"
#include "net/member_dispatch.h"
#include "voice/voice_streams.h"

#include <QObject>
#include <QUdpSocket>

#include <atomic>

namespace lumo {

class PeerSocket;

// What the receive routine needs from the main window, which owns the group state.
class PeerSocketOwner {
public:
    virtual ~PeerSocketOwner() = default;
    virtual MemberState& memberState() = 0;
    virtual void handleHostDatagram(ByteView datagram, Endpoint source) = 0;
    virtual void sendFromMember(const Outgoing& datagram) = 0;
    virtual void ackArrived() = 0;
    virtual void rosterReplaced() = 0;
    // A member's PathConfirm arrived (`fromMember` -1 when the roster holds no such member).
    virtual void pathConfirmed(int fromMember) = 0;
    // A member's PathProbe arrived and was answered with a PathConfirm.
    virtual void probeAnswered(int fromMember) = 0;
    virtual void chatArrived(int senderId, const std::string& gbkText) = 0;
    virtual void voiceArrived(PeerSocket& socket, int senderId, const VoiceRecord& record) = 0;
};

class PeerSocket : public QObject {
    Q_OBJECT
public:
    PeerSocket(PeerSocketOwner& owner, QObject* parent = nullptr);

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

    // Per-member voice playback state of the members heard through this socket.
    PeerSlots& voiceSlots() { return voiceSlots_; }

    // Reads and handles every pending datagram.
    void onReceive();

private:
    PeerSocketOwner& owner_;
    QUdpSocket socket_;
    std::atomic<int> descriptor_{-1};
    std::uint16_t port_ = 0;
    QAbstractSocket::SocketError bindError_ = QAbstractSocket::UnknownSocketError;
    QString bindErrorText_;
    PeerSlots voiceSlots_;
};

}  // namespace lumo
