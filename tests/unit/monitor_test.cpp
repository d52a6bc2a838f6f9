#include <cstring>
#include <memory>

#include <gtest/gtest.h>
#include <syslog.h>

#include "core/monitor.h"
#include "host/fake_host.h"
#include "tests/unit/fake_probe.h"

namespace {

constexpr time_t START = 1780000000;

class Cycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings_empty(settings);
        settings.address[0] = "first";
        settings.interval[0] = 10;
        settings.interval[1] = 2;
        settings.size[0] = 56;
        settings.size[1] = 8;
        settings.log_all = 1;
        fake_host_reset(START);
        fake_probe_reset();
        link_stats_reset(stats.get());
        monitor_begin(settings, stats.get(), START);
    }
    std::vector<std::string> info_lines() const
    {
        std::vector<std::string> lines;
        for (const LoggedLine& line : fake_host.log) {
            EXPECT_EQ(line.priority, LOG_INFO);
            lines.push_back(line.text);
        }
        return lines;
    }
    ModuleSettings settings;
    std::unique_ptr<LinkStats> stats = std::make_unique<LinkStats>();
};

TEST_F(Cycle, ASuccessResetsTheStreakAndNotesTheTime)
{
    fake_probe_push(PROBE_NO_REPLY);
    fake_probe_push(PROBE_REPLY, 12345, 1);
    ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(monitor_state().failure_streak, 1u);
    ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(monitor_state().failure_streak, 0u);
    EXPECT_EQ(monitor_state().last_success_time, START + 10 + 1);    // read after the probe
    EXPECT_EQ(monitor_state().current_target, 0u);
    EXPECT_EQ(info_lines(), (std::vector<std::string>{
        "Ping to first: failed with no response (occurrence 1 in a series)",
        "Ping to first: successful with response in 12.3 ms"}));
    EXPECT_EQ(fake_probe.calls[0], (ProbeCall{"first", 56, 3}));      // timeout capped at 3
    EXPECT_EQ(fake_host.sleeps, (std::vector<unsigned>{10, 10}));
}

TEST_F(Cycle, WithoutASecondAddressTheTargetNeverChanges)
{
    for (int i = 0; i < 4; ++i)
        fake_probe_push(PROBE_NO_REPLY);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(monitor_state().failure_streak, 4u);
    EXPECT_EQ(monitor_state().current_target, 0u);
    EXPECT_EQ(fake_probe.calls.size(), 4u);
    EXPECT_EQ(info_lines().back(), "Ping to first: failed with no response (occurrence 4 in a series)");
}

TEST_F(Cycle, FailoverSavesTheCycleWithoutResettingTheStreak)
{
    settings.address[1] = "second";
    fake_probe_push(PROBE_NO_REPLY);              // cycle 1: both fail
    fake_probe_push(PROBE_NO_REPLY);
    fake_probe_push(PROBE_NO_REPLY);              // cycle 2: second fails, first answers
    fake_probe_push(PROBE_REPLY, 2000);
    ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(monitor_state().failure_streak, 1u);
    EXPECT_EQ(monitor_state().current_target, 1u);
    ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(monitor_state().failure_streak, 1u);           // neither grown nor reset
    EXPECT_EQ(monitor_state().current_target, 0u);           // switched all the same
    EXPECT_EQ(monitor_state().last_success_time, 0);         // a saved cycle is no success
    EXPECT_EQ(fake_probe.calls, (std::vector<ProbeCall>{
        {"first", 56, 3}, {"second", 8, 2}, {"second", 8, 2}, {"first", 56, 3}}));
    EXPECT_EQ(info_lines(), (std::vector<std::string>{
        "Ping to first and second: failed with no response (occurrence 1 in a series)",
        "Ping to second and first: first failed with no response, but second was successful "
        "with response in 2.0 ms (together taken as successful)"}));
    // Sleeps follow the target the cycle left: second (2 s), then first (10 s).
    EXPECT_EQ(fake_host.sleeps, (std::vector<unsigned>{2, 10}));
}

TEST_F(Cycle, EveryProbeIsRecordedWithItsOwnTime)
{
    settings.address[1] = "second";
    fake_probe_push(PROBE_REPLY, 700, 1);          // cycle 1 at START
    fake_probe_push(PROBE_NO_REPLY, 0, 3);         // cycle 2 at START+11: first fails after 3 s
    fake_probe_push(PROBE_REPLY, 900, 1);          // the fail-over probe starts at START+14
    fake_probe_push(PROBE_NO_REPLY, 0, 3);         // cycle 3 at START+17: both fail
    fake_probe_push(PROBE_FATAL);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(monitor_iterate(settings), 0);
    ASSERT_EQ(stats->sample_count, 5u);
    const LinkSample expected[5] = {{int32_t(START), 700, -1},
                                    {int32_t(START + 11), -1, -1},
                                    {int32_t(START + 14), 900, 200},
                                    {int32_t(START + 17), -1, -1},
                                    {int32_t(START + 20), -1, -1}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(stats->samples[i].timestamp, expected[i].timestamp) << i;
        EXPECT_EQ(stats->samples[i].rtt, expected[i].rtt) << i;
        EXPECT_EQ(stats->samples[i].jitter, expected[i].jitter) << i;
    }
    EXPECT_EQ(stats->replies, 2u);
}

TEST_F(Cycle, AFatalFirstProbeIsNotRecorded)
{
    fake_probe_push(PROBE_FATAL);
    EXPECT_EQ(monitor_iterate(settings), -1);
    EXPECT_EQ(stats->probes, 0u);
}

TEST_F(Cycle, AFatalFailoverProbeCountsAsNoReplyWithoutALine)
{
    settings.address[1] = "second";
    fake_probe_push(PROBE_NO_REPLY);
    fake_probe_push(PROBE_FATAL);
    ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(monitor_state().failure_streak, 1u);
    EXPECT_EQ(monitor_state().current_target, 1u);
    EXPECT_TRUE(fake_host.log.empty());
}

TEST_F(Cycle, AFatalFirstProbeEndsTheDaemon)
{
    fake_probe_push(PROBE_FATAL);
    EXPECT_EQ(monitor_iterate(settings), -1);
    EXPECT_TRUE(fake_host.sleeps.empty());
}

TEST_F(Cycle, QuietWithoutLogAll)
{
    settings.log_all = 0;
    settings.address[1] = "second";
    fake_probe_push(PROBE_REPLY, 5);
    fake_probe_push(PROBE_NO_REPLY);
    fake_probe_push(PROBE_REPLY, 5);
    fake_probe_push(PROBE_NO_REPLY);
    fake_probe_push(PROBE_NO_REPLY);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_TRUE(fake_host.log.empty());
}

TEST_F(Cycle, IntervalZeroMeansNoWaitAndNoPause)
{
    settings.interval[0] = 0;
    fake_probe_push(PROBE_REPLY, 0);
    ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(fake_probe.calls[0].timeout_seconds, 0u);
    EXPECT_EQ(fake_host.sleeps, (std::vector<unsigned>{0}));
    EXPECT_EQ(info_lines().back(), "Ping to first: successful with response in 0.0 ms");
}

TEST_F(Cycle, AWaitingWindowDoesNothingButSleep)
{
    settings.start_time = "99:99";   // invalid: logged, not set
    settings.log_all = 0;
    setenv("TZ", "UTC0", 1);
    tzset();
    // 12:00 UTC with a window 13:00 to 14:00.
    time_t noon = 1780056000 - 1780056000 % 86400 + 12 * 3600;
    settings.start_time = "13:00";
    settings.stop_time = "14:00";
    fake_host_reset(noon);
    monitor_begin(settings, stats.get(), noon);
    EXPECT_EQ(monitor_state().window.state, WINDOW_WAITING);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_TRUE(fake_probe.calls.empty());
    EXPECT_EQ(fake_host.sleeps, (std::vector<unsigned>(5, 1)));
    fake_host.now = noon + 3601;
    fake_probe_push(PROBE_REPLY, 1);
    ASSERT_EQ(monitor_iterate(settings), 0);
    EXPECT_EQ(fake_probe.calls.size(), 1u);
    unsetenv("TZ");
    tzset();
}

} // namespace
