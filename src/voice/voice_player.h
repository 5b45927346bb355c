// Plays one remote member's voice. Each player owns an output device, a thread of its own, a
// decoder for that member's stream and a reorder store. Records arrive through Submit (user-
// interface thread); the player thread puts them back in order, decodes up to two per pass,
// optionally doubles the amplitude, and writes the samples to the device, dropping output
// while more than 10 buffers are outstanding. Destroying a player stops its thread and
// releases its device and every buffer: nothing it owned outlives it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/wire.h"
#include "voice/audio_device.h"
#include "voice/message_thread.h"
#include "voice/reorder_store.h"
#include "voice/voice_codec.h"

namespace lumo {

class VoicePlayer {
public:
    static constexpr int MaxQueued = 10;  // more outstanding buffers than this: output is dropped
    static constexpr int MaxPlayBytes = 2 * BlockBytes;

    // The audio system must outlive the player. memberId names the member whose voice this is.
    VoicePlayer(AudioSystem& audio, int memberId);
    virtual ~VoicePlayer();
    VoicePlayer(const VoicePlayer&) = delete;
    VoicePlayer& operator=(const VoicePlayer&) = delete;

    bool StartThread();  // refused if running
    bool StopThread();   // refused if not running; waits at most about 500 ms
    bool Open();         // refused if open, or without a running thread (it gets the events)
    // StartThread and Open; when Open fails the thread is stopped again and the result is false.
    bool StartAll();

    // Hands over one 64-byte VoiceRecord and the gain setting, and wakes the player thread.
    // Refuses a null record or a length other than 64.
    bool Submit(const std::uint8_t* record, int length, bool gain);
    bool Submit(const VoiceRecord& record, bool gain);

    // Writes length bytes of samples (even, at most 1920) to the device. False if the device
    // is not open, the arguments are unusable, or the device refuses; true without playing
    // when more than 10 buffers are outstanding.
    bool Play(const std::int16_t* samples, int length);

    int memberId() const { return memberId_; }
    int lastResult() const { return lastResult_.load(); }
    bool threadRunning() const { return threadRunning_; }
    bool deviceOpen() const { return deviceOpen_.load(); }
    int queued() const;
    // Passes the player thread has completed (for tests and diagnostics).
    std::uint64_t passCount() const { return passes_.load(); }

private:
    void onMessage(const AudioMessage& message);  // player thread
    void pass();                                  // player thread

    AudioSystem& audio_;
    const int memberId_;
    const AudioFormat format_{};
    std::atomic<int> lastResult_{0};
    MessageThread thread_;
    bool threadRunning_ = false;
    std::atomic<bool> deviceOpen_{false};

    // Player thread only.
    VoiceCodec codec_;
    ReorderStore reorder_;
    std::array<std::int16_t, 2 * BlockSamples> pcm_{};
    std::atomic<std::uint64_t> passes_{0};

    // Guards the hand-over of current and gain, the outstanding buffers and the device.
    mutable std::mutex lock_;
    VoiceRecord current_;
    bool gain_ = false;
    int queued_ = 0;
    std::uint64_t nextTag_ = 1;
    std::vector<std::unique_ptr<AudioBuffer>> outstanding_;
    std::unique_ptr<AudioDevice> device_;
};

}  // namespace lumo
