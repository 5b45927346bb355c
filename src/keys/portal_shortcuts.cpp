#include "keys/portal_shortcuts.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QLoggingCategory>
#include <QRandomGenerator>

namespace lumo {

Q_LOGGING_CATEGORY(lumoKeys, "lumo.keys", QtWarningMsg)

namespace {

using ShortcutList = QList<QPair<QString, QVariantMap>>;

QString text(std::string_view view) { return QString::fromLatin1(view.data(), qsizetype(view.size())); }

const QString ServiceName = text(portal::Service);
const QString DesktopPath = text(portal::ObjectPath);
const QString ShortcutsInterface = text(portal::Interface);

// A trigger as the desktop describes it, made fit to show: printable characters only, bounded.
QString cleanTrigger(const QString& trigger)
{
    QString out;
    for (const QChar c : trigger)
        if (c.isPrint()) out += c;
    return out.simplified().left(PortalShortcuts::MaxTriggerChars);
}

// The shortcuts of a Response or a ShortcutsChanged signal (a(sa{sv})); anything of another
// shape gives none.
std::vector<portal::BoundShortcut> boundShortcuts(const QVariant& value)
{
    std::vector<portal::BoundShortcut> out;
    if (value.userType() != qMetaTypeId<QDBusArgument>()) return out;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String("a(sa{sv})")) return out;
    // Each begin is paired with its end, also when the list is cut short: the argument keeps a
    // reader per level until then.
    argument.beginArray();
    while (!argument.atEnd() && int(out.size()) < PortalShortcuts::MaxBoundShortcuts) {
        QString id;
        QVariantMap info;
        argument.beginStructure();
        argument >> id >> info;
        argument.endStructure();
        const QVariant trigger = info.value(QStringLiteral("trigger_description"));
        out.push_back({id.toStdString(),
                       trigger.typeId() == QMetaType::QString ? cleanTrigger(trigger.toString()).toStdString() : std::string()});
    }
    argument.endArray();
    return out;
}

// An object path sent as either a string or an object path (the portal sends the session handle
// of CreateSession as a string, for historical reasons).
QString pathOf(const QVariant& value)
{
    if (value.typeId() == QMetaType::QString) return value.toString();
    if (value.userType() == qMetaTypeId<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
    return {};
}

}  // namespace

PortalShortcuts::PortalShortcuts(const QDBusConnection& bus, const QList<PortalShortcut>& shortcuts, QObject* parent)
    : QObject(parent), bus_(bus), shortcuts_(shortcuts), session_([&shortcuts] {
          std::vector<std::string> ids;
          for (const PortalShortcut& shortcut : shortcuts) ids.push_back(shortcut.id.toStdString());
          return ids;
      }())
{
    qDBusRegisterMetaType<QPair<QString, QVariantMap>>();
    qDBusRegisterMetaType<ShortcutList>();
}

PortalShortcuts::~PortalShortcuts() { closeSession(); }

void PortalShortcuts::start()
{
    if (!bus_.isConnected()) {
        qCDebug(lumoKeys) << "no session bus: no global shortcuts portal";
        session_.start();
        apply(session_.portalAnswered(std::nullopt));
        return;
    }
    const QString path = DesktopPath;
    const QString iface = ShortcutsInterface;
    bus_.connect(ServiceName, path, iface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    bus_.connect(ServiceName, path, iface, QStringLiteral("Deactivated"), this, SLOT(onDeactivated(QDBusMessage)));
    bus_.connect(ServiceName, path, iface, QStringLiteral("ShortcutsChanged"), this, SLOT(onShortcutsChanged(QDBusMessage)));
    serviceWatcher_ = new QDBusServiceWatcher(ServiceName, bus_,
                                              QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
    connect(serviceWatcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        qCDebug(lumoKeys) << "the portal left the bus";
        requests_.clear();
        sessionPath_.clear();
        apply(session_.portalGone());
    });
    connect(serviceWatcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] { apply(session_.portalBack()); });
    apply(session_.start());
}

QString PortalShortcuts::trigger(const QString& id) const
{
    const auto trigger = session_.trigger(id.toStdString());
    return trigger ? QString::fromStdString(*trigger) : QString();
}

void PortalShortcuts::apply(const portal::ShortcutSession::Step& step)
{
    using Send = portal::ShortcutSession::Send;
    switch (step.send) {
    case Send::Nothing: break;
    case Send::AskVersion: askVersion(); break;
    case Send::CreateSession: createSession(); break;
    case Send::BindShortcuts: bindShortcuts(); break;
    }
    for (const auto& [id, edge] : step.edges) {
        if (edge == KeyEdge::Down)
            emit pressed(QString::fromStdString(id));
        else
            emit released(QString::fromStdString(id));
    }
    if (step.changed) {
        static const char* const phases[] = {"asking", "creating a session", "binding", "bound", "refused", "absent", "lost"};
        qCDebug(lumoKeys) << "global shortcuts portal:" << phases[int(session_.phase())];
        emit changed();
    }
}

void PortalShortcuts::askVersion()
{
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, DesktopPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << ShortcutsInterface << QStringLiteral("version");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *finished;
        std::optional<std::uint32_t> version;
        if (reply.isError()) {
            qCDebug(lumoKeys) << "no global shortcuts portal:" << reply.error().name();
        } else if (const QVariant value = reply.value().variant(); value.typeId() == QMetaType::UInt) {
            version = value.toUInt();
        }
        apply(session_.portalAnswered(version));
    });
}

PortalShortcuts::Expected PortalShortcuts::expectResponse(Call call)
{
    Expected expected;
    // Unique on the connection: the program and the overlay plug-in each run sessions of their
    // own on the one session bus connection, with separate copies of this code.
    expected.token = QStringLiteral("lumo_%1_%2").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0')).arg(++tokens_);
    expected.path = QString::fromStdString(portal::requestPath(bus_.baseService().toStdString(), expected.token.toStdString()));
    if (!expected.path.isEmpty()) listenForResponse(expected.path, call);
    return expected;
}

void PortalShortcuts::listenForResponse(const QString& path, Call call)
{
    if (requests_.contains(path)) return;
    requests_.insert(path, call);
    bus_.connect(ServiceName, path, text(portal::RequestInterface), QStringLiteral("Response"), this,
                 SLOT(onResponse(QDBusMessage)));
}

void PortalShortcuts::stopListening(const QString& path)
{
    requests_.remove(path);
    bus_.disconnect(ServiceName, path, text(portal::RequestInterface), QStringLiteral("Response"), this,
                    SLOT(onResponse(QDBusMessage)));
}

void PortalShortcuts::watchRequestReply(QDBusPendingCallWatcher* watcher, const QString& expectedPath, Call call)
{
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, expectedPath, call](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *finished;
        if (reply.isError()) {
            qCDebug(lumoKeys) << "portal call failed:" << reply.error().name() << reply.error().message();
            stopListening(expectedPath);
            callFailed(call);
            return;
        }
        const QString path = reply.value().path();
        if (path != expectedPath && portal::validObjectPath(path.toStdString())) {
            stopListening(expectedPath);
            listenForResponse(path, call);
        }
    });
}

void PortalShortcuts::callFailed(Call call)
{
    if (call == Call::CreateSession)
        apply(session_.sessionCreated(2, {}));
    else
        apply(session_.shortcutsBound(2, {}));
}

void PortalShortcuts::createSession()
{
    const Expected expected = expectResponse(Call::CreateSession);
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, DesktopPath, ShortcutsInterface, QStringLiteral("CreateSession"));
    call << QVariantMap{{QStringLiteral("handle_token"), expected.token}, {QStringLiteral("session_handle_token"), expected.token}};
    watchRequestReply(new QDBusPendingCallWatcher(bus_.asyncCall(call, CallTimeoutMs), this), expected.path, Call::CreateSession);
}

void PortalShortcuts::bindShortcuts()
{
    listenToSession(QString::fromStdString(session_.sessionHandle()));
    const Expected expected = expectResponse(Call::BindShortcuts);
    ShortcutList list;
    for (const PortalShortcut& shortcut : shortcuts_) {
        QVariantMap info{{QStringLiteral("description"), shortcut.description}};
        if (!shortcut.preferredTrigger.isEmpty()) info.insert(QStringLiteral("preferred_trigger"), shortcut.preferredTrigger);
        list.append({shortcut.id, info});
    }
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, DesktopPath, ShortcutsInterface, QStringLiteral("BindShortcuts"));
    call << QVariant::fromValue(QDBusObjectPath(QString::fromStdString(session_.sessionHandle()))) << QVariant::fromValue(list)
         << QString() << QVariantMap{{QStringLiteral("handle_token"), expected.token}};
    // The call returns the request at once; the Response follows once the player has answered the
    // desktop's dialog, however long that takes.
    watchRequestReply(new QDBusPendingCallWatcher(bus_.asyncCall(call, CallTimeoutMs), this), expected.path, Call::BindShortcuts);
}

void PortalShortcuts::onResponse(const QDBusMessage& message)
{
    const auto found = requests_.constFind(message.path());
    if (found == requests_.constEnd()) return;
    const Call call = found.value();
    stopListening(message.path());
    std::uint32_t response = 2;
    QVariantMap results;
    if (message.signature() == QLatin1String("ua{sv}")) {
        response = message.arguments().at(0).toUInt();
        results = qdbus_cast<QVariantMap>(message.arguments().at(1));
    }
    if (call == Call::CreateSession)
        apply(session_.sessionCreated(response, pathOf(results.value(QStringLiteral("session_handle"))).toStdString()));
    else
        apply(session_.shortcutsBound(response, boundShortcuts(results.value(QStringLiteral("shortcuts")))));
}

bool PortalShortcuts::fromSession(const QDBusMessage& message, QString* id) const
{
    if (message.signature() != QLatin1String("osta{sv}")) return false;
    if (message.arguments().at(0).value<QDBusObjectPath>().path().toStdString() != session_.sessionHandle()) return false;
    *id = message.arguments().at(1).toString();
    return true;
}

void PortalShortcuts::onActivated(const QDBusMessage& message)
{
    QString id;
    if (fromSession(message, &id)) apply(session_.activated(session_.sessionHandle(), id.toStdString()));
}

void PortalShortcuts::onDeactivated(const QDBusMessage& message)
{
    QString id;
    if (fromSession(message, &id)) apply(session_.deactivated(session_.sessionHandle(), id.toStdString()));
}

void PortalShortcuts::onShortcutsChanged(const QDBusMessage& message)
{
    if (message.signature() != QLatin1String("oa(sa{sv})")) return;
    const QString handle = message.arguments().at(0).value<QDBusObjectPath>().path();
    apply(session_.shortcutsChanged(handle.toStdString(), boundShortcuts(message.arguments().at(1))));
}

void PortalShortcuts::listenToSession(const QString& handle)
{
    if (sessionPath_ == handle) return;
    sessionPath_ = handle;
    bus_.connect(ServiceName, handle, text(portal::SessionInterface), QStringLiteral("Closed"), this,
                 SLOT(onSessionClosed(QDBusMessage)));
}

void PortalShortcuts::onSessionClosed(const QDBusMessage& message)
{
    if (message.path() != sessionPath_) return;
    sessionPath_.clear();
    apply(session_.sessionClosed(message.path().toStdString()));
}

void PortalShortcuts::closeSession()
{
    const std::string& handle = session_.sessionHandle();
    if (handle.empty() || !bus_.isConnected()) return;
    // Nothing waits for the answer: the session is ours to end, and the program may be ending.
    bus_.send(QDBusMessage::createMethodCall(ServiceName, QString::fromStdString(handle), text(portal::SessionInterface),
                                             QStringLiteral("Close")));
}

}  // namespace lumo
