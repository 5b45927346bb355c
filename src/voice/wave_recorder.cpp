#include "voice/wave_recorder.h"

#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace lumo {

namespace {

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

WaveRecorder::WaveRecorder(AudioSystem& audio) : AudioWorker(audio) {}

WaveRecorder::~WaveRecorder()
{
    shutdown();
}

void WaveRecorder::OnBlock(const std::uint8_t*, int) {}

void WaveRecorder::OnDeviceLost() {}

void WaveRecorder::shutdown()
{
    if (recording_)
        StopRecording();
    if (buffersQueued_)
        ReleaseBuffers();
    if (deviceOpen_)
        Close();
    joinThread();
    std::lock_guard lock(lock_);
    forgetDeviceLocked();
    headers_.clear();
}

bool WaveRecorder::Open()
{
    if (deviceOpen_)
        return false;
    std::unique_ptr<AudioDevice> device = openInput(format_);
    if (!device)
        return false;
    std::lock_guard lock(lock_);
    device_ = std::move(device);
    deviceOpen_ = true;
    return true;
}

bool WaveRecorder::QueueBuffers()
{
    if (buffersQueued_)
        return false;
    std::unique_lock lock(lock_);
    if (!device_)
        return false;
    int result = device_->Reset();
    lastResult_ = result;
    if (result != AudioOk)
        return false;

    ++generation_;
    bool queuedAll = true;
    for (int i = 0; i < BufferCount; ++i) {
        try {
            auto buffer = std::make_unique<AudioBuffer>();
            buffer->samples.assign(BufferBytes / 2, 0);
            buffer->tag = (generation_ << 8) | static_cast<std::uint64_t>(i);
            headers_.push_back(std::move(buffer));
        } catch (const std::bad_alloc&) {
            lastResult_ = AudioNoMemory;
            queuedAll = false;
            break;
        }
        result = device_->Queue(headers_.back().get());
        lastResult_ = result;
        if (result != AudioOk) {
            queuedAll = false;
            break;
        }
    }
    if (!queuedAll) {
        // Take back what was queued so far, then free it: nothing stays with the device.
        device_->Reset();
        lock.unlock();
        freeBuffers();
        return false;
    }
    requeue_ = true;
    buffersQueued_ = true;
    return true;
}

bool WaveRecorder::StartRecording()
{
    if (recording_)
        return false;
    std::lock_guard lock(lock_);
    if (!device_)
        return false;
    const int result = device_->Start();
    lastResult_ = result;
    if (result != AudioOk)
        return false;
    requeue_ = buffersQueued_;
    recording_ = true;
    return true;
}

bool WaveRecorder::StopRecording()
{
    if (!recording_)
        return false;
    std::lock_guard lock(lock_);
    if (!device_)
        return false;
    // From now on a returned buffer stays with us, so that the device ends up holding none.
    requeue_ = false;
    const int result = device_->Reset();
    lastResult_ = result;
    if (result != AudioOk) {
        requeue_ = buffersQueued_;
        return false;
    }
    recording_ = false;
    return true;
}

bool WaveRecorder::ReleaseBuffers()
{
    if (!buffersQueued_)
        return false;
    {
        std::lock_guard lock(lock_);
        if (headers_.empty())
            return false;
    }
    freeBuffers();
    buffersQueued_ = false;
    return true;
}

void WaveRecorder::freeBuffers()
{
    std::unique_lock lock(lock_);
    requeue_ = false;
    std::vector<std::unique_ptr<AudioBuffer>> buffers = std::move(headers_);
    headers_.clear();
    ++generation_;  // late events about these buffers no longer find them
    for (auto& buffer : buffers) {
        if (buffer->inDevice.load()) {
            lock.unlock();
            sleepMs(100);
            lock.lock();
            if (buffer->inDevice.load()) {
                stranded_.push_back(std::move(buffer));
                continue;
            }
        }
        buffer.reset();
    }
}

bool WaveRecorder::Close()
{
    if (!deviceOpen_)
        return false;
    std::lock_guard lock(lock_);
    if (!device_)
        return false;
    const int result = device_->Close();
    lastResult_ = result;
    forgetDeviceLocked();
    deviceOpen_ = false;
    return result == AudioOk;
}

void WaveRecorder::forgetDeviceLocked()
{
    // Once the device object is gone nothing holds our buffers any more.
    device_.reset();
    stranded_.clear();
    for (auto& buffer : headers_)
        buffer->inDevice.store(false);
}

bool WaveRecorder::StartAll()
{
    if (!startAndOpen())
        return false;
    if (!QueueBuffers()) {
        Close();
        StopThread();
        return false;
    }
    if (!StartRecording()) {
        // The device still holds the buffers just queued: take them back so that they can be
        // freed and the device closed.
        {
            std::lock_guard lock(lock_);
            requeue_ = false;
            if (device_)
                lastResult_ = device_->Reset();
        }
        ReleaseBuffers();
        Close();
        StopThread();
        return false;
    }
    return true;
}

bool WaveRecorder::StopAll()
{
    StopRecording();
    sleepMs(100);
    ReleaseBuffers();
    if (Close())
        StopThread();
    return true;
}

AudioBuffer* WaveRecorder::bufferForTagLocked(std::uint64_t tag) const
{
    if ((tag >> 8) != generation_)
        return nullptr;
    const std::size_t index = tag & 0xFF;
    return index < headers_.size() ? headers_[index].get() : nullptr;
}

void WaveRecorder::onMessage(const AudioMessage& message)
{
    if (message.event == AudioEvent::DeviceLost) {
        OnDeviceLost();
        return;
    }
    if (message.event != AudioEvent::InputFilled)
        return;
    std::array<std::uint8_t, BufferBytes> block;
    {
        std::lock_guard lock(lock_);
        AudioBuffer* buffer = bufferForTagLocked(message.tag);
        if (!buffer || buffer->inDevice.load())
            return;
        // A buffer returned by a reset is only partly filled: it is neither passed on nor
        // queued again.
        if (buffer->bytesRecorded != BufferBytes || buffer->lengthBytes() != BufferBytes)
            return;
        std::memcpy(block.data(), buffer->samples.data(), BufferBytes);
    }
    OnBlock(block.data(), BufferBytes);
    std::lock_guard lock(lock_);
    AudioBuffer* buffer = bufferForTagLocked(message.tag);
    if (buffer && requeue_ && device_ && !buffer->inDevice.load())
        device_->Queue(buffer);
}

}  // namespace lumo
