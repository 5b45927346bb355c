#include "core/voice/voice_codec.h"

extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

namespace lumo {

VoiceCodec::VoiceCodec()
    : encoder_(initBcg729EncoderChannel(0)),  // no voice activity detection: full frames only
      decoder_(initBcg729DecoderChannel())
{
}

VoiceCodec::~VoiceCodec()
{
    if (encoder_)
        closeBcg729EncoderChannel(encoder_);
    if (decoder_)
        closeBcg729DecoderChannel(decoder_);
}

bool VoiceCodec::Encode(const std::int16_t* pcm, int length, std::uint8_t* out, int* outLength)
{
    if (!pcm || length != BlockBytes || !out || !encoder_)
        return false;
    for (int k = 0; k < FramesPerBlock; ++k) {
        std::uint8_t frameLength = 0;
        bcg729Encoder(encoder_, pcm + k * SamplesPerFrame, out + k * CodedFrameSize, &frameLength);
    }
    if (outLength)
        *outLength = CodedBlockSize;
    return true;
}

bool VoiceCodec::Decode(const std::uint8_t* data, int length, std::int16_t* pcm, int* outLength)
{
    if (!data || length != CodedBlockSize || !pcm || !decoder_)
        return false;
    for (int k = 0; k < FramesPerBlock; ++k) {
        // Frame present and intact, a speech frame (not a silence description), plain G.729.
        bcg729Decoder(decoder_, data + k * CodedFrameSize, CodedFrameSize, 0, 0, 0,
                      pcm + k * SamplesPerFrame);
    }
    if (outLength)
        *outLength = BlockBytes;
    return true;
}

bool VoiceCodec::Conceal(std::int16_t* pcm, int frames)
{
    if (!pcm || frames < 1 || frames > FramesPerBlock || !decoder_)
        return false;
    const std::uint8_t nothing[CodedFrameSize] = {};  // not read: the frame is marked erased
    for (int k = 0; k < frames; ++k)
        bcg729Decoder(decoder_, nothing, CodedFrameSize, 1, 0, 0, pcm + k * SamplesPerFrame);
    return true;
}

}  // namespace lumo
