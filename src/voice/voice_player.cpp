#include "voice/voice_player.h"

#include <algorithm>
#include <chrono>

namespace lumo {

VoicePlayer::VoicePlayer(AudioSystem& audio, int memberId)
    : AudioWorker(audio), memberId_(memberId), clock_([] {
          return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count());
      })
{
    // Every output buffer the player will ever use, made here: nothing allocates on its thread.
    freeBuffers_.reserve(PoolBuffers);
    outstanding_.reserve(PoolBuffers);
    for (AudioBuffer& buffer : pool_) {
        buffer.samples.reserve(BufferSamples);
        freeBuffers_.push_back(&buffer);
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

// Hands samples to the device in 10 ms buffers from the pool, so that the device's returns tell
// the player thread, 10 ms at a time, how much is left to play.
bool VoicePlayer::queueSamples(const std::int16_t* samples, int count)
{
    for (int at = 0; at < count; at += BufferSamples) {
        const int n = std::min(BufferSamples, count - at);
        std::lock_guard lock(lock_);
        if (!device_)
            return false;
        if (freeBuffers_.empty()) {
            lastResult_ = AudioNoMemory;
            return false;
        }
        AudioBuffer* buffer = freeBuffers_.back();
        buffer->samples.assign(samples + at, samples + at + n);  // within its reserved 10 ms
        buffer->tag = nextTag_++;
        const int result = device_->Queue(buffer);
        lastResult_ = result;
        if (result != AudioOk)
            return false;
        freeBuffers_.pop_back();
        outstanding_.push_back(buffer);
        ++queued_;
        queuedSamples_ += n;
    }
    return true;
}

void VoicePlayer::onMessage(const AudioMessage& message)
{
    switch (message.event) {
    case AudioEvent::OutputDone: {
        cardPeriods_.noteReturn(clock_());
        {
            std::lock_guard lock(lock_);
            auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                                   [&](const AudioBuffer* b) { return b->tag == message.tag; });
            if (it != outstanding_.end() && !(*it)->inDevice.load()) {
                AudioBuffer* done = *it;
                outstanding_.erase(it);
                freeBuffers_.push_back(done);
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
    case AudioEvent::WakeUp:
        pump();
        return;  // not an event from outside: tests count those
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
    const std::int64_t now = clock_() / 1000;
    for (const HandOver& item : taken) {
        playout_.push(item.record, now);
        gain_ = item.gain;
    }
}

void VoicePlayer::pump()
{
    wakeUp_.reset();
    if (!deviceOpen_.load()) {
        awaitsDecision_.store(false);
        return;
    }
    for (;;) {
        int queued = 0;
        {
            std::lock_guard lock(lock_);
            queued = queuedSamples_;
        }
        const int held = renderer_.heldSamples();
        if (queued + held > LeadSamples)
            break;
        // Sound the time-scaler holds back for its next period search goes to a card about to
        // run dry before anything is asked of the step (which would conceal).
        if (queued < PlayoutStep::CardFloorMs * SamplesPerMs && renderer_.scalerHeldSamples() > 0) {
            const int released = renderer_.release();
            if (released > 0 && !queueSamples(renderer_.samples(), released))
                break;
            continue;
        }
        const std::int64_t nowUs = clock_();
        const std::int64_t now = nowUs / 1000;
        PlayoutStep::Card card;
        card.queuedMs = queued / SamplesPerMs;
        card.heldMs = held / SamplesPerMs;
        card.scalerMs = renderer_.scalerHeldSamples() / SamplesPerMs;
        card.sincePeriodMs = cardPeriods_.sinceMs(nowUs);
        const PlayoutStep::Chunk chunk = playout_.pull(now, card);
        // A card that holds a buffer gives it back before then, and the step is asked again.
        if (chunk.kind == PlayoutStep::Kind::Wait && queued == 0)
            wakeUp_ = MessageQueue::Clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(0, chunk.askAtMs - now));
        if (chunk.kind == PlayoutStep::Kind::Wait && renderer_.scalerHeldSamples() > 0) {
            // The next record is not there yet: what the time-scaler holds goes to the card now,
            // not when the card is nearly dry, so that a player thread run late cannot find it
            // empty with sound held back.
            const int released = renderer_.release();
            if (released > 0)
                queueSamples(renderer_.samples(), released);
            break;
        }
        const int count = renderer_.render(chunk, volume_.load(), gain_);
        if (chunk.kind == PlayoutStep::Kind::Record)
            playout_.notePlayedQuiet(renderer_.lastRecordQuiet());
        // A record the time-scaler took in whole (it keeps back a little for its next period
        // search) leaves the card as low as it was: ask again.
        if (count == 0 && chunk.kind != PlayoutStep::Kind::Record)
            break;
        if (count > 0 && !queueSamples(renderer_.samples(), count))
            break;  // the device refuses: try again at the next event
    }
    awaitsDecision_.store(wakeUp_.has_value());
    std::lock_guard lock(lock_);
    countersCopy_ = playout_.counters();
}

}  // namespace lumo
