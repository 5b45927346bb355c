#include "link/mailbox.h"

#include <QLoggingCategory>

#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <cerrno>

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// What passes between the main program and the overlay, and what is dropped (debug level).
Q_LOGGING_CATEGORY(lumoLink, "lumo.link", QtInfoMsg)

namespace lumo {

namespace {

// How long a lookup waits for a connection. Local sockets connect at once or not at all; the
// bound only matters when the listener's backlog is full.
constexpr int LookupWaitMs = 200;
// A receiver that stops reading must not make its senders grow without bound.
constexpr qint64 MaxUnsentBytes = 64 * 1024;

// Whether something listens at `path`. A listener too busy to take the connection (its backlog
// full because its event loop is not running) still counts: it is alive. Only a missing file, a
// file nobody listens on or one we may not use mean nobody is there.
bool answers(const QString& path)
{
    QLocalSocket probe;
    probe.connectToServer(path);
    bool alive = probe.waitForConnected(LookupWaitMs);
    if (!alive) {
        const auto error = probe.error();
        alive = error != QLocalSocket::ServerNotFoundError && error != QLocalSocket::ConnectionRefusedError &&
                error != QLocalSocket::SocketAccessError;
    }
    probe.abort();
    return alive;
}

}  // namespace

QString linkDirectory()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) return {};
    const QString dir = runtime + QStringLiteral("/lumo");
    const QByteArray native = dir.toLocal8Bit();
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) return {};
    // The directory must be ours and nobody else's: not a link someone placed, not shared.
    struct stat info = {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return {};
    if ((info.st_mode & 0777) != 0700 && ::chmod(native.constData(), 0700) != 0) return {};
    return dir;
}

QString linkSocketPath(const QString& name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/'))) return {};
    const QString dir = linkDirectory();
    if (dir.isEmpty()) return {};
    const QString path = dir + QLatin1Char('/') + name;
    if (std::size_t(path.toLocal8Bit().size()) >= sizeof(sockaddr_un::sun_path)) return {};
    return path;
}

bool listenPrivately(QLocalServer& server, const QString& name)
{
    const QString path = linkSocketPath(name);
    if (path.isEmpty()) return false;
    // A live listener keeps its name. (Qt creates a user-only socket beside the name and renames
    // it into place, which would silently take the name from a live listener, so ask first.)
    if (answers(path)) return false;
    // Nothing answers: any file there was left behind by a process that died.
    QLocalServer::removeServer(path);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    return server.listen(path);
}

// --- Mailbox ------------------------------------------------------------------------------

Mailbox::Mailbox(const QString& title, QObject* parent) : QObject(parent), title_(title) {}

Mailbox::~Mailbox() { close(); }

bool Mailbox::open()
{
    if (isOpen()) return true;
    auto* server = new QLocalServer(this);
    if (!listenPrivately(*server, title_)) {
        delete server;
        return false;
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &Mailbox::acceptSenders);
    return true;
}

void Mailbox::close()
{
    for (Sender* sender : std::as_const(senders_)) {
        if (sender->socket) {
            sender->socket->disconnect(this);
            sender->socket->abort();
            sender->socket->deleteLater();
        }
        delete sender;
    }
    senders_.clear();
    if (server_) {
        server_->close();  // removes the socket file
        delete server_;
        server_ = nullptr;
    }
}

bool Mailbox::isOpen() const { return server_ && server_->isListening(); }

bool Mailbox::exists(const QString& title)
{
    const QString path = linkSocketPath(title);
    return !path.isEmpty() && answers(path);
}

void Mailbox::acceptSenders()
{
    while (server_ && server_->hasPendingConnections()) {
        QLocalSocket* socket = server_->nextPendingConnection();
        if (!socket) break;
        if (senders_.size() >= MaxSenders) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto* sender = new Sender{socket, {}};
        senders_.append(sender);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            readFrom(socket);  // what arrived before the sender hung up still counts
            dropSender(socket);
        });
        readFrom(socket);
    }
}

void Mailbox::readFrom(QLocalSocket* socket)
{
    Sender* sender = nullptr;
    for (Sender* s : std::as_const(senders_))
        if (s->socket == socket) sender = s;
    if (!sender) return;
    std::vector<link::Post> posts;
    char buffer[1024];
    for (;;) {
        const qint64 n = socket->read(buffer, sizeof buffer);
        if (n <= 0) break;
        if (!sender->reader.feed(ByteView(reinterpret_cast<const std::uint8_t*>(buffer), std::size_t(n)), posts)) break;
    }
    for (const link::Post& post : posts)
        QMetaObject::invokeMethod(this, [this, post] { emit received(post.code, post.value); }, Qt::QueuedConnection);
    for (const link::Post& post : posts)
        qCDebug(lumoLink).noquote() << "mailbox" << title_ << "received code" << post.code << "value" << post.value;
    // Bytes that are not posts: this sender is not one of ours; hang up on it.
    if (sender->reader.broken()) {
        qCDebug(lumoLink).noquote() << "mailbox" << title_ << "dropped a sender: it sent bytes that are not posts";
        dropSender(socket);
    }
}

void Mailbox::dropSender(QLocalSocket* socket)
{
    for (qsizetype i = 0; i < senders_.size(); ++i) {
        if (senders_[i]->socket != socket) continue;
        delete senders_.takeAt(i);
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        return;
    }
}

// --- MailboxPoster ------------------------------------------------------------------------

MailboxPoster::MailboxPoster(const QString& title, QObject* parent) : QObject(parent), title_(title) {}

MailboxPoster::~MailboxPoster()
{
    // Whatever was posted is already with the system: flush it, then hang up.
    if (socket_) {
        socket_->flush();
        socket_->disconnectFromServer();
    }
}

bool MailboxPoster::hasDestination() const { return socket_ && socket_->state() == QLocalSocket::ConnectedState; }

void MailboxPoster::forget()
{
    if (!socket_) return;
    socket_->disconnect(this);
    socket_->flush();
    socket_->disconnectFromServer();
    socket_->deleteLater();
    socket_ = nullptr;
}

bool MailboxPoster::lookUp()
{
    forget();
    const QString path = linkSocketPath(title_);
    if (path.isEmpty()) return false;
    auto* socket = new QLocalSocket(this);
    socket->connectToServer(path);
    if (!socket->waitForConnected(LookupWaitMs)) {
        delete socket;
        return false;
    }
    // A mailbox never answers; whatever it sends is read and dropped so it cannot pile up.
    connect(socket, &QLocalSocket::readyRead, this, [socket] { socket->skip(socket->bytesAvailable()); });
    socket_ = socket;
    return true;
}

bool MailboxPoster::post(int code, int value)
{
    if (!hasDestination() && !lookUp()) {
        qCDebug(lumoLink).noquote() << "dropped code" << code << "value" << value << "for" << title_ << ": no such window";
        return false;
    }
    qCDebug(lumoLink).noquote() << "posted code" << code << "value" << value << "to" << title_;
    const Bytes bytes = link::encodePost({code, value});
    if (socket_->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size())) {
        forget();
        return false;
    }
    socket_->flush();
    if (socket_->bytesToWrite() > MaxUnsentBytes) {
        // The receiver has stopped reading: treat it as gone rather than queue without end.
        qCDebug(lumoLink).noquote() << title_ << "stopped reading its mailbox: taken for gone";
        socket_->abort();
        forget();
        return false;
    }
    return true;
}

}  // namespace lumo
