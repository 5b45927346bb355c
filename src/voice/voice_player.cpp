#include "voice/voice_player.h"

#include <algorithm>
#include <new>

namespace lumo {

VoicePlayer::VoicePlayer(AudioSystem& audio, int memberId) : audio_(audio), memberId_(memberId) {}

VoicePlayer::~VoicePlayer()
{
    // No new output from here on.
    deviceOpen_.store(false);
    if (threadRunning_)
        StopThread();
    // A thread that did not end in time is waited for: it must not outlive the player.
    thread_.joinAll();

    std::unique_ptr<AudioDevice> device;
    {
        std::lock_guard lock(lock_);
        device = std::move(device_);
    }
    if (device) {
        device->Reset();  // returns every buffer still queued
        device->Close();
        device.reset();   // the device is gone: nothing holds our buffers any more
    }
    std::lock_guard lock(lock_);
    outstanding_.clear();
    queued_ = 0;
}

bool VoicePlayer::StartThread()
{
    if (threadRunning_)
        return false;
    if (!thread_.start([this](const AudioMessage& message) { onMessage(message); }))
        return false;
    threadRunning_ = true;
    return true;
}

bool VoicePlayer::StopThread()
{
    if (!threadRunning_)
        return false;
    thread_.stop();
    threadRunning_ = false;
    return true;
}

bool VoicePlayer::Open()
{
    if (deviceOpen_.load() || !thread_.queue())
        return false;
    int result = audio_.QueryOutput(format_);
    lastResult_ = result;
    if (result != AudioOk)
        return false;
    std::unique_ptr<AudioDevice> device;
    result = audio_.OpenOutput(format_, memberId_, thread_.queue(), &device);
    lastResult_ = result;
    if (result != AudioOk || !device)
        return false;
    {
        std::lock_guard lock(lock_);
        device_ = std::move(device);
        queued_ = 0;
    }
    deviceOpen_.store(true);
    return true;
}

bool VoicePlayer::StartAll()
{
    if (!StartThread())
        return false;
    if (!Open()) {
        StopThread();
        return false;
    }
    return true;
}

bool VoicePlayer::Submit(const std::uint8_t* record, int length, bool gain)
{
    if (!record || length != static_cast<int>(VoiceRecordSize))
        return false;
    return Submit(decodeVoiceRecord(record), gain);
}

bool VoicePlayer::Submit(const VoiceRecord& record, bool gain)
{
    {
        std::lock_guard lock(lock_);
        current_ = record;
        gain_ = gain;
    }
    if (NotifyTarget queue = thread_.queue())
        queue->post(AudioMessage{AudioEvent::RecordArrived, 0});
    return true;
}

int VoicePlayer::queued() const
{
    std::lock_guard lock(lock_);
    return queued_;
}

bool VoicePlayer::Play(const std::int16_t* samples, int length)
{
    if (!deviceOpen_.load())
        return false;
    if (!samples || length <= 0 || length % 2 != 0 || length > MaxPlayBytes)
        return false;
    {
        std::lock_guard lock(lock_);
        if (queued_ > MaxQueued)
            return true;  // the device is far enough behind: this block is dropped
    }

    std::unique_ptr<AudioBuffer> buffer;
    try {
        buffer = std::make_unique<AudioBuffer>();
        buffer->samples.assign(samples, samples + length / 2);
    } catch (const std::bad_alloc&) {
        lastResult_ = AudioNoMemory;
        return false;
    }

    std::lock_guard lock(lock_);
    if (!device_)
        return false;
    AudioBuffer* raw = buffer.get();
    raw->tag = nextTag_++;
    outstanding_.push_back(std::move(buffer));
    ++queued_;
    const int result = device_->Queue(raw);
    lastResult_ = result;
    if (result != AudioOk) {
        outstanding_.pop_back();
        --queued_;
        return false;
    }
    return true;
}

void VoicePlayer::onMessage(const AudioMessage& message)
{
    switch (message.event) {
    case AudioEvent::OutputDone: {
        std::unique_ptr<AudioBuffer> done;
        std::lock_guard lock(lock_);
        auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                               [&](const auto& b) { return b->tag == message.tag; });
        if (it == outstanding_.end() || (*it)->inDevice.load())
            return;
        done = std::move(*it);
        outstanding_.erase(it);
        --queued_;
        return;
    }
    case AudioEvent::RecordArrived:
        pass();
        return;
    default:
        return;
    }
}

void VoicePlayer::pass()
{
    VoiceRecord record;
    bool gain = false;
    {
        std::lock_guard lock(lock_);
        record = current_;
        gain = gain_;
    }
    const ReorderStore::Plan plan = reorder_.Step(record);
    for (int i = 0; i < plan.decodeCount; ++i) {
        const auto& step = plan.decodes[i];
        std::int16_t* half = pcm_.data() + static_cast<int>(step.half) * BlockSamples;
        codec_.Decode(step.record.speech.data(), CodedBlockSize, half, nullptr);
    }
    const int n = plan.playBytes;
    if (gain)
        doubleWithoutSaturation(pcm_.data(), n / 2);
    if (n > 0)
        Play(pcm_.data(), n);
    ++passes_;
}

}  // namespace lumo
