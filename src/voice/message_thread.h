// A thread with its own message queue, as the capture and the players use: it takes messages
// in order and hands each to a handler until it receives Quit.
//
// Stopping is bounded: stop() posts Quit and waits up to 50 polls 10 ms apart. A thread that
// has not ended by then (its handler is stuck) cannot be killed safely in C++, so it is left to
// finish its current message and end on its own: it has nothing else to do, since its queue
// holds Quit. Such a thread is joined by the destructor, so no thread outlives its owner.
// Every start gets a fresh queue, so a late thread never takes a newer thread's messages.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "voice/audio_device.h"

namespace lumo {

// Asks real-time (first in, first out) scheduling at `priority` for the calling thread, as audio
// threads do, so that other programs' work does not delay it; false where the system refuses
// (a user without the right to it), and the thread keeps its scheduling.
bool requestRealTimeScheduling(int priority);

class MessageThread {
public:
    using Handler = std::function<void(const AudioMessage&)>;
    // Asked on the thread before each wait: when to hand the handler a WakeUp if no message
    // comes first (none: wait for a message).
    using WakeTime = std::function<std::optional<MessageQueue::Clock::time_point>()>;

    MessageThread() = default;
    ~MessageThread();
    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // Starts a thread that passes every message but Quit to handler. False if the system
    // could not create the thread. With a realTimePriority (1-99) the thread asks for real-time
    // scheduling at that priority, and runs as any thread where it is refused.
    bool start(Handler handler, int realTimePriority = 0, WakeTime wakeTime = {});
    // Posts Quit and waits for the thread to end, at most about 500 ms. True if it ended in
    // that time, false if it was left to finish on its own.
    bool stop();
    // Tells the running thread to quit and waits, without a bound, until it and every thread
    // left running by stop() have ended.
    void joinAll();

    // The running thread's queue (the device notification target); null when not started.
    NotifyTarget queue() const { return queue_; }
    bool running() const { return thread_.joinable(); }

private:
    struct Run {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };

    std::thread thread_;
    NotifyTarget queue_;
    std::shared_ptr<std::atomic<bool>> ended_;
    std::vector<Run> leftRunning_;
};

}  // namespace lumo
