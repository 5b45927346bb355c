// What capture and the players have in common: a message thread of their own that receives
// their device's events, and the device opened with that thread's queue as its notification
// target. The steps are guarded like the derived classes' own: a step asked for in the wrong
// state is refused (false) and changes nothing.
//
// Stopping the thread is bounded (MessageThread::stop, about 500 ms); a thread that does not end
// in time is left to finish on its own and is waited for by joinThread. A derived class calls
// joinThread first in its destructor, so that the thread never hands a message to a
// half-destroyed object.
#pragma once

#include <atomic>
#include <memory>

#include "voice/audio_device.h"
#include "voice/message_thread.h"

namespace lumo {

class AudioWorker {
public:
    // The worker thread asks for real-time scheduling at this priority: a player whose thread
    // other programs delay lets its sound card run dry (see requestRealTimeScheduling).
    static constexpr int AudioThreadPriority = 10;

    AudioWorker(const AudioWorker&) = delete;
    AudioWorker& operator=(const AudioWorker&) = delete;

    bool StartThread();  // refused if the thread runs
    bool StopThread();   // refused if not running; waits at most about 500 ms
    // Opens the device; refused if it is open, or without a running thread (it gets the events).
    virtual bool Open() = 0;

    // The result of the latest device call (0 or an AudioResult code).
    int lastResult() const { return lastResult_.load(); }
    bool threadRunning() const { return threadRunning_; }

protected:
    // The audio system must outlive the worker.
    explicit AudioWorker(AudioSystem& audio);
    virtual ~AudioWorker();

    // Called on the worker thread with every message but Quit, in order.
    virtual void onMessage(const AudioMessage& message) = 0;
    // Asked on the worker thread before it waits for the next message: when to be handed a
    // WakeUp if nothing comes first (none: only messages wake it).
    virtual std::optional<MessageQueue::Clock::time_point> wakeUpTime() const { return std::nullopt; }

    // StartThread and Open; when Open fails the thread is stopped again and the result is false.
    bool startAndOpen();

    // Query the default input device, or the output device for memberId's voice, for format and
    // open it with the running thread's queue as its target, keeping each result in lastResult.
    // Null without a running thread (lastResult unchanged) or when the query or the open fails.
    std::unique_ptr<AudioDevice> openInput(const AudioFormat& format);
    std::unique_ptr<AudioDevice> openOutput(const AudioFormat& format, int memberId);

    AudioSystem& audio() const { return audio_; }

    // The running thread's queue; null when the thread is not started.
    NotifyTarget queue() const { return thread_.queue(); }

    // Ends the thread and every thread StopThread left running, waiting as long as it takes.
    void joinThread();

    std::atomic<int> lastResult_{0};

private:
    AudioSystem& audio_;
    MessageThread thread_;
    bool threadRunning_ = false;
};

}  // namespace lumo
