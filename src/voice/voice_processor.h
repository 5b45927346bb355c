// Cleans the microphone's 60 ms blocks before the gate and the encoder, with WebRTC's audio
// processing library (Debian's webrtc-audio-processing), in 10 ms frames at 8 kHz:
//   echo cancellation  against what LUMO's outputs played over the same time (the far end);
//   noise suppression  with a high-pass filter that takes away hum and rumble first;
//   gain control       brings quiet and loud microphones to one level;
//   voice detection    whether a frame holds speech, for a gate that asks for it.
// Each step is a library instance of its own, so that a step switched off is simply not called:
// nothing is set up again on the capture thread, and a step switched back on goes on from its
// state. Echo cancellation also rests while the far end has been silent for a second (no echo
// can arrive then), which saves most of its cost when nobody else talks.
//
// Everything is allocated when the processor is made; process() allocates nothing and waits for
// no other thread. One thread (the capture thread) calls process().
#pragma once

#include <cstdint>
#include <memory>

#include "core/voice/sound_choices.h"

namespace webrtc {
class AudioFrame;
class AudioProcessing;
}  // namespace webrtc

namespace lumo {

class VoiceProcessor {
public:
    static constexpr int FrameSamples = 80;     // 10 ms
    static constexpr int BlockFrames = 6;       // 60 ms
    // Gain control aims the peaks of speech at this level (dBFS).
    static constexpr int TargetPeakDbfs = -9;
    // The far end counts as silent below this sample magnitude; echo cancellation keeps working
    // for EchoTailFrames after it fell silent (the echo of its last words is still on its way).
    static constexpr int FarEndFloor = 8;
    static constexpr int EchoTailFrames = 100;

    struct Result {
        int voicedFrames = 0;        // frames in which the voice detector heard speech
        bool echoCancelled = false;  // whether echo cancellation ran on this block
    };

    VoiceProcessor();
    ~VoiceProcessor();
    VoiceProcessor(const VoiceProcessor&) = delete;
    VoiceProcessor& operator=(const VoiceProcessor&) = delete;

    // Whether the library could be set up; without it process() changes nothing.
    bool ready() const { return ready_; }

    // Cleans 480 samples in place. `farEnd`: the 480 samples LUMO's outputs played over the same
    // 60 ms (null: silence). Steps the choice switches off are skipped.
    Result process(std::int16_t* block, const std::int16_t* farEnd, const VoiceProcessingChoice& choice);

private:
    bool runFrame(webrtc::AudioProcessing* step, std::int16_t* samples);

    std::unique_ptr<webrtc::AudioProcessing> echo_;
    std::unique_ptr<webrtc::AudioProcessing> noise_;
    std::unique_ptr<webrtc::AudioProcessing> voice_;
    std::unique_ptr<webrtc::AudioProcessing> gain_;
    std::unique_ptr<webrtc::AudioFrame> frame_;
    std::unique_ptr<webrtc::AudioFrame> farFrame_;
    int farSilentFrames_ = EchoTailFrames;
    bool ready_ = false;
};

}  // namespace lumo
