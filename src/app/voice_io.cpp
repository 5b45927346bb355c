#include "app/voice_io.h"

#include "net/group_endpoint.h"
#include "voice/voice_capture.h"
#include "voice/voice_player.h"

#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lumoVoice)

namespace lumo {

VoiceIo::VoiceIo(GroupEndpoint& endpoint, AudioSystem& audio, QObject* parent)
    : QObject(parent), endpoint_(endpoint), audio_(audio), capture_(std::make_unique<VoiceCapture>(audio))
{
    stallTimer_ = new QTimer(this);
    connect(stallTimer_, &QTimer::timeout, this, &VoiceIo::lookForStall);
    // skipTime moves the endpoint's clock, on which the stall watch decides.
    connect(&endpoint_, &GroupEndpoint::timeSkipped, this, &VoiceIo::lookForStall);
    connect(&endpoint_, &GroupEndpoint::playbackRequested, this, &VoiceIo::play);
    connect(&endpoint_, &GroupEndpoint::slotReleased, this, [this](int slot) {
        if (slot < 0 || slot >= int(players_.size())) return;
        players_[std::size_t(slot)].reset();
        resumed_[std::size_t(slot)] = false;
    });
    endpoint_.setMicrophoneSwitch([this](bool on) { return switchMicrophone(on); });

    capture_->setBlockSink([this](const VoiceRecord& record) {
        if (!muted_.load()) endpoint_.sendVoiceBlock(record);
    });
    // Heard on the capture thread; acted on here, on the window's thread. Invoked by name, so the
    // queued call is built inside Qt: a slot object built here on the capture thread and read on
    // the window's would look to the thread sanitizer like a race across Qt's event queue.
    capture_->setLostSink([this] { QMetaObject::invokeMethod(this, "microphoneLost", Qt::QueuedConnection); });
}

VoiceIo::~VoiceIo()
{
    endpoint_.setMicrophoneSwitch({});
    // The capture thread sends through the endpoint: it stops before this object goes.
    capture_->setLostSink({});
    capture_->setEnabled(false);
    capture_->StopAll();
    capture_->setBlockSink({});
}

bool VoiceIo::switchMicrophone(bool on)
{
    if (!on) {
        capture_->StopAll();
        capture_->setEnabled(false);
        stallWatch_.stop();
        stallTimer_->stop();  // an idle program wakes for nothing
        return false;
    }
    capture_->setEnabled(true);
    if (!capture_->StartAll()) {
        capture_->setEnabled(false);
        return false;
    }
    stallWatch_.start(endpoint_.now(), capture_->blocksSeen());
    stallTimer_->start(int(stallWatch_.lookEveryMs()));
    return true;
}

void VoiceIo::lookForStall()
{
    if (!stallWatch_.watching()) return;
    // A capture that ended by itself is told through the lost sink; the watch waits meanwhile.
    if (!capture_->recording()) {
        stallWatch_.start(endpoint_.now(), capture_->blocksSeen());
        return;
    }
    if (stallWatch_.look(endpoint_.now(), capture_->blocksSeen())) microphoneLost();
}

void VoiceIo::microphoneLost() { endpoint_.microphoneLost(); }

void VoiceIo::play(const VoicePlayback& playback)
{
    if (playback.slot < 0 || playback.slot >= int(players_.size())) return;
    std::unique_ptr<VoicePlayer>& player = players_[std::size_t(playback.slot)];
    if (deafened_) {
        resumed_[std::size_t(playback.slot)] = true;  // played from the next block once hearing again
        player.reset();
        return;
    }
    if (!playback.firstBlock) {
        if (!player && resumed_[std::size_t(playback.slot)]) {
            // Hearing again after deafen: the member's stream goes on in a new player.
            resumed_[std::size_t(playback.slot)] = false;
            player = std::make_unique<VoicePlayer>(audio_, playback.memberId);
            player->setVolume(memberVolume(playback.memberId));
            if (!player->StartAll()) qCDebug(lumoVoice) << "no output device for member" << playback.memberId;
        }
        if (player) player->Submit(playback.record, playback.gainBoost);
        return;
    }
    resumed_[std::size_t(playback.slot)] = false;
    qCDebug(lumoVoice) << "voice from member" << playback.memberId << "begins in slot" << playback.slot
                       << "sequence" << playback.record.sequence;
    player = std::make_unique<VoicePlayer>(audio_, playback.memberId);
    player->setVolume(memberVolume(playback.memberId));
    // The first block of a new member is heard at once, before any question.
    int length = 0;
    if (!capture_->DecodeRecord(playback.record, pcmScratch_.data(), &length)) {
        qCDebug(lumoVoice) << "first voice block of member" << playback.memberId << "could not be decoded";
        return;
    }
    applyVolume(pcmScratch_.data(), std::clamp(length / 2, 0, int(pcmScratch_.size())), player->volume(), false);
    if (!player->StartAll()) qCDebug(lumoVoice) << "no output device for member" << playback.memberId;
    player->Play(pcmScratch_.data(), length);
}

void VoiceIo::setDeafened(bool on)
{
    if (on == deafened_) return;
    deafened_ = on;
    if (!on) return;
    // The players that were playing are let go; their members' next voice starts new ones.
    for (std::size_t slot = 0; slot < players_.size(); ++slot) {
        resumed_[slot] = players_[slot] != nullptr;
        players_[slot].reset();
    }
}

void VoiceIo::pushToTalk(bool down)
{
    // While the key is held everything is sent: the player chose the moments to talk.
    pushToTalkHeld_ = down;
    capture_->setQuietLimit(down ? -1 : quietLimit_);
    if (down == endpoint_.session().talking()) return;
    endpoint_.setVoice(down);
}

void VoiceIo::setQuietLimit(int limit)
{
    quietLimit_ = limit;
    if (!pushToTalkHeld_) capture_->setQuietLimit(limit);
}

int VoiceIo::inputLevel() const { return capture_->lastLevel(); }

bool VoiceIo::capturing() const { return capture_->recording(); }

void VoiceIo::setMemberVolume(int memberId, int percent)
{
    if (memberId < 0 || memberId >= int(volumes_.size())) return;
    volumes_[std::size_t(memberId)] = clampVolume(percent);
    for (const auto& player : players_)
        if (player && player->memberId() == memberId) player->setVolume(volumes_[std::size_t(memberId)]);
}

int VoiceIo::memberVolume(int memberId) const
{
    if (memberId < 0 || memberId >= int(volumes_.size())) return DefaultVolumePercent;
    return volumes_[std::size_t(memberId)];
}

}  // namespace lumo
