// Desktop notifications through the session bus's notification service
// (org.freedesktop.Notifications). Every call is asynchronous: without a bus or a service nothing
// waits and nothing is reported. Notifications are paced: the first goes at once, what arrives
// within MinIntervalMs after it is gathered into one that replaces it on the desktop, so a flood
// of texts is one bubble that changes, not thousands.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <cstdint>

namespace lumo {

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int MinIntervalMs = 1000;

    explicit DesktopNotifier(QObject* parent = nullptr);

    // Plain text: the body is escaped, since services may read it as markup.
    void notify(const QString& summary, const QString& body);
    bool busConnected() const { return connected_; }

signals:
    // The player clicked one of this program's notifications.
    void activated();

private slots:
    void onActionInvoked(uint id, const QString& actionKey);

private:
    void sendPending();

    bool connected_ = false;
    QString pendingSummary_;
    QString pendingBody_;
    int pendingCount_ = 0;
    QElapsedTimer sinceLast_;
    QTimer pace_;
    std::uint32_t lastId_ = 0;  // the bubble on the desktop, replaced by the next one
    QSet<uint> ownIds_;         // ids the service gave this program (bounded)
};

}  // namespace lumo
