// G.729 framing of one 60 ms voice block: 480 samples (960 bytes of 16-bit PCM) <-> six 10-byte
// G.729 frames (60 bytes), earliest 10 ms first, in the RFC 3551 bit order that bcg729 reads and
// writes. Each instance owns its own encoder state and decoder state, so one instance may encode
// on one thread while it decodes on another, and instances never disturb each other.
#pragma once

#include <cstdint>

struct bcg729EncoderChannelContextStruct_struct;
struct bcg729DecoderChannelContextStruct_struct;

namespace lumo {

inline constexpr int SamplesPerFrame = 80;     // 10 ms
inline constexpr int FramesPerBlock = 6;       // 60 ms
inline constexpr int CodedFrameSize = 10;
inline constexpr int BlockSamples = SamplesPerFrame * FramesPerBlock;  // 480
inline constexpr int BlockBytes = BlockSamples * 2;                    // 960
inline constexpr int CodedBlockSize = CodedFrameSize * FramesPerBlock; // 60

class VoiceCodec {
public:
    VoiceCodec();
    virtual ~VoiceCodec();
    VoiceCodec(const VoiceCodec&) = delete;
    VoiceCodec& operator=(const VoiceCodec&) = delete;

    // Encodes 960 bytes (480 samples) into 60 bytes at out. Refuses (false, nothing written) a
    // null pcm or out, or a length other than 960. outLength, when given, receives 60.
    bool Encode(const std::int16_t* pcm, int length, std::uint8_t* out, int* outLength);
    // Decodes 60 bytes into 480 samples at pcm. Refuses (false, nothing written) a null data or
    // pcm, or a length other than 60. outLength, when given, receives 960.
    bool Decode(const std::uint8_t* data, int length, std::int16_t* pcm, int* outLength);
    // Fills frames x 80 samples at pcm with the decoder's frame-erasure output: what it makes of
    // frames that never came (the last speech, fading), keeping its state in step with the
    // stream. Refuses a null pcm or a frame count outside 1..6.
    bool Conceal(std::int16_t* pcm, int frames);

private:
    bcg729EncoderChannelContextStruct_struct* encoder_ = nullptr;
    bcg729DecoderChannelContextStruct_struct* decoder_ = nullptr;
};

}  // namespace lumo
