// The talking indicator on simulated time: on with the first record, kept on across the 60 ms
// rhythm and a lost record, off within 300 ms of the last record, per member.
#include "core/voice/talking_indicator.h"

#include <gtest/gtest.h>

using namespace lumo;

namespace {

TEST(TalkingIndicator, OnWhileRecordsComeOffWithin300MsOfTheLast)
{
    TalkingIndicator indicator;
    EXPECT_FALSE(indicator.nextDeadline());
    EXPECT_TRUE(indicator.heard(3, 1000));
    std::int64_t last = 1000;
    // A record every 60 ms, one of them lost: the indicator stays on throughout.
    for (std::int64_t t = 1060; t <= 1600; t += 60) {
        if (t == 1300) continue;
        EXPECT_FALSE(indicator.heard(3, t));
        last = t;
        for (std::int64_t step = t; step < t + 60; step += 10) EXPECT_TRUE(indicator.expire(step).empty()) << step;
    }
    ASSERT_TRUE(indicator.nextDeadline());
    EXPECT_GT(*indicator.nextDeadline(), last);
    EXPECT_LE(*indicator.nextDeadline(), last + 300);
    EXPECT_TRUE(indicator.expire(*indicator.nextDeadline() - 1).empty());
    EXPECT_EQ(indicator.expire(*indicator.nextDeadline()), std::vector<int>{3});
    EXPECT_FALSE(indicator.talking(3));
    EXPECT_FALSE(indicator.nextDeadline());
    EXPECT_TRUE(indicator.heard(3, 2000)) << "talking again turns it on again";
}

TEST(TalkingIndicator, MembersAreApartAndBadIdsAndLateRecordsChangeNothing)
{
    TalkingIndicator indicator;
    EXPECT_TRUE(indicator.heard(5, 0));
    EXPECT_TRUE(indicator.heard(1, 100));
    EXPECT_FALSE(indicator.heard(5, 50));
    EXPECT_FALSE(indicator.heard(5, 10)) << "a late record does not move the last one back";
    for (int bad : {-1, TalkingIndicator::MaxMembers, 100000}) EXPECT_FALSE(indicator.heard(bad, 0));
    EXPECT_EQ(*indicator.nextDeadline(), 50 + TalkingIndicator::ClearAfterMs);
    EXPECT_EQ(indicator.expire(50 + TalkingIndicator::ClearAfterMs), std::vector<int>{5});
    EXPECT_TRUE(indicator.talking(1));
    EXPECT_TRUE(indicator.heard(7, 200));
    EXPECT_EQ(indicator.clear(), (std::vector<int>{1, 7}));
    EXPECT_FALSE(indicator.talking(1));
    EXPECT_FALSE(indicator.nextDeadline());
}

}  // namespace
