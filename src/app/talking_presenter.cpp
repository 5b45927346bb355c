#include "app/talking_presenter.h"

#include "app/voice_io.h"
#include "core/voice/sound_choices.h"
#include "net/group_endpoint.h"

#include <QTimer>

#include <algorithm>
#include <cmath>

namespace lumo {

TalkingPresenter::TalkingPresenter(Hooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)), expiry_(new QTimer(this)), levelTimer_(new QTimer(this))
{
    expiry_->setSingleShot(true);
    expiry_->setTimerType(Qt::PreciseTimer);  // off within 300 ms of the last record
    connect(expiry_, &QTimer::timeout, this, &TalkingPresenter::advance);
    levelTimer_->setInterval(LevelIntervalMs);
    connect(levelTimer_, &QTimer::timeout, this, &TalkingPresenter::showOwnLevel);
}

void TalkingPresenter::sessionEvent(const SessionEvent& event)
{
    switch (event.kind) {
    case SessionEvent::Kind::RosterChanged: resetAll(); break;
    case SessionEvent::Kind::TalkingChanged:
    case SessionEvent::Kind::MicrophoneLost: ownTalkingChanged(); break;
    default: break;
    }
}

void TalkingPresenter::voiceArrived(int memberId)
{
    if (indicator_.heard(memberId, hooks_.nowMs())) emit talkingChanged(memberId, true);
    if (!expiry_->isActive()) schedule();
}

void TalkingPresenter::advance()
{
    for (int memberId : indicator_.expire(hooks_.nowMs())) emit talkingChanged(memberId, false);
    schedule();
}

void TalkingPresenter::resetAll()
{
    for (int memberId : indicator_.clear()) emit talkingChanged(memberId, false);
    expiry_->stop();
    ownShownId_ = -1;  // the rows were drawn anew
    ownTalkingChanged();
}

void TalkingPresenter::schedule()
{
    const std::optional<std::int64_t> next = indicator_.nextDeadline();
    if (!next) {
        expiry_->stop();
        return;
    }
    expiry_->start(int(std::clamp<std::int64_t>(*next - hooks_.nowMs(), 0, TalkingIndicator::ClearAfterMs)));
}

void TalkingPresenter::ownTalkingChanged()
{
    if (hooks_.ownVoiceGoingOut()) {
        if (!levelTimer_->isActive()) levelTimer_->start();
        showOwnLevel();
        return;
    }
    levelTimer_->stop();
    if (ownShownId_ >= 0) emit ownLevel(ownShownId_, -1);
    ownShownId_ = -1;
}

void TalkingPresenter::showOwnLevel()
{
    const int id = hooks_.ownId();
    if (!hooks_.ownVoiceGoingOut() || id < 0) {
        ownTalkingChanged();
        return;
    }
    if (ownShownId_ >= 0 && ownShownId_ != id) emit ownLevel(ownShownId_, -1);
    ownShownId_ = id;
    emit ownLevel(id, levelPercent(hooks_.ownLevel()));
}

int TalkingPresenter::levelPercent(int level) { return int(std::lround(meterFraction(level) * 100.0)); }

}  // namespace lumo

namespace lumo {

TalkingPresenter* TalkingPresenter::forEndpoint(GroupEndpoint& endpoint, VoiceIo& voice, QObject* parent)
{
    const MemberSession& session = endpoint.session();
    auto* presenter = new TalkingPresenter(
        {[&endpoint] { return std::int64_t(endpoint.now()); }, [&session] { return session.talking(); },
         [&voice] { return voice.inputLevel(); },
         [&session] { return session.roster().holds(session.ownEntry().id) ? int(session.ownEntry().id) : -1; }},
        parent);
    // Connected after the member list's own binding, so that a new roster is drawn first.
    QObject::connect(&endpoint, &GroupEndpoint::sessionEvent, presenter, &TalkingPresenter::sessionEvent);
    QObject::connect(&endpoint, &GroupEndpoint::playbackRequested, presenter,
                     [presenter](const VoicePlayback& playback) { presenter->voiceArrived(playback.memberId); });
    return presenter;
}

}  // namespace lumo
