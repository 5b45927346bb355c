#include "link/pipe_server.h"

#include "link/mailbox.h"

#include <QLocalServer>
#include <QLoggingCategory>
#include <QLocalSocket>

Q_DECLARE_LOGGING_CATEGORY(lumoLink)

namespace lumo {

namespace {

// An overlay that stops reading must not make the main program queue without bound.
constexpr qint64 MaxUnreadBytes = 64 * 1024;

}  // namespace


PipeServer::PipeServer(OverlayLinkOwner& owner, QObject* parent)
    : QObject(parent),
      owner_(owner),
      inbox_(new Mailbox(QString::fromLatin1(link::MainTitle), this)),
      toOverlay_(new MailboxPoster(QString::fromLatin1(link::OverlayTitle), this))
{
    inbox_->open();
    connect(inbox_, &Mailbox::received, this, &PipeServer::onLinkMessage);
}

PipeServer::~PipeServer() { closeOverlayPipe(); }

bool PipeServer::mailboxOpen() const { return inbox_->isOpen(); }

bool PipeServer::pipeOpen() const { return pipe_ != nullptr; }

bool PipeServer::overlayConnected() const { return client_ && client_->state() == QLocalSocket::ConnectedState; }

void PipeServer::forgetOverlayWindow() { toOverlay_->forget(); }

bool PipeServer::openOverlayPipe(std::uint8_t number)
{
    // Every request makes a new pipe; an older one (and its reader) gives way to it.
    closeOverlayPipe();
    auto* server = new QLocalServer(this);
    if (listenPrivately(*server, QString::fromStdString(link::pipeName(number)))) {
        pipe_ = server;
        connect(pipe_, &QLocalServer::newConnection, this, &PipeServer::acceptOverlay);
        qCDebug(lumoLink) << "pipe" << number << "open for the overlay";
    } else {
        qCDebug(lumoLink).noquote() << "pipe" << number << "could not be created:" << server->errorString();
        delete server;
        // No pipe: chat text keeps reaching the player in boxes, voice requests in the window.
        emit creationFailed();
    }
    postToOverlay(link::to_overlay::PipeReady, number);
    return true;
}

bool PipeServer::closeOverlayPipe()
{
    dropOverlay();
    if (pipe_) {
        pipe_->disconnect(this);
        pipe_->close();  // removes the socket file
        delete pipe_;
        pipe_ = nullptr;
    }
    toOverlay_->forget();
    return true;
}

void PipeServer::acceptOverlay()
{
    while (pipe_ && pipe_->hasPendingConnections()) {
        QLocalSocket* socket = pipe_->nextPendingConnection();
        if (!socket) break;
        if (overlayConnected()) {
            // One reader per pipe: a second one would take records meant for the first.
            qCDebug(lumoLink) << "refused a second reader of the pipe";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        dropOverlay();
        client_ = socket;
        // The overlay only reads; anything it writes is dropped unread.
        connect(socket, &QLocalSocket::readyRead, this, [socket] { socket->skip(socket->bytesAvailable()); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            if (client_ == socket) dropOverlay();
        });
    }
}

void PipeServer::dropOverlay()
{
    if (!client_) return;
    QLocalSocket* socket = client_;
    client_ = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

bool PipeServer::writePipe(const Bytes& bytes)
{
    if (!pipe_) return false;
    if (!overlayConnected()) {
        // The overlay may have connected since the event loop last looked.
        pipe_->waitForNewConnection(0);
        acceptOverlay();
    }
    if (!overlayConnected()) {
        qCDebug(lumoLink) << "pipe record of" << bytes.size() << "bytes not sent: nobody reads the pipe yet";
        return false;
    }
    if (client_->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size())) {
        qCDebug(lumoLink) << "pipe write failed: the overlay's reader is dropped";
        dropOverlay();
        return false;
    }
    client_->flush();
    if (client_->bytesToWrite() > MaxUnreadBytes) {
        qCDebug(lumoLink) << "the overlay stopped reading the pipe: its reader is dropped";
        dropOverlay();
        return false;
    }
    qCDebug(lumoLink) << "sent a pipe record of" << bytes.size() << "bytes";
    return true;
}

void PipeServer::postToOverlay(int code, int value) { toOverlay_->post(code, value); }

void PipeServer::sendRoster()
{
    if (!pipeOpen()) return;
    const Bytes bytes = link::encodeRosterMessage(owner_.overlayRoster());
    // An announcement goes out only for bytes that are in the pipe: the overlay reads exactly
    // what is announced.
    if (!writePipe(bytes)) return;
    postToOverlay(link::to_overlay::RosterSent, int(bytes.size()));
    // The overlay's new rows start unticked; tell it which of them are voice targets.
    sendSelection();
}

void PipeServer::sendSelection()
{
    if (!pipeOpen()) return;
    const Bytes bytes = link::encodeSelectionMessage(owner_.overlayVoiceTargets());
    if (!bytes.empty() && !writePipe(bytes)) return;
    postToOverlay(link::to_overlay::SelectionSent, int(bytes.size()));
}

void PipeServer::onLinkMessage(int code, int value)
{
    namespace code_ = link::to_main;
    // The overlay names members by their row in its list, which shows the roster as the main
    // list does: the newest member at the top. A row the list does not have (the overlay's menu
    // used with no row selected sends -1) names nobody, and the row codes then do nothing.
    const Roster& roster = owner_.overlayRoster();
    const int memberId = value >= 0 && value < roster.count ? roster.count - 1 - value : -1;

    switch (code) {
    case code_::OverlayOpened:
        openOverlayPipe(pipeNumber_);
        break;
    case code_::OverlayClosed:
        closeOverlayPipe();
        break;
    case code_::SelectMember:
    case code_::DeselectMember:
        if (memberId < 0) break;
        owner_.setMemberTicked(memberId, code == code_::SelectMember);
        break;
    case code_::AcceptVoice:
    case code_::RefuseVoice:
    case code_::AskAgain:
        if (memberId < 0) break;
        owner_.answerFromOverlay(memberId, code == code_::AcceptVoice   ? link::VoiceAnswer::Accepted
                                           : code == code_::RefuseVoice ? link::VoiceAnswer::Refused
                                                                        : link::VoiceAnswer::NotAsked);
        break;
    case code_::RefreshRoster:
        sendRoster();
        break;
    case code_::VoiceToggle:
        owner_.setTalking(value != 0);
        break;
    default:
        qCDebug(lumoLink) << "dropped link code" << code << ": not a code of the link";
        break;
    }
}

}  // namespace lumo
