// Plays one remote member's voice. Each player owns an output device, a thread of its own, a
// decoder for that member's stream and a playout step. Records arrive through Submit (user-
// interface thread) into a bounded hand-over queue that loses nothing in normal use; the player
// thread gives them to the playout step and, whenever the device is about to run dry (woken by
// the device's returns, by arrivals, and at the moment the step asked to decide at), plays
// what the step says (a record, its concealment, or silence) in 10 ms buffers, optionally
// doubled in amplitude with saturation. A record the step asks to shorten or lengthen goes
// through a time-scaler made for speech (Sonic), which keeps the pitch; at normal speed it passes
// samples through unchanged, so a clean line plays exactly what the codec decodes. Output never exceeds 11 blocks outstanding, so memory
// and lag stay bounded whatever arrives. Destroying a player stops its thread and releases its
// device and every buffer: nothing it owned outlives it.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/wire/wire.h"
#include "voice/audio_device.h"
#include "voice/audio_worker.h"
#include "core/voice/playout.h"
#include "voice/playout_renderer.h"

namespace lumo {

// The player thread is its AudioWorker thread.
class VoicePlayer : public AudioWorker {
public:
    // Output is dropped rather than queued beyond 11 blocks outstanding.
    static constexpr int MaxQueuedSamples = 11 * BlockSamples;
    static constexpr int MaxPlayBytes = 2 * BlockBytes;
    static constexpr int BufferSamples = 80;  // 10 ms per device buffer
    static constexpr int SamplesPerMs = 8;
    // The player asks the playout step for more while the device holds this much or less.
    static constexpr int LeadSamples = PlayoutStep::LeadMs * 8;
    // Records waiting for the player thread; more than this (a thread that cannot keep up with
    // a flood) are dropped and counted.
    static constexpr std::size_t HandOverCapacity = 64;
    // Microseconds, monotonic: the card's period is placed to well within a millisecond, since
    // the player decides only DecideAheadMs before it.
    using Clock = std::function<std::int64_t()>;

    // The audio system must outlive the player. memberId names the member whose voice this is.
    VoicePlayer(AudioSystem& audio, int memberId);
    ~VoicePlayer() override;

    // StartThread: refused if running. StopThread: refused if not running; waits at most about
    // 500 ms.
    bool Open() override;  // refused if open, or without a running thread (it gets the events)
    // StartThread and Open; when Open fails the thread is stopped again and the result is false.
    bool StartAll();

    // Hands over one 64-byte VoiceRecord and the gain setting, and wakes the player thread.
    // Refuses a null record or a length other than 64, and (false) a record the full hand-over
    // queue cannot take.
    bool Submit(const std::uint8_t* record, int length, bool gain);
    bool Submit(const VoiceRecord& record, bool gain);

    // Writes length bytes of samples (even, at most 1920) to the device, in 10 ms buffers.
    // False if the device is not open, the arguments are unusable, or the device refuses; true
    // without playing when 11 blocks or more are outstanding.
    bool Play(const std::int16_t* samples, int length);

    // This member's output volume in per cent (100: as received), applied with the doubling of
    // "增溢"; any thread, taking effect from the next samples played.
    void setVolume(int percent) { volume_.store(percent); }
    int volume() const { return volume_.load(); }

    int memberId() const { return memberId_; }
    bool deviceOpen() const { return deviceOpen_.load(); }
    int queued() const;         // buffers outstanding
    int queuedSamples() const;  // samples outstanding
    // Hand-overs the player thread has taken in (for tests and diagnostics).
    std::uint64_t passCount() const { return passes_.load(); }
    // Events the player thread has handled, records and returned buffers alike.
    std::uint64_t eventCount() const { return events_.load(); }
    std::uint64_t handOverDropped() const { return handOverDropped_.load(); }
    // Whether the player thread waits for the moment to decide what its empty card takes next
    // (a record it awaits), set before the event that led to it is counted (for tests).
    bool awaitsDecision() const { return awaitsDecision_.load(); }
    PlayoutStep::Counters playoutCounters() const;
    // Tests set a clock of their own before StartAll; the default is the steady clock.
    void setClock(Clock clock) { clock_ = std::move(clock); }

private:
    void onMessage(const AudioMessage& message) override;  // player thread
    std::optional<MessageQueue::Clock::time_point> wakeUpTime() const override { return wakeUp_; }
    void takeHandOver();                                    // player thread
    void pump();                                            // player thread
    bool queueSamples(const std::int16_t* samples, int count);

    const int memberId_;
    const AudioFormat format_{};
    std::atomic<bool> deviceOpen_{false};

    // Player thread only.
    Clock clock_;
    PlayoutStep playout_;
    PlayoutRenderer renderer_;
    bool gain_ = false;  // of the latest record taken in
    CardPeriods cardPeriods_;  // from when the device gave buffers back
    // While the step awaits a record the card will need before its next return: when to decide.
    std::optional<MessageQueue::Clock::time_point> wakeUp_;
    std::atomic<int> volume_{100};
    std::atomic<std::uint64_t> passes_{0};
    std::atomic<std::uint64_t> events_{0};
    std::atomic<std::uint64_t> handOverDropped_{0};
    std::atomic<bool> awaitsDecision_{false};

    struct HandOver {
        VoiceRecord record;
        bool gain = false;
    };
    // Guards the hand-over queue, the outstanding buffers, the device and the counters' copy.
    mutable std::mutex lock_;
    std::deque<HandOver> handOver_;
    PlayoutStep::Counters countersCopy_{};
    int queued_ = 0;
    int queuedSamples_ = 0;
    std::uint64_t nextTag_ = 1;
    // The output buffers, made once: free ones, and those the device holds, oldest first.
    static constexpr int PoolBuffers = MaxQueuedSamples / BufferSamples + 2 * BlockSamples / BufferSamples + 16;
    std::array<AudioBuffer, PoolBuffers> pool_;
    std::vector<AudioBuffer*> freeBuffers_;
    std::vector<AudioBuffer*> outstanding_;
    std::unique_ptr<AudioDevice> device_;
};

}  // namespace lumo
