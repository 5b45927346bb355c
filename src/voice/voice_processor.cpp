#include "voice/voice_processor.h"

#include <algorithm>
#include <cstring>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

namespace lumo {

namespace {

constexpr int SampleRate = 8000;

// One instance at 8 kHz mono, in, out and far end alike. The library's newer gain control
// would drive a microphone's analog volume and override our target; the digital one is used.
std::unique_ptr<webrtc::AudioProcessing> makeStep(bool echo)
{
    webrtc::Config config;
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    if (echo) {
        // A filter of 128 ms instead of 48, and the delay between the far end and its echo found
        // by the library itself: the delay through sound card, room and our reader is unknown.
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
        config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    }
    std::unique_ptr<webrtc::AudioProcessing> step(webrtc::AudioProcessing::Create(config));
    if (!step) return nullptr;
    const auto mono = webrtc::AudioProcessing::kMono;
    if (step->Initialize(SampleRate, SampleRate, SampleRate, mono, mono, mono) != webrtc::AudioProcessing::kNoError)
        return nullptr;
    return step;
}

void fillFrame(webrtc::AudioFrame& frame, const std::int16_t* samples)
{
    frame.sample_rate_hz_ = SampleRate;
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = VoiceProcessor::FrameSamples;
    if (samples)
        std::memcpy(frame.data_, samples, VoiceProcessor::FrameSamples * sizeof(std::int16_t));
    else
        std::memset(frame.data_, 0, VoiceProcessor::FrameSamples * sizeof(std::int16_t));
}

bool audible(const std::int16_t* samples)
{
    if (!samples) return false;
    for (int i = 0; i < VoiceProcessor::FrameSamples; ++i)
        if (samples[i] > VoiceProcessor::FarEndFloor || samples[i] < -VoiceProcessor::FarEndFloor) return true;
    return false;
}

}  // namespace

VoiceProcessor::VoiceProcessor()
    : echo_(makeStep(true)), noise_(makeStep(false)), voice_(makeStep(false)), gain_(makeStep(false)),
      frame_(std::make_unique<webrtc::AudioFrame>()), farFrame_(std::make_unique<webrtc::AudioFrame>())
{
    if (!echo_ || !noise_ || !voice_ || !gain_) return;
    using webrtc::AudioProcessing;
    bool ok = true;
    auto check = [&ok](int result) { ok = ok && result == AudioProcessing::kNoError; };

    webrtc::EchoCancellation* echo = echo_->echo_cancellation();
    check(echo->enable_drift_compensation(false));
    // The mildest suppression of what is left after the filter: it keeps the near speech best
    // while both talk at once; the noise suppression after it takes most of the rest.
    check(echo->set_suppression_level(webrtc::EchoCancellation::kLowSuppression));
    check(echo->Enable(true));

    check(noise_->high_pass_filter()->Enable(true));
    check(noise_->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh));
    check(noise_->noise_suppression()->Enable(true));

    check(voice_->voice_detection()->set_likelihood(webrtc::VoiceDetection::kModerateLikelihood));
    check(voice_->voice_detection()->Enable(true));

    webrtc::GainControl* gain = gain_->gain_control();
    check(gain->set_mode(webrtc::GainControl::kAdaptiveDigital));
    check(gain->set_target_level_dbfs(-TargetPeakDbfs));
    check(gain->set_compression_gain_db(9));
    check(gain->enable_limiter(true));
    check(gain->Enable(true));
    ready_ = ok;
}

VoiceProcessor::~VoiceProcessor() = default;

bool VoiceProcessor::runFrame(webrtc::AudioProcessing* step, std::int16_t* samples)
{
    fillFrame(*frame_, samples);
    // A warning (a stream setting out of range, which the library then clamps) still processed
    // the frame.
    const int result = step->ProcessStream(frame_.get());
    if (result != webrtc::AudioProcessing::kNoError && result != webrtc::AudioProcessing::kBadStreamParameterWarning)
        return false;
    std::memcpy(samples, frame_->data_, FrameSamples * sizeof(std::int16_t));
    return true;
}

VoiceProcessor::Result VoiceProcessor::process(std::int16_t* block, const std::int16_t* farEnd,
                                               const VoiceProcessingChoice& choice)
{
    Result result;
    if (!ready_ || !block) return result;
    for (int f = 0; f < BlockFrames; ++f) {
        std::int16_t* near = block + f * FrameSamples;
        const std::int16_t* far = farEnd ? farEnd + f * FrameSamples : nullptr;
        farSilentFrames_ = audible(far) ? 0 : std::min(farSilentFrames_ + 1, EchoTailFrames);
        if (choice.echoCancellation && farSilentFrames_ < EchoTailFrames) {
            fillFrame(*farFrame_, far);
            echo_->ProcessReverseStream(farFrame_.get());
            // Required with echo cancellation on; the library finds the real delay itself.
            echo_->set_stream_delay_ms(0);
            runFrame(echo_.get(), near);
            result.echoCancelled = true;
        }
        if (choice.noiseSuppression) runFrame(noise_.get(), near);
        if (choice.voiceDetection && runFrame(voice_.get(), near) && voice_->voice_detection()->stream_has_voice())
            ++result.voicedFrames;
        if (choice.gainControl) runFrame(gain_.get(), near);
    }
    return result;
}

}  // namespace lumo
