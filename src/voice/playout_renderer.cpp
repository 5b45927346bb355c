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
        sonicFlushStream(scaler_);
        while (sonicReadShortFromStream(scaler_, scaled_.data(), MaxSamples) > 0) {
        }
    }
}

PlayoutRenderer::~PlayoutRenderer()
{
    if (scaler_)
        sonicDestroyStream(scaler_);
}

int PlayoutRenderer::endScaling(int at)
{
    scalerOwed_ = 0;
    if (!scaling_)
        return 0;
    scaling_ = false;
    // Flushed at normal speed, Sonic hands on what it kept back unchanged and forgets where it
    // was in its pitch periods, so that the next stretch starts afresh.
    sonicSetSpeed(scaler_, 1.0f);
    sonicFlushStream(scaler_);
    int produced = 0, n = 0;
    const int room = int(scaled_.size()) - at;
    while (produced < room && (n = sonicReadShortFromStream(scaler_, scaled_.data() + at + produced, room - produced)) > 0)
        produced += n;
    return produced;
}

const std::int16_t* PlayoutRenderer::scale(int count, double speed, int* produced)
{
    *produced = count;
    if (!scaler_)
        return pcm_.data();
    if (speed == 1.0) {
        if (!scaling_)
            return pcm_.data();
        // What Sonic still holds was before these samples: it goes first.
        const int before = endScaling(0);
        const int n = std::min(count, int(scaled_.size()) - before);
        std::copy_n(pcm_.begin(), n, scaled_.begin() + before);
        *produced = before + n;
        return scaled_.data();
    }
    ++scaledRecords_;
    scaling_ = true;
    sonicSetSpeed(scaler_, static_cast<float>(speed));
    sonicWriteShortToStream(scaler_, pcm_.data(), count);
    scalerOwed_ += double(count) / speed;
    int n = 0;
    *produced = 0;
    const int room = MaxSamples;
    while (*produced < room && (n = sonicReadShortFromStream(scaler_, scaled_.data() + *produced, room - *produced)) > 0)
        *produced += n;
    scalerOwed_ = std::max(0.0, scalerOwed_ - *produced);
    return scaled_.data();
}

int PlayoutRenderer::release()
{
    const int produced = std::min(endScaling(0), int(out_.size()) - held_);
    std::copy_n(carry_.begin(), held_, out_.begin());
    std::copy_n(scaled_.begin(), produced, out_.begin() + held_);
    const int total = held_ + produced;
    const int whole = total / PeriodSamples * PeriodSamples;
    held_ = total - whole;
    std::copy_n(out_.begin() + whole, held_, carry_.begin());
    return whole;
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
        // The spurt is over: what was kept (and what the time-scaler held) goes out, the last
        // period filled with silence.
        std::copy_n(carry_.begin(), held_, out_.begin());
        const int total = held_ + (scaler_ ? endScaling(0) : 0);
        std::copy_n(scaled_.begin(), total - held_, out_.begin() + held_);
        held_ = 0;
        if (total == 0)
            return 0;
        const int whole = (total + PeriodSamples - 1) / PeriodSamples * PeriodSamples;
        std::fill(out_.begin() + total, out_.begin() + whole, std::int16_t{0});
        return whole;
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
    produced = std::min(produced, int(out_.size()) - held_);
    std::copy_n(scaled, produced, out_.begin() + held_);
    const int total = held_ + produced;
    const int whole = total / PeriodSamples * PeriodSamples;
    held_ = total - whole;
    std::copy_n(out_.begin() + whole, held_, carry_.begin());
    return whole;
}

}  // namespace lumo
