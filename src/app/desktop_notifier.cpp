#include "app/desktop_notifier.h"

#include <QDBusConnection>
#include <QFileInfo>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace lumo {

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
constexpr int CallTimeoutMs = 5000;
constexpr int MaxBodyChars = 400;
constexpr int MaxOwnIds = 64;

// Whether a session bus is there to connect to: its address is given, or its socket is in the
// runtime folder. Without either, libdbus would try to start a bus through the X server
// (autolaunch), which a desktop without a session bus does not want.
bool sessionBusPresent()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent)
{
    pace_.setSingleShot(true);
    connect(&pace_, &QTimer::timeout, this, &DesktopNotifier::sendPending);
    if (!sessionBusPresent()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    connected_ = bus.isConnected();
    // Any sender: the service's unique name changes when it restarts; the ids tell ours apart.
    if (connected_)
        bus.connect(QString(), Path, Interface, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
}

void DesktopNotifier::notify(const QString& summary, const QString& body)
{
    if (!connected_) return;
    pendingSummary_ = summary;
    pendingBody_ = body;
    ++pendingCount_;
    if (!sinceLast_.isValid() || sinceLast_.elapsed() >= MinIntervalMs) {
        sendPending();
        return;
    }
    if (!pace_.isActive()) pace_.start(int(MinIntervalMs - sinceLast_.elapsed()));
}

void DesktopNotifier::sendPending()
{
    if (pendingCount_ == 0) return;
    QString body = pendingBody_.left(MaxBodyChars);
    if (pendingBody_.size() > MaxBodyChars) body += QStringLiteral("…");
    body = body.toHtmlEscaped();
    if (pendingCount_ > 1) body += QLatin1Char('\n') + tr("（另有 %1 条新消息）").arg(pendingCount_ - 1);
    pendingCount_ = 0;
    sinceLast_.start();

    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("lumo"));
    call << QStringLiteral("LUMO") << uint(lastId_) << QStringLiteral("lumo") << pendingSummary_ << body
         << QStringList{QStringLiteral("default"), tr("打开 LUMO")} << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError()) return;  // no service on the bus: the window and the tray still say it
        lastId_ = reply.value();
        if (ownIds_.size() >= MaxOwnIds) ownIds_.clear();
        ownIds_.insert(lastId_);
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString& actionKey)
{
    if (actionKey == QLatin1String("default") && ownIds_.contains(id)) emit activated();
}

}  // namespace lumo
