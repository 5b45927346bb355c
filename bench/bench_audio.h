// Audio devices for the benches of the program's voice path.
//
// Microphones: one pacing thread completes each talker's 60 ms capture buffer every 60 ms, the
// talkers spread evenly over the period as independent machines would be, and notes when each
// block was complete (the moment the block could first be sent). Speakers: output devices that
// take each buffer at once and note when the first buffer of a played record arrives (the
// first sounding buffer after silence; the player pre-rolls every talk spurt with silence).
#pragma once

#include "voice/audio_device.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

namespace lumo::bench {

using Clock = std::chrono::steady_clock;

class Microphones {
public:
    explicit Microphones(int talkers) : talkers_(talkers), lastBlock_(std::size_t(talkers))
    {
        for (int i = 0; i < 480; ++i)
            tone_[std::size_t(i)] = std::int16_t(9000 * std::sin(i * 2 * M_PI * 300 / 8000.0) +
                                                 3000 * std::sin(i * 2 * M_PI * 1170 / 8000.0));
        thread_ = std::thread([this] { run(); });
    }
    ~Microphones()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    // A talker's capture device; it delivers blocks from Start until Reset.
    class Device final : public AudioDevice {
    public:
        Device(Microphones& owner, int talker, NotifyTarget notify)
            : owner_(owner), talker_(talker), held_(std::move(notify), AudioEvent::InputFilled)
        {
            owner_.attach(talker_, this);
        }
        ~Device() override { owner_.attach(talker_, nullptr); }
        int Queue(AudioBuffer* buffer) override { return held_.add(buffer); }
        int Start() override
        {
            running_ = true;
            return AudioOk;
        }
        int Reset() override
        {
            running_ = false;
            held_.completeAll();
            return AudioOk;
        }
        int Close() override { return held_.size() ? AudioStillBusy : AudioOk; }

    private:
        friend class Microphones;
        Microphones& owner_;
        int talker_;
        HeldBuffers held_;
        std::atomic<bool> running_{false};
    };

    // When talker's latest block at or before `at` was complete.
    std::optional<Clock::time_point> blockBefore(int talker, Clock::time_point at) const
    {
        std::lock_guard lock(mutex_);
        const auto& times = lastBlock_[std::size_t(talker)];
        for (auto it = times.rbegin(); it != times.rend(); ++it)
            if (*it <= at) return *it;
        return std::nullopt;
    }
    std::uint64_t blocks() const { return blocks_.load(); }
    // CPU time the pacing thread (the stand-in for the sound card) used so far.
    double pacerCpuSeconds() const { return pacerCpu_.load(); }

private:
    void attach(int talker, Device* device)
    {
        std::lock_guard lock(mutex_);
        devices_[talker] = device;
    }

    void run()
    {
        const auto period = std::chrono::milliseconds(60);
        const auto start = Clock::now();
        std::uint64_t round = 0;
        std::unique_lock lock(mutex_);
        while (!stop_) {
            for (int t = 0; t < talkers_ && !stop_; ++t) {
                const auto due = start + period * round + period * t / talkers_;
                if (wake_.wait_until(lock, due, [this] { return stop_; })) break;
                auto it = devices_.find(t);
                if (it == devices_.end() || !it->second || !it->second->running_) continue;
                const auto now = Clock::now();
                auto& times = lastBlock_[std::size_t(t)];
                times.push_back(now);
                if (times.size() > 8) times.erase(times.begin());
                it->second->held_.fill(tone_.data(), int(tone_.size()));
                ++blocks_;
            }
            ++round;
            timespec cpu{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
            pacerCpu_ = double(cpu.tv_sec) + double(cpu.tv_nsec) / 1e9;
        }
    }

    const int talkers_;
    std::array<std::int16_t, 480> tone_{};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::map<int, Device*> devices_;
    std::vector<std::vector<Clock::time_point>> lastBlock_;
    std::atomic<std::uint64_t> blocks_{0};
    std::atomic<double> pacerCpu_{0};
    std::thread thread_;
};

// An output device that takes each buffer and returns it at once, as a sound card with no delay
// would; onQueued sees each buffer first.
class InstantOutput : public AudioDevice {
public:
    explicit InstantOutput(NotifyTarget notify) : held_(std::move(notify), AudioEvent::OutputDone) {}
    int Queue(AudioBuffer* buffer) final
    {
        onQueued(buffer);
        const int result = held_.add(buffer);
        held_.completeAll();
        return result;
    }
    int Start() final { return AudioOk; }
    int Reset() final
    {
        held_.completeAll();
        return AudioOk;
    }
    int Close() final { return AudioOk; }

protected:
    virtual void onQueued(AudioBuffer*) {}

private:
    HeldBuffers held_;
};

// Output devices that return every buffer at once, calling `onRecord(memberId, time)` when the
// first sounding buffer after silence arrives.
class Speakers {
public:
    using OnRecord = std::function<void(int memberId, Clock::time_point at)>;
    explicit Speakers(OnRecord onRecord) : onRecord_(std::move(onRecord)) {}

    class Device final : public InstantOutput {
    public:
        Device(Speakers& owner, int memberId, NotifyTarget notify)
            : InstantOutput(std::move(notify)), owner_(owner), memberId_(memberId)
        {
        }

    private:
        void onQueued(AudioBuffer* buffer) override
        {
            const auto now = Clock::now();
            const bool sounding =
                buffer && std::any_of(buffer->samples.begin(), buffer->samples.end(), [](std::int16_t s) { return s != 0; });
            if (sounding && !sounding_) owner_.onRecord_(memberId_, now);
            sounding_ = sounding;
        }

        Speakers& owner_;
        int memberId_;
        bool sounding_ = false;
    };

private:
    OnRecord onRecord_;
};

// A machine's audio: its microphone is one talker's, its speakers (if any) stamp records.
class BenchAudio final : public AudioSystem {
public:
    BenchAudio(Microphones* microphones, int talker, Speakers* speakers)
        : microphones_(microphones), talker_(talker), speakers_(speakers)
    {
    }
    int QueryInput(const AudioFormat&) override { return microphones_ ? AudioOk : AudioNoDevice; }
    int OpenInput(const AudioFormat&, NotifyTarget notify, std::unique_ptr<AudioDevice>* device) override
    {
        if (!microphones_) return AudioNoDevice;
        *device = std::make_unique<Microphones::Device>(*microphones_, talker_, std::move(notify));
        return AudioOk;
    }
    int QueryOutput(const AudioFormat&) override { return speakers_ ? AudioOk : AudioNoDevice; }
    int OpenOutput(const AudioFormat&, int memberId, NotifyTarget notify, std::unique_ptr<AudioDevice>* device) override
    {
        if (!speakers_) return AudioNoDevice;
        *device = std::make_unique<Speakers::Device>(*speakers_, memberId, std::move(notify));
        return AudioOk;
    }

private:
    Microphones* microphones_;
    int talker_;
    Speakers* speakers_;
};

}  // namespace lumo::bench
