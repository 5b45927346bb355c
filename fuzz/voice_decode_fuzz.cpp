// VoiceCodec::Decode on arbitrary speech: the input is one stream of 60-byte blocks decoded in
// order by one decoder, as a player decodes its member's stream. A short last block must be
// refused without touching the output.
#include "fuzz_support.h"

#include "core/voice/voice_codec.h"

#include <algorithm>
#include <array>

using namespace lumo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    VoiceCodec codec;
    std::array<std::int16_t, BlockSamples + 1> pcm;
    std::size_t at = 0;
    for (; at + CodedBlockSize <= size; at += CodedBlockSize) {
        pcm.back() = 0x5A5A;
        int length = 0;
        FUZZ_CHECK(codec.Decode(data + at, CodedBlockSize, pcm.data(), &length));
        FUZZ_CHECK(length == BlockBytes);
        FUZZ_CHECK(pcm.back() == 0x5A5A);  // nothing written past the 480 samples
    }
    if (at < size) {
        pcm.fill(0x1234);
        int length = -1;
        FUZZ_CHECK(!codec.Decode(data + at, static_cast<int>(size - at), pcm.data(), &length));
        FUZZ_CHECK(length == -1);
        FUZZ_CHECK(std::all_of(pcm.begin(), pcm.end(), [](std::int16_t s) { return s == 0x1234; }));
    }
    return 0;
}
