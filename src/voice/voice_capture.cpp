#include "voice/voice_capture.h"

#include <cstring>

namespace lumo {

VoiceCapture::VoiceCapture(AudioSystem& audio, SpeechGate::Timing gateTiming)
    : WaveRecorder(audio), farEnd_(audio.farEnd()), gate_(gateTiming)
{
}

VoiceCapture::~VoiceCapture()
{
    shutdown();
}

void VoiceCapture::setBlockSink(BlockSink sink)
{
    std::lock_guard lock(sinkLock_);
    sink_ = std::move(sink);
}

void VoiceCapture::setLostSink(LostSink sink)
{
    std::lock_guard lock(lostLock_);
    lost_ = std::move(sink);
}

void VoiceCapture::OnDeviceLost()
{
    std::lock_guard lock(lostLock_);
    if (lost_)
        lost_();
}

bool VoiceCapture::DecodeRecord(const VoiceRecord& record, std::int16_t* pcm, int* outLength)
{
    return codec_.Decode(record.speech.data(), static_cast<int>(record.speech.size()), pcm,
                         outLength);
}

void VoiceCapture::OnBlock(const std::uint8_t* data, int length)
{
    if (!data || length != BlockBytes) {
        lastLevel_.store(gateLevel(data, length));
        blocksSeen_.fetch_add(1);
        return;
    }
    Block samples;
    std::memcpy(samples.data(), data, BlockBytes);
    // The far end is read whether or not echo cancellation runs, so that it stays in step with
    // the microphone.
    Block farEnd;
    farEnd_.read(farEnd.data(), BlockSamples);
    const VoiceProcessingChoice choice = audio().voiceProcessing();
    const VoiceProcessor::Result cleaned = processor_.process(samples.data(), farEnd.data(), choice);

    // The meter follows the microphone, as the gate judges it, whether or not anything is sent.
    const int level = gateLevel(reinterpret_cast<const std::uint8_t*>(samples.data()), BlockBytes);
    lastLevel_.store(level);
    blocksSeen_.fetch_add(1);
    if (!enabled_.load()) {
        gate_.reset();
        return;
    }
    const int count = gate_.next(level, cleaned.voicedFrames >= VoicedFramesForSpeech, quietLimit_.load(),
                                 choice.voiceDetection);
    constexpr int Kept = SpeechGate::MaxLookBackBlocks;
    for (int back = count - 1; back >= 1; --back)
        send(recent_[std::size_t((recentNext_ - back + Kept) % Kept)]);
    if (count > 0) send(samples);
    recent_[std::size_t(recentNext_)] = samples;
    recentNext_ = (recentNext_ + 1) % Kept;
}

void VoiceCapture::send(const Block& samples)
{
    VoiceRecord record;
    int produced = 0;
    if (!codec_.Encode(samples.data(), BlockBytes, record.speech.data(), &produced) || produced != CodedBlockSize)
        return;
    record.sequence = sequence_.fetch_add(1) + 1;

    std::lock_guard lock(sinkLock_);
    if (sink_)
        sink_(record);
}

}  // namespace lumo
