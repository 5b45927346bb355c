#include "voice/playout_renderer.h"

#include "core/voice/silence_gate.h"
#include "core/voice/sound_choices.h"

#include <sonic.h>

#include <algorithm>

namespace lumo {

PlayoutRenderer::PlayoutRenderer() : scaler_(sonicCreateStream(8000, 1))
{
    // Sonic's buffers grow to what the slowest and fastest speeds need here, once, so that it
    // never allocates while the player runs.
    if (scaler_) {
        for (const float speed : {0.5f, 2.0f, 1.0f}) {
            sonicSetSpeed(scaler_, speed);
            sonicWriteShortToStream(scaler_, pcm_.data(), MaxSamples / 2);
            while (sonicReadShortFromStream(scaler_, scaled_.data(), MaxSamples) > 0) {
            }
        }
    }
}

PlayoutRenderer::~PlayoutRenderer()
{
    if (scaler_)
        sonicDestroyStream(scaler_);
}

const std::int16_t* PlayoutRenderer::scale(int count, double speed, int* produced)
{
    *produced = count;
    if (speed == 1.0 || !scaler_)
        return pcm_.data();
    ++scaledRecords_;
    sonicSetSpeed(scaler_, static_cast<float>(speed));
    sonicWriteShortToStream(scaler_, pcm_.data(), count);
    // Flushed at normal speed, Sonic hands on what it kept back unchanged and forgets where it
    // was, so that the next block it scales starts afresh (one pitch period in or out each).
    sonicSetSpeed(scaler_, 1.0f);
    sonicFlushStream(scaler_);
    int n = 0;
    *produced = 0;
    while (*produced < MaxSamples && (n = sonicReadShortFromStream(scaler_, scaled_.data() + *produced, MaxSamples - *produced)) > 0)
        *produced += n;
    return scaled_.data();
}

void PlayoutRenderer::concealAside(int frames)
{
    if (!asideInStep_) {
        // The second decoder hears the latest records again: after them its memory is the
        // first one's, near enough for what only stands in for a record.
        for (int i = recentCount_ - 1; i >= 0; --i)
            aside_.Decode(recent_[std::size_t(i)].data(), CodedBlockSize, pcm_.data(), nullptr);
        asideInStep_ = true;
    }
    aside_.Conceal(pcm_.data(), frames);
}

int PlayoutRenderer::render(const PlayoutStep::Chunk& chunk, int volumePercent, bool doubled)
{
    int count = 0;
    double speed = 1.0;
    switch (chunk.kind) {
    case PlayoutStep::Kind::Wait:
        return 0;
    case PlayoutStep::Kind::Nothing: {
        // The spurt is over: what was kept goes out, the period filled with silence.
        if (held_ == 0)
            return 0;
        std::copy_n(carry_.begin(), held_, out_.begin());
        std::fill(out_.begin() + held_, out_.begin() + PeriodSamples, std::int16_t{0});
        held_ = 0;
        return PeriodSamples;
    }
    case PlayoutStep::Kind::Record: {
        codec_.Decode(chunk.record.speech.data(), CodedBlockSize, pcm_.data(), nullptr);
        std::copy_backward(recent_.begin(), recent_.end() - 1, recent_.end());
        std::copy_n(chunk.record.speech.begin(), CodedBlockSize, recent_[0].begin());
        recentCount_ = std::min(recentCount_ + 1, AsideRecords);
        asideInStep_ = false;
        count = BlockSamples;
        background_.note(pcm_.data(), count);
        const bool quiet = IsQuietBlock(reinterpret_cast<const std::uint8_t*>(pcm_.data()), BlockBytes);
        lastQuiet_ = quiet || hardlyAboveBackground(pcm_.data(), count, background_.rms());
        speed = playSpeed(chunk.adjustMs, quiet);
        // Back from a fade: the level comes up within the first 10 ms.
        const int from = levelPermille_;
        if (from != 1000)
            for (int i = 0; i < SamplesPerFrame; ++i)
                pcm_[std::size_t(i)] = static_cast<std::int16_t>(pcm_[std::size_t(i)] * (from + (1000 - from) * (i + 1) / SamplesPerFrame) / 1000);
        levelPermille_ = 1000;
        break;
    }
    case PlayoutStep::Kind::Conceal: {
        const int frames = std::clamp(chunk.frames, 1, FramesPerBlock);
        count = frames * SamplesPerFrame;
        if (chunk.aside) {
            concealAside(frames);
        } else {
            codec_.Conceal(pcm_.data(), frames);
            asideInStep_ = false;
        }
        const int from = levelPermille_, to = chunk.gainPermille;
        if (from != 1000 || to != 1000)
            for (int i = 0; i < count; ++i)
                pcm_[std::size_t(i)] = static_cast<std::int16_t>(pcm_[std::size_t(i)] * (from + (to - from) * (i + 1) / count) / 1000);
        levelPermille_ = to;
        // Faded, or died away in the decoder: never below the talker's own background inside
        // the talk.
        keepAboveFloor(pcm_.data(), count, background_.rms(), &noiseSeed_);
        break;
    }
    case PlayoutStep::Kind::Silence:
        count = std::clamp(chunk.frames * SamplesPerFrame, 0, MaxSamples);
        std::fill_n(pcm_.begin(), count, std::int16_t{0});
        levelPermille_ = 1000;
        break;
    }
    applyVolume(pcm_.data(), count, volumePercent, doubled);
    int produced = 0;
    const std::int16_t* scaled = scale(count, speed, &produced);
    // Behind what was kept; whole periods go out, the rest waits for the next chunk.
    std::copy_n(carry_.begin(), held_, out_.begin());
    produced = std::min(produced, MaxSamples);
    std::copy_n(scaled, produced, out_.begin() + held_);
    const int total = held_ + produced;
    const int whole = total / PeriodSamples * PeriodSamples;
    held_ = total - whole;
    std::copy_n(out_.begin() + whole, held_, carry_.begin());
    return whole;
}

}  // namespace lumo
