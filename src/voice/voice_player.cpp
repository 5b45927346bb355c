#include "voice/voice_player.h"

#include "core/voice/silence_gate.h"
#include "core/voice/sound_choices.h"

#include <sonic.h>

#include <algorithm>
#include <chrono>
#include <new>

namespace lumo {

VoicePlayer::VoicePlayer(AudioSystem& audio, int memberId)
    : AudioWorker(audio), memberId_(memberId), clock_([] {
          return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count());
      }),
      scaler_(sonicCreateStream(8000, 1))
{
    // The time-scaler's buffers grow to what the slowest and fastest speeds need here, once, so
    // that it never allocates on the player thread.
    if (scaler_) {
        for (const float speed : {0.5f, 2.0f, 1.0f}) {
            sonicSetSpeed(scaler_, speed);
            sonicWriteShortToStream(scaler_, pcm_.data(), static_cast<int>(pcm_.size()) / 2);
            while (sonicReadShortFromStream(scaler_, scaled_.data(), static_cast<int>(scaled_.size())) > 0) {
            }
        }
    }
}

VoicePlayer::~VoicePlayer()
{
    // No new output from here on.
    deviceOpen_.store(false);
    if (threadRunning())
        StopThread();
    // A thread that did not end in time is waited for: it must not outlive the player.
    joinThread();

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
    queuedSamples_ = 0;
    if (scaler_)
        sonicDestroyStream(scaler_);
}

bool VoicePlayer::Open()
{
    if (deviceOpen_.load())
        return false;
    std::unique_ptr<AudioDevice> device = openOutput(format_, memberId_);
    if (!device)
        return false;
    {
        std::lock_guard lock(lock_);
        device_ = std::move(device);
        queued_ = 0;
        queuedSamples_ = 0;
    }
    deviceOpen_.store(true);
    return true;
}

bool VoicePlayer::StartAll()
{
    return startAndOpen();
}

bool VoicePlayer::Submit(const std::uint8_t* record, int length, bool gain)
{
    if (!record || length != static_cast<int>(VoiceRecordSize))
        return false;
    return Submit(decodeVoiceRecord(record), gain);
}

bool VoicePlayer::Submit(const VoiceRecord& record, bool gain)
{
    bool wake = false;
    {
        std::lock_guard lock(lock_);
        if (handOver_.size() >= HandOverCapacity) {
            ++handOverDropped_;
            return false;
        }
        wake = handOver_.empty();  // one wake-up per batch keeps the thread's queue bounded
        handOver_.push_back(HandOver{record, gain});
    }
    if (wake) {
        if (NotifyTarget target = queue())
            target->post(AudioMessage{AudioEvent::RecordArrived, 0});
    }
    return true;
}

int VoicePlayer::queued() const
{
    std::lock_guard lock(lock_);
    return queued_;
}

int VoicePlayer::queuedSamples() const
{
    std::lock_guard lock(lock_);
    return queuedSamples_;
}

PlayoutStep::Counters VoicePlayer::playoutCounters() const
{
    std::lock_guard lock(lock_);
    return countersCopy_;
}

bool VoicePlayer::Play(const std::int16_t* samples, int length)
{
    if (!deviceOpen_.load())
        return false;
    if (!samples || length <= 0 || length % 2 != 0 || length > MaxPlayBytes)
        return false;
    {
        std::lock_guard lock(lock_);
        if (queuedSamples_ >= MaxQueuedSamples)
            return true;  // the device is far enough behind: this block is dropped
    }
    return queueSamples(samples, length / 2);
}

// Hands samples to the device in 10 ms buffers, so that the device's returns tell the player
// thread, 10 ms at a time, how much is left to play.
bool VoicePlayer::queueSamples(const std::int16_t* samples, int count)
{
    for (int at = 0; at < count; at += BufferSamples) {
        const int n = std::min(BufferSamples, count - at);
        std::unique_ptr<AudioBuffer> buffer;
        try {
            buffer = std::make_unique<AudioBuffer>();
            buffer->samples.assign(samples + at, samples + at + n);
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
        queuedSamples_ += n;
        const int result = device_->Queue(raw);
        lastResult_ = result;
        if (result != AudioOk) {
            outstanding_.pop_back();
            --queued_;
            queuedSamples_ -= n;
            return false;
        }
    }
    return true;
}

void VoicePlayer::onMessage(const AudioMessage& message)
{
    switch (message.event) {
    case AudioEvent::OutputDone: {
        {
            std::unique_ptr<AudioBuffer> done;
            std::lock_guard lock(lock_);
            auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                                   [&](const auto& b) { return b->tag == message.tag; });
            if (it != outstanding_.end() && !(*it)->inDevice.load()) {
                done = std::move(*it);
                outstanding_.erase(it);
                --queued_;
                queuedSamples_ -= static_cast<int>(done->samples.size());
            }
        }
        pump();
        break;
    }
    case AudioEvent::RecordArrived:
        takeHandOver();
        pump();
        ++passes_;
        break;
    default:
        return;
    }
    ++events_;
}

void VoicePlayer::takeHandOver()
{
    std::deque<HandOver> taken;
    {
        std::lock_guard lock(lock_);
        taken.swap(handOver_);
    }
    const std::int64_t now = clock_();
    for (const HandOver& item : taken) {
        playout_.push(item.record, now);
        gain_ = item.gain;
    }
}

// Ramps the level from where the last chunk left it to gainPermille over count samples at pcm_.
void VoicePlayer::fadeTo(int count, int gainPermille)
{
    const int from = levelPermille_;
    if (from == 1000 && gainPermille == 1000)
        return;
    for (int i = 0; i < count; ++i) {
        const int gain = from + (gainPermille - from) * (i + 1) / count;
        pcm_[std::size_t(i)] = static_cast<std::int16_t>(pcm_[std::size_t(i)] * gain / 1000);
    }
    levelPermille_ = gainPermille;
}

bool VoicePlayer::playScaled(int count, double speed)
{
    if (!scaler_)
        return queueSamples(pcm_.data(), count);
    sonicSetSpeed(scaler_, static_cast<float>(speed));
    if (!sonicWriteShortToStream(scaler_, pcm_.data(), count))
        return false;
    scalerHeld_ += count;
    for (;;) {
        const int n = sonicReadShortFromStream(scaler_, scaled_.data(), static_cast<int>(scaled_.size()));
        if (n <= 0)
            break;
        scalerHeld_ -= n * speed;
        if (!queueSamples(scaled_.data(), n))
            return false;
    }
    // At normal speed the scaler passes everything through.
    scalerHeld_ = speed == 1.0 ? 0 : std::max(0.0, scalerHeld_);
    return true;
}

void VoicePlayer::pump()
{
    if (!deviceOpen_.load())
        return;
    for (;;) {
        int queued = 0;
        {
            std::lock_guard lock(lock_);
            queued = queuedSamples_;
        }
        if (queued > LeadSamples)
            break;
        const int queuedMs = (queued + static_cast<int>(scalerHeld_)) / (SamplesPerFrame / PlayoutStep::FrameMs);
        const PlayoutStep::Chunk chunk = playout_.pull(clock_(), queuedMs);
        int count = 0;
        double speed = 1.0;
        switch (chunk.kind) {
        case PlayoutStep::Kind::Nothing:
        case PlayoutStep::Kind::Wait:
            break;
        case PlayoutStep::Kind::Record:
            codec_.Decode(chunk.record.speech.data(), CodedBlockSize, pcm_.data(), nullptr);
            count = BlockSamples;
            speed = playSpeed(chunk.adjustMs, IsQuietBlock(reinterpret_cast<const std::uint8_t*>(pcm_.data()), BlockBytes));
            // Back from a fade: the level comes up within the first 10 ms.
            fadeTo(SamplesPerFrame, 1000);
            break;
        case PlayoutStep::Kind::Conceal:
            count = std::clamp(chunk.frames, 1, FramesPerBlock);
            codec_.Conceal(pcm_.data(), count);
            count *= SamplesPerFrame;
            fadeTo(count, chunk.gainPermille);
            break;
        case PlayoutStep::Kind::Silence:
            count = std::clamp(chunk.frames * SamplesPerFrame, 0, static_cast<int>(pcm_.size()));
            std::fill_n(pcm_.begin(), count, std::int16_t{0});
            levelPermille_ = 1000;
            break;
        }
        if (count == 0)
            break;
        applyVolume(pcm_.data(), count, volume_.load(), gain_);
        if (!playScaled(count, speed))
            break;  // the device refuses: try again at the next event
    }
    std::lock_guard lock(lock_);
    countersCopy_ = playout_.counters();
}

}  // namespace lumo
