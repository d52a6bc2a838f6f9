#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>
#include <syslog.h>

#include "rules/window.h"
#include "host/fake_host.h"

namespace {

class Window : public ::testing::Test {
protected:
    void use_zone(const char* zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    void SetUp() override
    {
        use_zone("UTC0");
        fake_host_reset(0);
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
    }
    // Local time in the zone in force; isdst -1 lets mktime decide.
    static time_t local(int year, int month, int day, int hour, int minute, int second = 0)
    {
        tm fields = {};
        fields.tm_year = year - 1900;
        fields.tm_mon = month - 1;
        fields.tm_mday = day;
        fields.tm_hour = hour;
        fields.tm_min = minute;
        fields.tm_sec = second;
        fields.tm_isdst = -1;
        return mktime(&fields);
    }
};

TEST_F(Window, ParseTimeOfDay)
{
    EXPECT_EQ(parse_time_of_day("08:30"), 510);
    EXPECT_EQ(parse_time_of_day("0:0"), 0);
    EXPECT_EQ(parse_time_of_day("23:59"), 1439);
    EXPECT_EQ(parse_time_of_day("  7:05 and more"), 425);
    EXPECT_TRUE(fake_host.log.empty());

    EXPECT_EQ(parse_time_of_day(""), -1);
    EXPECT_TRUE(fake_host.log.empty());        // empty: silent

    for (const char* bad : {"24:00", "12:60", "12", "noon", "-1:00", "12-30", " "}) {
        fake_host.log.clear();
        EXPECT_EQ(parse_time_of_day(bad), -1) << bad;
        ASSERT_EQ(fake_host.log.size(), 1u) << bad;
        EXPECT_EQ(fake_host.log[0], (LoggedLine{LOG_NOTICE, std::string("invalid time ") + bad}));
    }
}

TEST_F(Window, NextOccurrenceIsTodayOrOneFixedDayLater)
{
    time_t noon = local(2026, 6, 10, 12, 0);
    EXPECT_EQ(next_occurrence(17 * 60, noon), local(2026, 6, 10, 17, 0));
    EXPECT_EQ(next_occurrence(8 * 60, noon), local(2026, 6, 11, 8, 0));
    EXPECT_EQ(next_occurrence(12 * 60, noon), noon);                  // not strictly later
    EXPECT_EQ(next_occurrence(12 * 60, noon + 1), noon + 86400);
    EXPECT_EQ(next_occurrence(-1, noon), local(2026, 6, 10, 23, 59));  // 23:59 the day before, +1 day
    EXPECT_EQ(next_occurrence(0, noon), local(2026, 6, 11, 0, 0));
}

TEST_F(Window, BothBoundsEmptyProbesAllDay)
{
    MonitorWindow window;
    window_init(window, -1, -1, local(2026, 6, 10, 12, 0));
    EXPECT_EQ(window.state, WINDOW_ALWAYS);
    EXPECT_EQ(window.deadline, -1);
    for (int hour = 0; hour < 48; hour += 5)
        EXPECT_TRUE(window_check(window, local(2026, 6, 10, 0, 0) + hour * 3600));
}

TEST_F(Window, DayWindowStartedInsideProbesUntilStop)
{
    MonitorWindow window;
    window_init(window, 8 * 60, 17 * 60, local(2026, 6, 10, 12, 0));
    EXPECT_EQ(window.state, WINDOW_ACTIVE);
    EXPECT_EQ(window.deadline, local(2026, 6, 10, 17, 0));
    EXPECT_TRUE(window_check(window, local(2026, 6, 10, 16, 59, 59)));
    EXPECT_TRUE(window_check(window, local(2026, 6, 10, 17, 0)));      // deadline not yet passed
    EXPECT_FALSE(window_check(window, local(2026, 6, 10, 17, 0, 1)));
    EXPECT_EQ(window.state, WINDOW_WAITING);
    EXPECT_EQ(window.deadline, local(2026, 6, 11, 8, 0));
    EXPECT_FALSE(window_check(window, local(2026, 6, 11, 8, 0)));
    EXPECT_TRUE(window_check(window, local(2026, 6, 11, 8, 0, 1)));   // probes in the same iteration
    EXPECT_EQ(window.state, WINDOW_ACTIVE);
    EXPECT_EQ(window.deadline, local(2026, 6, 11, 17, 0));
}

TEST_F(Window, DayWindowStartedAfterStopWaitsUntilNextMorning)
{
    MonitorWindow window;
    window_init(window, 8 * 60, 17 * 60, local(2026, 6, 10, 18, 0));
    EXPECT_EQ(window.state, WINDOW_WAITING);
    EXPECT_EQ(window.deadline, local(2026, 6, 11, 8, 0));
    EXPECT_FALSE(window_check(window, local(2026, 6, 11, 7, 0)));
}

TEST_F(Window, NightWindowAcrossMidnight)
{
    MonitorWindow window;
    window_init(window, 22 * 60, 6 * 60, local(2026, 6, 10, 23, 0));
    EXPECT_EQ(window.state, WINDOW_ACTIVE);
    EXPECT_EQ(window.deadline, local(2026, 6, 11, 6, 0));
}

TEST_F(Window, EqualBoundsAlternateWholeDays)
{
    MonitorWindow window;
    window_init(window, 10 * 60, 10 * 60, local(2026, 6, 10, 12, 0));
    EXPECT_EQ(window.state, WINDOW_WAITING);
    EXPECT_EQ(window.deadline, local(2026, 6, 11, 10, 0));
    EXPECT_TRUE(window_check(window, local(2026, 6, 11, 10, 0, 1)));
    EXPECT_EQ(window.deadline, local(2026, 6, 12, 10, 0));            // active a whole day
    EXPECT_FALSE(window_check(window, local(2026, 6, 12, 10, 0, 1)));
    EXPECT_EQ(window.deadline, local(2026, 6, 13, 10, 0));            // then waiting a whole day
}

TEST_F(Window, OnlyStopSetCountsStartAs2359)
{
    MonitorWindow window;
    window_init(window, -1, 17 * 60, local(2026, 6, 10, 12, 0));
    EXPECT_EQ(window.state, WINDOW_ACTIVE);
    EXPECT_EQ(window.deadline, local(2026, 6, 10, 17, 0));
    EXPECT_FALSE(window_check(window, local(2026, 6, 10, 17, 0, 1)));
    EXPECT_EQ(window.deadline, local(2026, 6, 10, 23, 59));
}

TEST_F(Window, DaylightSavingKeepsTheFlagOfNowAndAddsAFixedDay)
{
    use_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // The day before the spring change: 10:00 has passed, so the result is
    // 10:00 standard time plus 86400 s, which on the 29th reads 11:00 summer time.
    time_t before = local(2026, 3, 28, 12, 0);
    time_t next = next_occurrence(10 * 60, before);
    EXPECT_EQ(next, local(2026, 3, 28, 10, 0) + 86400);
    EXPECT_EQ(next, local(2026, 3, 29, 11, 0));
    // On a summer day the flag is summer time and the bound is exact.
    EXPECT_EQ(next_occurrence(10 * 60, local(2026, 7, 1, 9, 0)), local(2026, 7, 1, 10, 0));
    // In autumn, from summer time at 01:00 on the day of the change, 10:00
    // with the summer flag is 09:00 winter time.
    time_t autumn = local(2026, 10, 25, 1, 0);
    EXPECT_EQ(next_occurrence(10 * 60, autumn), local(2026, 10, 25, 9, 0));
}

} // namespace
