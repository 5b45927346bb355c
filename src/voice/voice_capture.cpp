#include "voice/voice_capture.h"

#include <array>
#include <cstring>

#include "core/voice/silence_gate.h"

namespace lumo {

VoiceCapture::VoiceCapture(AudioSystem& audio) : WaveRecorder(audio) {}

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

std::uint32_t VoiceCapture::sequence() const
{
    std::lock_guard lock(lock_);
    return sequence_;
}

bool VoiceCapture::DecodeRecord(const VoiceRecord& record, std::int16_t* pcm, int* outLength)
{
    return codec_.Decode(record.speech.data(), static_cast<int>(record.speech.size()), pcm,
                         outLength);
}

void VoiceCapture::OnBlock(const std::uint8_t* data, int length)
{
    // The meter follows the microphone whether or not anything is sent.
    lastLevel_.store(gateLevel(data, length));
    blocksSeen_.fetch_add(1);
    if (!enabled_.load())
        return;
    if (IsQuietBlock(data, length, quietLimit_.load()))
        return;
    if (!data || length != BlockBytes)
        return;

    std::array<std::int16_t, BlockSamples> samples;
    std::memcpy(samples.data(), data, BlockBytes);

    VoiceRecord record;
    {
        std::lock_guard lock(lock_);
        int produced = 0;
        if (!codec_.Encode(samples.data(), BlockBytes, record.speech.data(), &produced) ||
            produced != CodedBlockSize)
            return;
        record.sequence = ++sequence_;
    }

    std::lock_guard lock(sinkLock_);
    if (sink_)
        sink_(record);
}

}  // namespace lumo
