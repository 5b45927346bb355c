// The capture path allocates nothing: cleaning (every step, the far end playing, steps switched
// while it runs), gating, encoding and handing records over. Every operator new of this program
// is counted while a thread asks for it (the library's own C allocations are counted by
// bench/voice_processing_bench, which replaces malloc).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "voice/voice_capture.h"
#include "fake_audio.h"
#include "voice_test_support.h"

// The replacements below pair operator new with malloc and operator delete with free; GCC,
// inlining them into this file's code, takes that for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local bool countingNew = false;
std::atomic<long> newCalls{0};
}  // namespace

void* operator new(std::size_t size)
{
    if (countingNew) ++newCalls;
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace lumo {
namespace {

TEST(CaptureAllocationTest, CleaningGatingAndEncodingAllocateNothing)
{
    const auto phrase = test::phraseSamples();
    ASSERT_FALSE(phrase.empty());
    std::vector<std::int16_t> talk;
    for (int i = 0; i < 4; ++i) {
        talk.insert(talk.end(), phrase.begin(), phrase.end());
        talk.insert(talk.end(), 6000, 0);  // pauses: the gate closes and opens again
    }
    test::FakeAudio audio;
    VoiceCapture capture(audio);
    std::vector<VoiceRecord> records;
    records.reserve(talk.size() / BlockSamples);
    capture.setBlockSink([&records](const VoiceRecord& record) { records.push_back(record); });
    capture.setEnabled(true);
    FarEndReference::Writer speaker(&audio.farEnd());
    const VoiceProcessingChoice choices[] = {{true, true, true, true}, {true, false, true, false}, {false, false, false, false}};

    long counted = 0;
    const std::size_t blocks = talk.size() / BlockSamples;
    for (std::size_t b = 0; b < blocks; ++b) {
        // The far end plays the same talk a little earlier: echo cancellation has work.
        const std::size_t farAt = (b + blocks / 2) % blocks * BlockSamples;
        speaker.write(talk.data() + farAt, BlockSamples);
        audio.setVoiceProcessing(choices[b / 20 % 3]);
        countingNew = b >= 10;  // once every step has run
        const long before = newCalls.load();
        capture.OnBlock(reinterpret_cast<const std::uint8_t*>(talk.data() + b * BlockSamples), BlockBytes);
        counted += newCalls.load() - before;
        countingNew = false;
    }
    EXPECT_EQ(counted, 0);
    EXPECT_GT(records.size(), 10u);  // the path ran: records were made and handed over

    // The count itself works.
    countingNew = true;
    const long before = newCalls.load();
    auto* probe = new std::vector<int>(3);
    countingNew = false;
    EXPECT_GT(newCalls.load() - before, 0);
    delete probe;
}

}  // namespace
}  // namespace lumo
