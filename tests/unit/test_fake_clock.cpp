#include <gtest/gtest.h>
#include "tests/fakes/FakeClock.h"

TEST(FakeClock, SleepFiresScheduledActionsInTimeOrder) {
    fake::FakeClock clock;
    std::vector<int> fired;
    clock.After(3000, [&] { fired.push_back(3); });
    clock.After(1000, [&] { fired.push_back(1); });
    clock.Sleep(2000);
    EXPECT_EQ(fired, (std::vector<int>{1}));
    clock.Sleep(2000);
    EXPECT_EQ(fired, (std::vector<int>{1, 3}));
    EXPECT_EQ(clock.SleptMs(), 4000);
}

TEST(FakeClock, LocalTimeAndTwelveHourFormat) {
    fake::FakeClock clock;
    clock.SetLocal(2026, 3, 5, 0, 15, 0);
    auto t = clock.GetLocalTime();
    EXPECT_EQ(t.hour, 0);
    EXPECT_EQ(clock.FormatTimeA(t, "hh':'mm':'ss tt"), "12:15:00 AM");
    EXPECT_EQ(clock.FormatTimeW(t, L"HH':'mm':'ss"), L"00:15:00");
}
