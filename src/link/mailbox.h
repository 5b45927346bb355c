// The local channels between lumo and its overlay, private to the user: mailboxes named after a
// window title ("LUMO", "gamein") that take {code, value} posts, and the place of the pipe.
// Everything lives as socket files in <runtime directory>/lumo, where the runtime directory is
// the user's XDG_RUNTIME_DIR (or Qt's private fallback); sockets are created user-only.
#pragma once

#include "core/link/link_records.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace lumo {

// <runtime directory>/lumo, created (mode 0700) when missing; empty when it cannot be made safe.
QString linkDirectory();
// The socket file of a mailbox title or a pipe name; empty when there is no link directory or
// the path would not fit a socket address.
QString linkSocketPath(const QString& name);

// Listens on `name` in the link directory, user-only. A socket file left behind by a process that
// died is removed first; a name that a live process still serves is left alone (false).
bool listenPrivately(QLocalServer& server, const QString& name);

// The receiving end of a window title. Posts arrive through the event loop, in the order each
// sender posted them; `received` is emitted from a queued call, never from inside socket
// handling, so a handler may open a modal box.
class Mailbox : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxSenders = 16;

    explicit Mailbox(const QString& title, QObject* parent = nullptr);
    ~Mailbox() override;

    // Starts receiving; false when the title is taken by a live mailbox or cannot be served.
    bool open();
    void close();
    bool isOpen() const;
    const QString& title() const { return title_; }

    // Whether a live mailbox answers to `title`.
    static bool exists(const QString& title);

signals:
    void received(int code, int value);

private:
    void acceptSenders();
    void readFrom(QLocalSocket* socket);
    void dropSender(QLocalSocket* socket);

    struct Sender {
        QPointer<QLocalSocket> socket;
        link::PostReader reader;
    };

    QString title_;
    QLocalServer* server_ = nullptr;
    QList<Sender*> senders_;
};

// The posting end towards one title, with the destination cached as a window handle would be:
// looked up by the first post after forget() or after the destination went away.
class MailboxPoster : public QObject {
    Q_OBJECT
public:
    explicit MailboxPoster(const QString& title, QObject* parent = nullptr);
    ~MailboxPoster() override;

    // Delivers {code, value} to the mailbox (asynchronously: its owner sees it from its event
    // loop). False, with nothing done, when no mailbox answers to the title.
    bool post(int code, int value);
    // Drops the cached destination so that the next post looks the title up again.
    void forget();
    bool hasDestination() const;

private:
    bool lookUp();

    QString title_;
    QLocalSocket* socket_ = nullptr;
};

}  // namespace lumo
