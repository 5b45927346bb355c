// The group's voice on this machine's devices: the microphone's capture (its blocks go out by the
// endpoint's send plan, from the capture thread), a player for each member heard, each member's
// volume, the push-to-talk gate rule and the watch for a microphone that falls silent. It carries
// out what the member session asks through the endpoint: start or stop the microphone, play a
// block, let a slot's player go. A plain QObject without widgets.
#pragma once

#include "core/group/member_session.h"
#include "core/voice/capture_stall_watch.h"
#include "core/voice/sound_choices.h"

#include <QObject>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

class QTimer;

namespace lumo {

class AudioSystem;
class GroupEndpoint;
class VoiceCapture;
class VoicePlayer;

class VoiceIo : public QObject {
    Q_OBJECT
public:
    // Both must outlive this object, which takes the endpoint's microphone requests and voice.
    VoiceIo(GroupEndpoint& endpoint, AudioSystem& audio, QObject* parent = nullptr);
    ~VoiceIo() override;

    // Push-to-talk: the key went down (talking starts as with the voice button, every block sent
    // whatever the gate says) or up (it stops).
    void pushToTalk(bool down);
    // The silence gate's limit (DefaultQuietLimit; negative: every block is sent).
    void setQuietLimit(int limit);
    // The gate level of the latest block the microphone gave, while capture runs.
    int inputLevel() const;
    bool capturing() const;
    // A member's output volume in per cent (100 as received), kept per member id and given to
    // that member's player now and whenever one is made.
    void setMemberVolume(int memberId, int percent);
    int memberVolume(int memberId) const;
    // Muted, nothing the microphone gives goes out: talking, push-to-talk and the gate go on as
    // they are, so that unmuting sends again at once. Deafened, nothing is played (the players
    // go, and come back with the next voice once hearing again); the questions still come.
    void setMuted(bool on) { muted_.store(on); }
    bool muted() const { return muted_.load(); }
    void setDeafened(bool on);
    bool deafened() const { return deafened_; }
    // A microphone that gives no block for this long while talking, on the endpoint's clock, is
    // taken as gone, as one whose device reports itself unplugged (some drivers only fall silent).
    void setCaptureStallLimit(Millis ms) { stallWatch_.setLimit(ms); }

private:
    bool switchMicrophone(bool on);
    void play(const VoicePlayback& playback);
    void lookForStall();
    // Invoked by name from the capture thread (see the constructor).
    Q_INVOKABLE void microphoneLost();

    GroupEndpoint& endpoint_;
    AudioSystem& audio_;
    std::unique_ptr<VoiceCapture> capture_;
    std::array<std::unique_ptr<VoicePlayer>, PeerSlots::Count> players_;
    std::array<bool, PeerSlots::Count> resumed_{};  // a slot whose player went when deafened
    std::array<std::int16_t, 1024> pcmScratch_{};  // a new member's first block, decoded
    int quietLimit_ = DefaultQuietLimit;
    bool pushToTalkHeld_ = false;
    std::atomic<bool> muted_{false};  // read by the capture thread
    bool deafened_ = false;
    CaptureStallWatch stallWatch_;
    QTimer* stallTimer_ = nullptr;
    std::array<int, RosterCapacity> volumes_ = [] {
        std::array<int, RosterCapacity> all{};
        all.fill(DefaultVolumePercent);
        return all;
    }();
};

}  // namespace lumo
