#include "overlay/overlay_pipe_client.h"

#include "core/link/link_records.h"
#include "link/mailbox.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

namespace lumo {

namespace {

// Qt's own buffer in front of the pipe: more than the largest record, yet bounded, so that a
// writer that floods the pipe fills the system's buffer rather than this process's memory.
constexpr qint64 ReadBufferBytes = 16 * 1024;
constexpr int ConnectWaitMs = 500;

}  // namespace

OverlayPipeClient::OverlayPipeClient() = default;

OverlayPipeClient::~OverlayPipeClient() { close(); }

bool OverlayPipeClient::isOpen() const { return socket_ && socket_->state() == QLocalSocket::ConnectedState; }

void OverlayPipeClient::close()
{
    if (!socket_) return;
    socket_->abort();
    delete socket_;
    socket_ = nullptr;
}

OverlayPipeClient::OpenResult OverlayPipeClient::open(qint64 number, int waitMs)
{
    close();
    OpenResult result;
    const QString path = number >= 0 && number <= 255
                             ? linkSocketPath(QString::fromStdString(link::pipeName(std::uint8_t(number))))
                             : QString();
    // Wait for the pipe to appear, as the main program creates it before it says so.
    QElapsedTimer waited;
    waited.start();
    while (path.isEmpty() || !QFileInfo::exists(path)) {
        if (path.isEmpty() || waited.elapsed() >= waitMs) {
            result.waitFailed = true;
            break;
        }
        QThread::msleep(20);
    }
    if (path.isEmpty()) return result;
    socket_ = new QLocalSocket;
    socket_->setReadBufferSize(ReadBufferBytes);
    socket_->connectToServer(path, QIODevice::ReadOnly);
    result.opened = socket_->waitForConnected(ConnectWaitMs);
    if (!result.opened) close();
    return result;
}

std::optional<Bytes> OverlayPipeClient::read(std::size_t length)
{
    if (!isOpen()) return std::nullopt;
    Bytes out(length);
    std::size_t got = 0;
    QElapsedTimer waited;
    waited.start();
    while (got < length) {
        const qint64 n = socket_->read(reinterpret_cast<char*>(out.data() + got), qint64(length - got));
        if (n < 0) break;
        got += std::size_t(n);
        if (got == length) break;
        const qint64 left = ReadWaitMs - waited.elapsed();
        if (left <= 0) break;
        if (!socket_->waitForReadyRead(int(left)) && socket_->bytesAvailable() == 0) break;
    }
    if (got == length) return out;
    discardPending();
    return std::nullopt;
}

void OverlayPipeClient::discardPending()
{
    if (!socket_) return;
    // Take what Qt holds and what the system holds, without waiting for more (bounded: a writer
    // that never stops cannot keep this loop going).
    for (int round = 0; round < 64; ++round) {
        socket_->skip(socket_->bytesAvailable());
        if (!socket_->waitForReadyRead(0)) break;
    }
    socket_->skip(socket_->bytesAvailable());
}

}  // namespace lumo
