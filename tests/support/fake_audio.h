// A fake audio system whose devices the test drives by hand, for the tests of capture, players
// and the main window's voice (they link lumo_voice).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "voice/audio_device.h"

namespace lumo::test {

class FakeAudio;

// A device the test drives: it fills input buffers and returns output buffers only when told.
class FakeDevice final : public AudioDevice {
public:
    FakeDevice(FakeAudio& audio, bool input, int memberId, NotifyTarget notify);
    ~FakeDevice() override;

    int Queue(AudioBuffer* buffer) override;
    int Start() override;
    int Reset() override;
    int Close() override;
    // The device is unplugged: it takes and fills nothing more and tells its owner, as a sound
    // card whose stream ends by itself. Buffers it holds come back only through Reset.
    void lose()
    {
        gone = true;
        if (notify_) notify_->post(AudioMessage{AudioEvent::DeviceLost, 0});
    }
    std::atomic<bool> gone{false};

    const bool input;
    const int memberId;
    HeldBuffers held;
    std::atomic<int> resets{0};
    std::atomic<int> closes{0};
    // What was written to an output device, one entry per buffer.
    std::mutex mutex;
    std::vector<std::vector<std::int16_t>> written;
    // A copy of what was written so far, to read while the player thread may still write.
    std::vector<std::vector<std::int16_t>> writtenSoFar()
    {
        std::lock_guard lock(mutex);
        return written;
    }

private:
    FakeAudio& audio_;
    NotifyTarget notify_;
};

class FakeAudio final : public AudioSystem {
public:
    // Results the next calls give.
    std::atomic<int> queryResult{AudioOk};
    std::atomic<int> openResult{AudioOk};
    std::atomic<int> startResult{AudioOk};
    std::atomic<int> closeResult{AudioOk};
    std::atomic<int> failQueueCall{0};  // the n-th Queue call of the run fails (0: none)

    std::atomic<int> queries{0};
    std::atomic<int> opens{0};
    std::atomic<int> queueCalls{0};
    std::atomic<int> liveDevices{0};
    std::atomic<int> cleanCloses{0};       // Close calls that succeeded
    std::atomic<int> destroyedHolding{0};  // devices destroyed while holding buffers
    // Input devices are away (unplugged): queries and opens of input fail as with no device.
    std::atomic<bool> inputUnplugged{false};
    // The device list the system offers, and the choice made from it.
    std::vector<AudioDeviceInfo> deviceList;
    DeviceChoice choice;

    std::vector<AudioDeviceInfo> devices() override { return deviceList; }
    bool chooseDevices(const DeviceChoice& wanted, std::string* error) override
    {
        for (const auto& [text, direction] : {std::pair{wanted.input, DeviceDirection::Input},
                                              std::pair{wanted.output, DeviceDirection::Output}})
            if (!text.empty() && !findDevice(deviceList, text, direction, error)) return false;
        choice = wanted;
        return true;
    }
    DeviceChoice chosenDevices() const override { return choice; }

    int QueryInput(const AudioFormat& format) override { return inputUnplugged ? int(AudioNoDevice) : query(format); }
    int QueryOutput(const AudioFormat& format) override { return query(format); }
    int OpenInput(const AudioFormat&, NotifyTarget notify, std::unique_ptr<AudioDevice>* device) override
    {
        if (inputUnplugged) return AudioNoDevice;
        return open(true, -1, std::move(notify), device);
    }
    int OpenOutput(const AudioFormat&, int memberId, NotifyTarget notify,
                   std::unique_ptr<AudioDevice>* device) override
    {
        return open(false, memberId, std::move(notify), device);
    }

    FakeDevice* device() const
    {
        std::lock_guard lock(mutex_);
        return devices_.empty() ? nullptr : devices_.back();
    }
    // The output device opened for a member's player, if any.
    FakeDevice* outputFor(int memberId) const;
    // Records one block into the input device's buffers.
    int deliver(const std::vector<std::int16_t>& samples)
    {
        FakeDevice* d = device();
        return d ? d->held.fill(samples.data(), static_cast<int>(samples.size())) : 0;
    }
    std::size_t held() const
    {
        FakeDevice* d = device();
        return d ? d->held.size() : 0;
    }

private:
    friend class FakeDevice;

    int query(const AudioFormat& format)
    {
        ++queries;
        return format == AudioFormat{} ? queryResult.load() : int(AudioBadFormat);
    }
    int open(bool input, int memberId, NotifyTarget notify, std::unique_ptr<AudioDevice>* device)
    {
        ++opens;
        if (openResult != AudioOk)
            return openResult;
        *device = std::make_unique<FakeDevice>(*this, input, memberId, std::move(notify));
        return AudioOk;
    }

    mutable std::mutex mutex_;
    std::vector<FakeDevice*> devices_;
};

inline FakeDevice::FakeDevice(FakeAudio& audio, bool isInput, int member, NotifyTarget notify)
    : input(isInput), memberId(member),
      held(notify, isInput ? AudioEvent::InputFilled : AudioEvent::OutputDone),
      audio_(audio), notify_(std::move(notify))
{
    ++audio_.liveDevices;
    std::lock_guard lock(audio_.mutex_);
    audio_.devices_.push_back(this);
}

inline FakeDevice* FakeAudio::outputFor(int memberId) const
{
    std::lock_guard lock(mutex_);
    for (FakeDevice* d : devices_)
        if (!d->input && d->memberId == memberId) return d;
    return nullptr;
}

inline FakeDevice::~FakeDevice()
{
    if (held.size() > 0)
        ++audio_.destroyedHolding;
    --audio_.liveDevices;
    std::lock_guard lock(audio_.mutex_);
    std::erase(audio_.devices_, this);
}

inline int FakeDevice::Queue(AudioBuffer* buffer)
{
    const int call = ++audio_.queueCalls;
    if (call == audio_.failQueueCall)
        return AudioError;
    if (gone)
        return AudioNoDevice;
    if (!input && buffer) {
        std::lock_guard lock(mutex);
        written.push_back(buffer->samples);
    }
    return held.add(buffer);
}

inline int FakeDevice::Start()
{
    if (gone)
        return AudioNoDevice;
    return audio_.startResult;
}

inline int FakeDevice::Reset()
{
    ++resets;
    held.completeAll();
    return AudioOk;
}

inline int FakeDevice::Close()
{
    ++closes;
    if (held.size() > 0)
        return AudioStillBusy;
    if (audio_.closeResult == AudioOk)
        ++audio_.cleanCloses;
    return audio_.closeResult;
}

}  // namespace lumo::test
