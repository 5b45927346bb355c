// A private session bus (a dbus-daemon of the test's own) and on it a stand-in for the desktop's
// global shortcuts portal (org.freedesktop.portal.GlobalShortcuts), answering as the real portal
// does: requests at /org/freedesktop/portal/desktop/request/SENDER/TOKEN with their Response
// signal, sessions at .../session/SENDER/TOKEN, Activated and Deactivated signals when the test
// "presses" a bound shortcut. What the program sent is kept for the test to look at.
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <optional>

namespace lumo::test {

// A dbus-daemon of the test's own; address() is empty when none could be started.
class PrivateBus {
public:
    static bool available() { return !QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty(); }
    PrivateBus()
    {
        daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                      QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
        if (!daemon_.waitForStarted(5000)) return;
        QElapsedTimer timer;
        timer.start();
        while (!daemon_.canReadLine() && daemon_.state() == QProcess::Running && timer.elapsed() < 5000)
            daemon_.waitForReadyRead(100);
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        if (daemon_.state() == QProcess::NotRunning) return;
        daemon_.terminate();
        if (!daemon_.waitForFinished(3000)) daemon_.kill();
    }
    const QString& address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

using PortalShortcutList = QList<QPair<QString, QVariantMap>>;

class StandInPortal : public QDBusVirtualObject {
public:
    static inline const QString Service = QStringLiteral("org.freedesktop.portal.Desktop");
    static inline const QString Path = QStringLiteral("/org/freedesktop/portal/desktop");
    static inline const QString Interface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

    struct Bind {
        QString session;
        PortalShortcutList shortcuts;
        QString requestPath;
    };

    // How it answers; a test may change these before the program asks.
    std::optional<uint> version = 1u;
    uint createResponse = 0;
    uint bindResponse = 0;
    bool holdBind = false;            // the desktop's dialog stays open until answerBind()
    QMap<QString, QString> triggers;  // what it binds each id to; ids without one stay unbound
    bool bindAll = true;              // ids missing from `triggers` are bound to their preferred trigger

    QStringList sessions;  // session handles it created
    QList<Bind> binds;
    QStringList closed;    // sessions the program closed

    // Connects to the bus as a client of its own; owns the portal's name from registered().
    explicit StandInPortal(const QString& busAddress, const QString& connectionName = QStringLiteral("lumo-standin-portal"))
        : bus_(QDBusConnection::connectToBus(busAddress, connectionName))
    {
        qDBusRegisterMetaType<QPair<QString, QVariantMap>>();
        qDBusRegisterMetaType<PortalShortcutList>();
        bus_.registerVirtualObject(Path, this, QDBusConnection::SubPath);
    }
    ~StandInPortal() override
    {
        bus_.unregisterObject(Path, QDBusConnection::UnregisterTree);
        const QString name = bus_.name();
        QDBusConnection::disconnectFromBus(name);
    }
    bool connected() const { return bus_.isConnected(); }
    bool registerName() { return bus_.registerService(Service); }
    bool unregisterName() { return bus_.unregisterService(Service); }

    QString lastSession() const { return sessions.isEmpty() ? QString() : sessions.last(); }
    // The player presses or lets go of a shortcut of the last session (or another one).
    void activate(const QString& id, const QString& session = {}) { shortcutSignal(QStringLiteral("Activated"), id, session); }
    void deactivate(const QString& id, const QString& session = {}) { shortcutSignal(QStringLiteral("Deactivated"), id, session); }
    // The desktop ends the session by itself.
    void closeSession()
    {
        bus_.send(QDBusMessage::createSignal(lastSession(), QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Closed"))
                  << QVariantMap());
    }
    // The player changed the bindings in the desktop's settings.
    void changeShortcuts(const PortalShortcutList& shortcuts)
    {
        QDBusMessage signal = QDBusMessage::createSignal(Path, Interface, QStringLiteral("ShortcutsChanged"));
        signal << QVariant::fromValue(QDBusObjectPath(lastSession())) << QVariant::fromValue(shortcuts);
        bus_.send(signal);
    }
    // Answers the bind held open by holdBind.
    void answerBind() { respondToBind(binds.last()); }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QString member = message.member();
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties") && member == QLatin1String("Get")) {
            if (!version || message.arguments().value(0).toString() != Interface)
                connection.send(message.createErrorReply(QDBusError::UnknownProperty, QStringLiteral("no such property")));
            else
                connection.send(message.createReply(QVariant::fromValue(QDBusVariant(*version))));
            return true;
        }
        if (message.interface() == QLatin1String("org.freedesktop.portal.Session") && member == QLatin1String("Close")) {
            closed << message.path();
            connection.send(message.createReply());
            return true;
        }
        if (message.interface() != Interface || message.path() != Path) return false;
        if (member == QLatin1String("CreateSession") && message.signature() == QLatin1String("a{sv}")) {
            const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().at(0));
            const QString request = requestPath(message.service(), options.value(QStringLiteral("handle_token")).toString());
            const QString session = Path + QStringLiteral("/session/") + sender(message.service()) + QLatin1Char('/') +
                                    options.value(QStringLiteral("session_handle_token")).toString();
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            if (createResponse == 0) sessions << session;
            // The session handle comes back as a string, as the real portal sends it.
            respondLater(request, createResponse, {{QStringLiteral("session_handle"), session}});
            return true;
        }
        if (member == QLatin1String("BindShortcuts") && message.signature() == QLatin1String("oa(sa{sv})sa{sv}")) {
            Bind bind;
            bind.session = message.arguments().at(0).value<QDBusObjectPath>().path();
            bind.shortcuts = qdbus_cast<PortalShortcutList>(message.arguments().at(1));
            const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().at(3));
            bind.requestPath = requestPath(message.service(), options.value(QStringLiteral("handle_token")).toString());
            binds << bind;
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(bind.requestPath))));
            if (!holdBind) respondToBind(bind);
            return true;
        }
        connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
        return true;
    }

private:
    static QString sender(QString unique) { return unique.mid(1).replace(QLatin1Char('.'), QLatin1Char('_')); }
    static QString requestPath(const QString& unique, const QString& token)
    {
        return Path + QStringLiteral("/request/") + sender(unique) + QLatin1Char('/') + token;
    }
    void respondLater(const QString& request, uint response, const QVariantMap& results)
    {
        QTimer::singleShot(0, [this, request, response, results] {
            QDBusMessage signal = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                             QStringLiteral("Response"));
            signal << response << results;
            bus_.send(signal);
        });
    }
    void respondToBind(const Bind& bind)
    {
        PortalShortcutList bound;
        for (const auto& [id, info] : bind.shortcuts) {
            const QString trigger = triggers.contains(id) ? triggers.value(id)
                                    : bindAll             ? info.value(QStringLiteral("preferred_trigger")).toString()
                                                          : QString();
            if (triggers.contains(id) || bindAll)
                bound.append({id, {{QStringLiteral("description"), info.value(QStringLiteral("description"))},
                                   {QStringLiteral("trigger_description"), trigger}}});
        }
        respondLater(bind.requestPath, bindResponse, {{QStringLiteral("shortcuts"), QVariant::fromValue(bound)}});
    }
    void shortcutSignal(const QString& name, const QString& id, const QString& session)
    {
        QDBusMessage signal = QDBusMessage::createSignal(Path, Interface, name);
        signal << QVariant::fromValue(QDBusObjectPath(session.isEmpty() ? lastSession() : session)) << id
               << QVariant::fromValue(qulonglong(1000)) << QVariantMap();
        bus_.send(signal);
    }

    QDBusConnection bus_;
};

}  // namespace lumo::test
