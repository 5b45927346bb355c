#include "voice/audio_device.h"

#include <algorithm>
#include <cstring>

namespace lumo {

void AudioSystem::setVoiceProcessing(const VoiceProcessingChoice& choice)
{
    processing_.store(packedProcessing(choice), std::memory_order_relaxed);
}

VoiceProcessingChoice AudioSystem::voiceProcessing() const
{
    const unsigned bits = processing_.load(std::memory_order_relaxed);
    return {(bits & 1u) != 0, (bits & 2u) != 0, (bits & 4u) != 0, (bits & 8u) != 0};
}

void MessageQueue::post(const AudioMessage& message)
{
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
    }
    ready_.notify_one();
}

AudioMessage MessageQueue::take(std::optional<Clock::time_point> wakeAt)
{
    std::unique_lock lock(mutex_);
    const auto ready = [this] { return !messages_.empty(); };
    if (!wakeAt)
        ready_.wait(lock, ready);
    else if (!ready_.wait_until(lock, *wakeAt, ready))
        return AudioMessage{AudioEvent::WakeUp, 0};
    AudioMessage message = messages_.front();
    messages_.pop_front();
    return message;
}

std::optional<AudioMessage> MessageQueue::tryTake()
{
    std::lock_guard lock(mutex_);
    if (messages_.empty())
        return std::nullopt;
    AudioMessage message = messages_.front();
    messages_.pop_front();
    return message;
}

std::size_t MessageQueue::size() const
{
    std::lock_guard lock(mutex_);
    return messages_.size();
}

int HeldBuffers::add(AudioBuffer* buffer)
{
    if (!buffer || buffer->samples.empty())
        return AudioNotHeld;
    if (buffer->inDevice.exchange(true))
        return AudioNotHeld;  // already held
    std::lock_guard lock(mutex_);
    buffer->bytesRecorded = 0;
    held_.push_back(buffer);
    return AudioOk;
}

std::size_t HeldBuffers::size() const
{
    std::lock_guard lock(mutex_);
    return held_.size();
}

void HeldBuffers::completeLocked(AudioBuffer* buffer)
{
    const std::uint64_t tag = buffer->tag;
    // After this the owner may free the buffer: read everything needed first.
    buffer->inDevice.store(false);
    if (notify_)
        notify_->post(AudioMessage{doneEvent_, tag});
}

int HeldBuffers::fill(const std::int16_t* samples, int count)
{
    std::lock_guard lock(mutex_);
    int used = 0;
    while (used < count && !held_.empty()) {
        AudioBuffer* buffer = held_.front();
        const int room = static_cast<int>(buffer->samples.size() - position_);
        const int n = std::min(room, count - used);
        std::memcpy(buffer->samples.data() + position_, samples + used, n * sizeof(std::int16_t));
        position_ += n;
        used += n;
        buffer->bytesRecorded = static_cast<int>(position_ * 2);
        if (position_ == buffer->samples.size()) {
            held_.pop_front();
            position_ = 0;
            completeLocked(buffer);
        }
    }
    return used;
}

int HeldBuffers::drain(std::int16_t* out, int count)
{
    std::lock_guard lock(mutex_);
    int produced = 0;
    while (produced < count && !held_.empty()) {
        AudioBuffer* buffer = held_.front();
        const int left = static_cast<int>(buffer->samples.size() - position_);
        const int n = std::min(left, count - produced);
        std::memcpy(out + produced, buffer->samples.data() + position_, n * sizeof(std::int16_t));
        position_ += n;
        produced += n;
        if (position_ == buffer->samples.size()) {
            held_.pop_front();
            position_ = 0;
            completeLocked(buffer);
        }
    }
    std::fill(out + produced, out + count, std::int16_t{0});
    return produced;
}

AudioBuffer* HeldBuffers::front() const
{
    std::lock_guard lock(mutex_);
    return held_.empty() ? nullptr : held_.front();
}

void HeldBuffers::completeFront()
{
    std::lock_guard lock(mutex_);
    if (held_.empty())
        return;
    AudioBuffer* buffer = held_.front();
    held_.pop_front();
    position_ = 0;
    completeLocked(buffer);
}

void HeldBuffers::completeAll()
{
    std::lock_guard lock(mutex_);
    while (!held_.empty()) {
        AudioBuffer* buffer = held_.front();
        held_.pop_front();
        completeLocked(buffer);
    }
    position_ = 0;
}

}  // namespace lumo
