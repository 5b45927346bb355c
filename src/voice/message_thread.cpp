#include "voice/message_thread.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <system_error>

namespace lumo {

MessageThread::~MessageThread()
{
    joinAll();
}

bool requestRealTimeScheduling(int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

bool MessageThread::start(Handler handler, int realTimePriority, WakeTime wakeTime)
{
    if (thread_.joinable())
        return false;
    auto queue = std::make_shared<MessageQueue>();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    try {
        thread_ = std::thread([queue, ended, handler = std::move(handler), wakeTime = std::move(wakeTime), realTimePriority] {
            if (realTimePriority > 0)
                requestRealTimeScheduling(realTimePriority);
            for (;;) {
                const AudioMessage message = queue->take(wakeTime ? wakeTime() : std::nullopt);
                if (message.event == AudioEvent::Quit)
                    break;
                handler(message);
            }
            ended->store(true);
        });
    } catch (const std::system_error&) {
        return false;
    }
    queue_ = std::move(queue);
    ended_ = std::move(ended);
    return true;
}

bool MessageThread::stop()
{
    if (!thread_.joinable())
        return true;
    queue_->post(AudioMessage{AudioEvent::Quit, 0});
    bool ended = false;
    for (int poll = 0; poll < 50; ++poll) {
        if (ended_->load()) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended && ended_->load())
        ended = true;
    // Threads left running earlier that have ended since are joined now.
    std::erase_if(leftRunning_, [](Run& run) {
        if (!run.ended->load())
            return false;
        run.thread.join();
        return true;
    });
    if (ended)
        thread_.join();
    else
        leftRunning_.push_back(Run{std::move(thread_), ended_});
    queue_.reset();
    ended_.reset();
    return ended;
}

void MessageThread::joinAll()
{
    if (thread_.joinable()) {
        queue_->post(AudioMessage{AudioEvent::Quit, 0});
        thread_.join();
        queue_.reset();
        ended_.reset();
    }
    for (Run& run : leftRunning_) {
        if (run.thread.joinable())
            run.thread.join();
    }
    leftRunning_.clear();
}

}  // namespace lumo
