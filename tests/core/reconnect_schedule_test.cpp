// Joining again by itself: the waits between attempts on simulated time, and what counts as the
// network having changed.
#include "core/group/reconnect_schedule.h"

#include <gtest/gtest.h>

using namespace lumo;

namespace {

// The times at which attempts come when `advance` is called every 100 ms from `from` to `until`.
std::vector<ReconnectSchedule::Millis> attemptTimes(ReconnectSchedule& schedule, ReconnectSchedule::Millis from,
                                                    ReconnectSchedule::Millis until)
{
    std::vector<ReconnectSchedule::Millis> times;
    for (ReconnectSchedule::Millis now = from; now <= until; now += 100)
        if (schedule.attemptDue(now)) times.push_back(now);
    return times;
}

}  // namespace

TEST(ReconnectSchedule, WaitsDoubleFromOneSecondAndStayAtThirty)
{
    ReconnectSchedule schedule;
    EXPECT_FALSE(schedule.active());
    EXPECT_FALSE(schedule.attemptDue(5000));
    schedule.lost(10'000);
    EXPECT_TRUE(schedule.active());
    EXPECT_EQ(schedule.secondsUntilNext(10'000), 1);
    // 1, 2, 4, 8, 16, 30, 30 s after one another.
    const std::vector<ReconnectSchedule::Millis> expected = {11'000, 13'000, 17'000, 25'000, 41'000, 71'000, 101'000};
    EXPECT_EQ(attemptTimes(schedule, 10'000, 101'000), expected);
    EXPECT_EQ(schedule.attempts(), 7);
    EXPECT_EQ(schedule.secondsUntilNext(101'000), 30);
    EXPECT_EQ(schedule.secondsUntilNext(130'001), 1);
}

TEST(ReconnectSchedule, StopEndsItAndALossStartsTheWaitsOver)
{
    ReconnectSchedule schedule;
    schedule.lost(0);
    attemptTimes(schedule, 0, 20'000);  // 1, 3, 7, 15 s: the wait is now 16 s
    ASSERT_EQ(schedule.attempts(), 4);
    schedule.lost(20'000);  // the network changed again
    EXPECT_EQ(schedule.attempts(), 0);
    EXPECT_EQ(schedule.nextAttempt(), 21'000);
    schedule.stop();  // joined
    EXPECT_FALSE(schedule.active());
    EXPECT_TRUE(attemptTimes(schedule, 20'000, 200'000).empty());
    EXPECT_EQ(schedule.secondsUntilNext(25'000), 0);
}

// A program that was suspended for minutes makes one attempt on waking, not a burst.
TEST(ReconnectSchedule, AnOverdueAttemptComesOnce)
{
    ReconnectSchedule schedule;
    schedule.lost(0);
    EXPECT_TRUE(schedule.attemptDue(600'000));
    EXPECT_FALSE(schedule.attemptDue(600'000));
    EXPECT_FALSE(schedule.attemptDue(601'999));
    EXPECT_TRUE(schedule.attemptDue(602'000));
}

TEST(NetworkIdentity, DefaultRouteFromTheRoutingTable)
{
    const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    struct Case {
        const char* what;
        std::string table;
        std::string route;
    };
    const std::vector<Case> cases = {
        {"default route", header + "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                              "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
         "eth0 0102A8C0"},
        {"only a link route", header + "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", ""},
        {"first default wins", header + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                                   "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "wlan0 0101A8C0"},
        {"short and empty lines skipped", "\n\neth0 00000000\n" + header + "tun0 00000000 00000000 1 0 0 0 00000000\n",
         "tun0 00000000"},
        {"empty table", "", ""},
        {"no newline at the end", "ppp0 00000000 0A000001 3 0 0 0 00000000", "ppp0 0A000001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(defaultRouteOf(c.table), c.route);
    }
    // A table longer than the bound is not read past it.
    std::string longTable;
    for (int i = 0; i < 10; ++i) longTable += "eth0 0002A8C0 00000000 1 0 0 0 00FFFFFF\n";
    longTable += "eth0 00000000 0102A8C0 3 0 0 0 00000000\n";
    EXPECT_EQ(defaultRouteOf(longTable, 10), "");
    EXPECT_EQ(defaultRouteOf(longTable, 11), "eth0 0102A8C0");
}

TEST(NetworkIdentity, LoopbackAndOrderDoNotCountAnAddressOrRouteDoes)
{
    const std::string route = "eth0 00000000 0102A8C0 3 0 0 0 00000000\n";
    const NetworkIdentity base = networkIdentity({0xC0A80205, 0x7F000001}, route);
    EXPECT_EQ(base.addresses, (std::vector<Ipv4>{0xC0A80205}));
    EXPECT_EQ(networkIdentity({0x7F000101, 0xC0A80205, 0xC0A80205}, route), base);
    EXPECT_NE(networkIdentity({0xC0A80206}, route), base);
    EXPECT_NE(networkIdentity({0xC0A80205}, "wlan0 00000000 0101A8C0 3 0 0 0 00000000\n"), base);
    EXPECT_NE(networkIdentity({0xC0A80205}, ""), base);
}
