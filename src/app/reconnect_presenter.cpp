#include "app/reconnect_presenter.h"

#include "app/texts.h"
#include "net/group_endpoint.h"

#include <QTimer>

#include <chrono>

#include <utility>

namespace lumo {

ReconnectPresenter::ReconnectPresenter(Hooks hooks, QObject* parent) : QObject(parent), hooks_(std::move(hooks))
{
    tick_ = new QTimer(this);
    tick_->setInterval(1000);
    connect(tick_, &QTimer::timeout, this, &ReconnectPresenter::runDue);
    networkTimer_ = new QTimer(this);
    networkTimer_->setInterval(NetworkCheckMs);
    connect(networkTimer_, &QTimer::timeout, this, &ReconnectPresenter::checkNetwork);
}

void ReconnectPresenter::showEvent(const SessionEvent& event)
{
    using Event = SessionEvent::Kind;
    switch (event.kind) {
    case Event::HostGone: lose(Cause::HostGone); break;
    case Event::ConnectChanged:
        if (hooks_.joined()) {
            rememberJoin();
            stop();
        }
        break;
    default: break;
    }
}

void ReconnectPresenter::rememberJoin()
{
    name_ = hooks_.joinedName();
    host_ = hooks_.joinedHost();
    if (hooks_.network) {
        network_ = hooks_.network();
        networkTimer_->start();
    }
}

void ReconnectPresenter::playerTookOver()
{
    stop();
    // The player's join is the one to follow now; its success starts the watch again.
    networkTimer_->stop();
}

void ReconnectPresenter::stop()
{
    const bool was = schedule_.active();
    schedule_.stop();
    tick_->stop();
    if (was || hooks_.joined()) emit hostCondition(QString());
}

void ReconnectPresenter::lose(Cause cause)
{
    if (name_.empty()) return;  // never joined: nothing to join again
    cause_ = cause;
    schedule_.lost(hooks_.now());
    tick_->start();
    sayWhen();
}

void ReconnectPresenter::checkNetwork()
{
    if (!hooks_.network || !network_) return;
    NetworkIdentity now = hooks_.network();
    if (now == *network_) return;
    network_ = std::move(now);
    emit networkChanged();
    // The routers on the way have forgotten this client's flows and the host may know it at an
    // address it no longer has: join again, whether the host is still heard or not.
    if (hooks_.joined() || schedule_.active()) lose(Cause::NetworkChanged);
}

void ReconnectPresenter::runDue()
{
    const ReconnectSchedule::Millis now = hooks_.now();
    if (schedule_.attemptDue(now)) {
        emit hostCondition(text::Rejoining);
        hooks_.connectTo(name_, host_);
        return;
    }
    sayWhen();
}

void ReconnectPresenter::sayWhen()
{
    if (!schedule_.active()) return;
    const int seconds = schedule_.secondsUntilNext(hooks_.now());
    emit hostCondition((cause_ == Cause::HostGone ? text::HostGoneRetrying : text::NetworkChangedRetrying).arg(seconds));
}

}  // namespace lumo

namespace lumo {

ReconnectPresenter* ReconnectPresenter::forEndpoint(GroupEndpoint& endpoint, QObject* parent)
{
    const auto started = std::chrono::steady_clock::now();
    const MemberSession& session = endpoint.session();
    auto* presenter = new ReconnectPresenter(
        {[started] {
             return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
         },
         [&session] { return session.joined() && !session.connecting(); }, [&session] { return session.joinedHost(); },
         [&session] { return session.ownEntry().nameBytes(); },
         [&endpoint](const std::string& name, std::optional<Ipv4> host) { return endpoint.connectTo(name, host); },
         [] { return GroupEndpoint::currentNetwork(); }},
        parent);
    QObject::connect(&endpoint, &GroupEndpoint::sessionEvent, presenter, &ReconnectPresenter::showEvent);
    QObject::connect(presenter, &ReconnectPresenter::networkChanged, &endpoint, &GroupEndpoint::refreshOwnAddress);
    return presenter;
}

}  // namespace lumo
