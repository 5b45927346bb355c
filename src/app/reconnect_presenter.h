// Joining the group again by itself. When the host stops answering, or the network under this
// client changes (its addresses or the default route), the presenter joins again under the same
// name at the same host, with waits that grow from 1 s to 30 s (ReconnectSchedule), and says so
// on the status line until a join succeeds, the player presses "连接" or leaves.
//
// No widgets and no sockets: the window binds the signals, the hooks reach the endpoint and the
// machine. Time comes in through the `now` hook, so a test drives it on simulated time.
#pragma once

#include "core/group/member_session.h"
#include "core/group/reconnect_schedule.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class QTimer;

namespace lumo {

class GroupEndpoint;

class ReconnectPresenter : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<ReconnectSchedule::Millis()> now;
        // The session, as it is now: joined (and not joining anew), where, under which name.
        std::function<bool()> joined;
        std::function<std::optional<Ipv4>()> joinedHost;
        std::function<std::string()> joinedName;  // GBK
        std::function<MemberSession::ConnectProblem(const std::string& gbkName, std::optional<Ipv4> host)> connectTo;
        // The machine's network now; nullptr: changes are not watched.
        std::function<NetworkIdentity()> network;
    };
    // How often the network is looked at while in a group or joining again.
    static constexpr int NetworkCheckMs = 3000;

    ReconnectPresenter(Hooks hooks, QObject* parent = nullptr);
    // One that joins through `endpoint`, on the monotonic clock, watching this machine's network;
    // it hears the endpoint's session events, and refreshes the endpoint's own address when the
    // network changed (networkChanged follows, for what shows it).
    static ReconnectPresenter* forEndpoint(GroupEndpoint& endpoint, QObject* parent);

    // An event of the session, as the endpoint reports it.
    void showEvent(const SessionEvent& event);
    // The player pressed "连接" or is leaving: the attempts end, the player's own join decides.
    void playerTookOver();
    // Looks at the network and makes an attempt that is due (the timers call these; tests too).
    void checkNetwork();
    void runDue();

    bool retrying() const { return schedule_.active(); }
    const ReconnectSchedule& schedule() const { return schedule_; }

signals:
    // The standing status line about the host; empty once the group is joined again.
    void hostCondition(const QString& line);
    // The network changed: the own address shown and sent may have to change with it.
    void networkChanged();

private:
    enum class Cause { HostGone, NetworkChanged };
    void lose(Cause cause);
    void sayWhen();
    void stop();
    void rememberJoin();

    Hooks hooks_;
    ReconnectSchedule schedule_;
    Cause cause_ = Cause::HostGone;
    std::string name_;
    std::optional<Ipv4> host_;
    std::optional<NetworkIdentity> network_;
    QTimer* tick_ = nullptr;          // each second while retrying: the countdown and the attempts
    QTimer* networkTimer_ = nullptr;  // while in a group or retrying
};

}  // namespace lumo
