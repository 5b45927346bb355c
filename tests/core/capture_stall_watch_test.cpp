// The watch for a microphone that falls silent while talking, on simulated time.
#include "core/voice/capture_stall_watch.h"

#include <gtest/gtest.h>

using namespace lumo;

// Each step: the time, the capture's block count then, and whether the watch calls it a stall.
TEST(CaptureStallWatch, ASilentMicrophoneIsCalledStalledOncePerLimit)
{
    struct Step {
        CaptureStallWatch::Millis at;
        std::uint64_t blocks;
        bool stalled;
    };
    CaptureStallWatch watch;
    watch.setLimit(400);
    EXPECT_FALSE(watch.look(10'000, 0));  // not watching: never a stall
    watch.start(1000, 7);
    const Step steps[] = {
        {1400, 7, false},  // the limit itself is not past it
        {1410, 8, false},  // a block resets the wait...
        {1810, 8, false},
        {1811, 8, true},   // ...and 401 ms without one is a stall
        {1900, 8, false},  // said once: the next one takes a whole limit again
        {2212, 8, true},
    };
    for (const Step& step : steps) EXPECT_EQ(watch.look(step.at, step.blocks), step.stalled) << "at " << step.at;
    watch.stop();
    EXPECT_FALSE(watch.look(60'000, 8));
}

TEST(CaptureStallWatch, LooksAThirdOfTheLimitApartWithinBounds)
{
    CaptureStallWatch watch;
    EXPECT_EQ(watch.lookEveryMs(), 1000);
    watch.setLimit(30);
    EXPECT_EQ(watch.lookEveryMs(), 20);
    watch.setLimit(600'000);
    EXPECT_EQ(watch.lookEveryMs(), 1000);
}
