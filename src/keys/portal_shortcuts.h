// The desktop's global shortcuts portal over D-Bus (org.freedesktop.portal.GlobalShortcuts):
// one session whose shortcuts the desktop binds, with its own dialog where it has one, and
// whose presses and releases it reports wherever the focus is. What the calls return and the
// signals carry is checked for shape here and judged by portal::ShortcutSession; nothing from
// the bus is trusted further than that.
#pragma once

#include "core/keys/portal_session.h"

#include <QDBusConnection>
#include <QHash>
#include <QLoggingCategory>
#include <QObject>
#include <QString>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace lumo {

// What happens to the keys, with --verbose (or QT_LOGGING_RULES="lumo.keys.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lumoKeys)

struct PortalShortcut {
    QString id;                // the session's name for it ("push-to-talk"); see portal::validShortcutId
    QString description;       // what the desktop's dialog says it does
    QString preferredTrigger;  // a trigger as the XDG shortcuts format writes it ("F9"); may be empty
};

class PortalShortcuts : public QObject {
    Q_OBJECT
public:
    PortalShortcuts(const QDBusConnection& bus, const QList<PortalShortcut>& shortcuts, QObject* parent = nullptr);
    // Closes the session, if one was made.
    ~PortalShortcuts() override;

    // Asks the portal; the answers come later (changed()).
    void start();

    portal::Phase phase() const { return session_.phase(); }
    // What the desktop says triggers the shortcut ("F9"); empty while it is not bound.
    QString trigger(const QString& id) const;
    bool held(const QString& id) const { return session_.held(id.toStdString()); }

    // How long a call may go unanswered before the portal counts as absent. The binding dialog
    // itself is answered through a signal and may take the player as long as they like.
    static constexpr int CallTimeoutMs = 10000;
    // Bounds on what is read from the bus.
    static constexpr int MaxBoundShortcuts = 64;
    static constexpr int MaxTriggerChars = 64;

signals:
    void pressed(const QString& id);
    void released(const QString& id);
    void changed();

private slots:
    void onResponse(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);
    void onDeactivated(const QDBusMessage& message);
    void onShortcutsChanged(const QDBusMessage& message);
    void onSessionClosed(const QDBusMessage& message);

private:
    enum class Call { CreateSession, BindShortcuts };
    void apply(const portal::ShortcutSession::Step& step);
    void askVersion();
    void createSession();
    void bindShortcuts();
    struct Expected {
        QString token;
        QString path;  // where the portal puts the request; empty when it cannot be known
    };
    // Makes a token and listens for the Response at the path the portal will use for it.
    Expected expectResponse(Call call);
    void listenForResponse(const QString& path, Call call);
    void stopListening(const QString& path);
    // The call's reply names the request's real path (older portals pick their own).
    void watchRequestReply(QDBusPendingCallWatcher* watcher, const QString& expectedPath, Call call);
    void callFailed(Call call);
    void listenToSession(const QString& handle);
    bool fromSession(const QDBusMessage& message, QString* id) const;
    void closeSession();

    QDBusConnection bus_;
    QList<PortalShortcut> shortcuts_;
    portal::ShortcutSession session_;
    QDBusServiceWatcher* serviceWatcher_ = nullptr;
    QHash<QString, Call> requests_;  // Request paths waiting for their Response
    QString sessionPath_;            // the session whose Closed signal is listened for
    quint64 tokens_ = 0;
};

}  // namespace lumo
