// The worker base that capture and the players share: its thread hands every message to the
// worker in order, its steps are refused in the wrong state, a device is opened with the
// thread's queue as its target (and never without a thread), a failed open takes the thread
// down again, and a stuck handler bounds StopThread but is still waited for on destruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sched.h>

#include "voice/audio_worker.h"
#include "fake_audio.h"
#include "voice_test_support.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

// A worker that records what its thread receives. A message with the tag `stuckTag` blocks its
// handler until release() is called.
class RecordingWorker final : public AudioWorker {
public:
    static constexpr std::uint64_t stuckTag = 999;

    RecordingWorker(AudioSystem& audio, int outputMember) : AudioWorker(audio), outputMember_(outputMember) {}
    ~RecordingWorker() override
    {
        joinThread();
        // From here on the members go: the stuck handler must have finished by now.
        stuckFinishedAtJoin->store(stuckFinished->load());
    }

    bool Open() override
    {
        if (device)
            return false;
        device = outputMember_ < 0 ? openInput(AudioFormat{}) : openOutput(AudioFormat{}, outputMember_);
        return device != nullptr;
    }
    bool start() { return startAndOpen(); }
    NotifyTarget target() const { return queue(); }

    void release()
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        wake_.notify_all();
    }
    std::vector<AudioMessage> messages() const
    {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<std::thread::id> threads() const
    {
        std::lock_guard lock(mutex_);
        return threads_;
    }
    // The thread is to be woken at `at` once, if no message comes first.
    void wakeAt(MessageQueue::Clock::time_point at)
    {
        std::lock_guard lock(mutex_);
        wakeAt_ = at;
    }

    std::unique_ptr<AudioDevice> device;
    std::atomic<int> policy{-1};  // the scheduling of the thread that handled the last message
    std::atomic<bool> stuckEntered{false};
    std::shared_ptr<std::atomic<bool>> stuckFinished = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> stuckFinishedAtJoin = std::make_shared<std::atomic<bool>>(false);

protected:
    void onMessage(const AudioMessage& message) override
    {
        if (message.tag == stuckTag) {
            stuckEntered = true;
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return released_; });
            stuckFinished->store(true);
            return;
        }
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
        threads_.push_back(std::this_thread::get_id());
        policy = sched_getscheduler(0);
        if (message.event == AudioEvent::WakeUp)
            wakeAt_.reset();
    }
    std::optional<MessageQueue::Clock::time_point> wakeUpTime() const override
    {
        std::lock_guard lock(mutex_);
        return wakeAt_;
    }

private:
    const int outputMember_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool released_ = false;
    std::vector<AudioMessage> messages_;
    std::vector<std::thread::id> threads_;
    std::optional<MessageQueue::Clock::time_point> wakeAt_;
};

TEST(AudioWorker, HandsEveryMessageInOrderToItsOwnThread)
{
    test::FakeAudio audio;
    RecordingWorker worker(audio, -1);
    EXPECT_FALSE(worker.StopThread());  // nothing to stop
    EXPECT_EQ(worker.target(), nullptr);

    ASSERT_TRUE(worker.StartThread());
    EXPECT_TRUE(worker.threadRunning());
    EXPECT_FALSE(worker.StartThread());  // one thread at a time
    const NotifyTarget target = worker.target();
    ASSERT_NE(target, nullptr);
    for (std::uint64_t tag = 1; tag <= 200; ++tag)
        target->post(AudioMessage{AudioEvent::InputFilled, tag});
    ASSERT_TRUE(test::waitFor([&] { return worker.messages().size() == 200; }));

    const auto messages = worker.messages();
    for (std::size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(messages[i].tag, i + 1);
    const auto threads = worker.threads();
    EXPECT_NE(threads.front(), std::this_thread::get_id());
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 200);

    EXPECT_TRUE(worker.StopThread());
    EXPECT_FALSE(worker.threadRunning());
    EXPECT_EQ(worker.target(), nullptr);
    EXPECT_FALSE(worker.StopThread());
    EXPECT_EQ(worker.messages().size(), 200u);  // Quit is not handed on
}

// A worker may ask to be woken at a time of its own (the player, to decide just before its card
// needs a record that has not come): messages that come first are handed over first, and the
// time once passed brings a WakeUp though nothing was posted.
TEST(AudioWorker, WakesUpAtTheTimeItAskedForUnlessAMessageComesFirst)
{
    test::FakeAudio audio;
    RecordingWorker worker(audio, -1);
    worker.wakeAt(MessageQueue::Clock::now() + 1h);
    ASSERT_TRUE(worker.StartThread());
    worker.target()->post(AudioMessage{AudioEvent::InputFilled, 1});
    ASSERT_TRUE(test::waitFor([&] { return worker.messages().size() == 1; }));
    // Asked for while the thread waits (or is about to): it takes effect once the thread asks
    // again, at the latest when the next message is handled.
    worker.wakeAt(MessageQueue::Clock::now());
    worker.target()->post(AudioMessage{AudioEvent::InputFilled, 2});
    ASSERT_TRUE(test::waitFor([&] { return worker.messages().size() == 3; }));
    const auto messages = worker.messages();
    EXPECT_EQ(messages[0].tag, 1u);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(), [](const AudioMessage& m) { return m.event == AudioEvent::WakeUp; }), 1);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(), [](const AudioMessage& m) { return m.tag == 2; }), 1);
    EXPECT_TRUE(worker.StopThread());
    EXPECT_EQ(worker.messages().size(), 3u);
}

// Only a system that keeps a sound card fed asks real-time scheduling for its threads: files and
// fakes keep ordinary scheduling, even where the system would grant it (tests run as root).
TEST(AudioWorker, ThreadsOfSystemsWithoutACardKeepOrdinaryScheduling)
{
    test::FakeAudio audio;
    ASSERT_FALSE(audio.wantsRealTimeThreads());
    RecordingWorker worker(audio, -1);
    ASSERT_TRUE(worker.StartThread());
    worker.target()->post(AudioMessage{AudioEvent::InputFilled, 1});
    ASSERT_TRUE(test::waitFor([&] { return worker.messages().size() == 1; }));
    EXPECT_EQ(worker.policy.load(), SCHED_OTHER);
    EXPECT_TRUE(worker.StopThread());
}

TEST(AudioWorker, OpensNoDeviceWithoutARunningThread)
{
    test::FakeAudio audio;
    RecordingWorker worker(audio, -1);
    EXPECT_FALSE(worker.Open());
    EXPECT_EQ(audio.queries.load(), 0);
    EXPECT_EQ(audio.opens.load(), 0);
    EXPECT_EQ(worker.lastResult(), AudioOk);
}

TEST(AudioWorker, DeviceEventsGoToTheWorkersThread)
{
    test::FakeAudio audio;
    RecordingWorker worker(audio, 5);
    ASSERT_TRUE(worker.start());
    EXPECT_TRUE(worker.threadRunning());
    EXPECT_FALSE(worker.Open());  // already open
    EXPECT_EQ(audio.opens.load(), 1);
    test::FakeDevice* device = audio.outputFor(5);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device, worker.device.get());

    AudioBuffer buffer;
    buffer.samples.assign(80, 1);
    buffer.tag = 77;
    ASSERT_EQ(worker.device->Queue(&buffer), AudioOk);
    device->held.completeFront();
    ASSERT_TRUE(test::waitFor([&] { return !worker.messages().empty(); }));
    EXPECT_EQ(worker.messages().front().event, AudioEvent::OutputDone);
    EXPECT_EQ(worker.messages().front().tag, 77u);

    EXPECT_EQ(worker.device->Close(), AudioOk);
    worker.device.reset();
    EXPECT_TRUE(worker.StopThread());
}

TEST(AudioWorker, AFailedOpenStopsTheThreadAgainAndKeepsTheResult)
{
    test::FakeAudio audio;
    RecordingWorker worker(audio, -1);

    audio.queryResult = AudioBadFormat;
    EXPECT_FALSE(worker.start());
    EXPECT_FALSE(worker.threadRunning());
    EXPECT_EQ(worker.lastResult(), AudioBadFormat);
    EXPECT_EQ(audio.opens.load(), 0);  // a refused query opens nothing

    audio.queryResult = AudioOk;
    audio.openResult = AudioNoDevice;
    EXPECT_FALSE(worker.start());
    EXPECT_FALSE(worker.threadRunning());
    EXPECT_EQ(worker.lastResult(), AudioNoDevice);
    EXPECT_EQ(audio.opens.load(), 1);

    audio.openResult = AudioOk;
    EXPECT_TRUE(worker.start());  // the steps can be taken again
    EXPECT_EQ(worker.lastResult(), AudioOk);
    EXPECT_EQ(audio.liveDevices.load(), 1);
}

TEST(AudioWorker, StopIsBoundedAndTheDestructorWaitsForAStuckThread)
{
    test::FakeAudio audio;
    std::shared_ptr<std::atomic<bool>> stuckFinished;
    std::shared_ptr<std::atomic<bool>> stuckFinishedAtJoin;
    std::thread releaser;
    {
        RecordingWorker worker(audio, -1);
        stuckFinished = worker.stuckFinished;
        stuckFinishedAtJoin = worker.stuckFinishedAtJoin;
        ASSERT_TRUE(worker.StartThread());
        worker.target()->post(AudioMessage{AudioEvent::InputFilled, RecordingWorker::stuckTag});
        ASSERT_TRUE(test::waitFor([&] { return worker.stuckEntered.load(); }));

        // Bounded: StopThread returns although the handler is released only further down (a
        // hang is caught by the test's time-out; no upper bound on the wall clock of a busy
        // machine). It waited for the handler first: a lower bound, which slowness cannot break.
        const auto before = std::chrono::steady_clock::now();
        EXPECT_TRUE(worker.StopThread());
        EXPECT_GE(std::chrono::steady_clock::now() - before, 400ms);
        EXPECT_FALSE(worker.threadRunning());

        // A new thread gets a queue of its own and works while the old one is still stuck.
        ASSERT_TRUE(worker.StartThread());
        worker.target()->post(AudioMessage{AudioEvent::InputFilled, 1});
        ASSERT_TRUE(test::waitFor([&] { return worker.messages().size() == 1; }));
        EXPECT_FALSE(stuckFinished->load());

        // The stuck handler ends a little after the destructor has begun: joinThread must wait
        // for it before the worker's members are destroyed.
        releaser = std::thread([&worker] {
            std::this_thread::sleep_for(200ms);
            worker.release();
        });
    }
    EXPECT_TRUE(stuckFinishedAtJoin->load());
    EXPECT_TRUE(stuckFinished->load());
    releaser.join();
}

}  // namespace
}  // namespace lumo
