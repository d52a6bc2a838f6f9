#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/line_state.h"
#include "core/monitor.h"
#include "core/quality.h"
#include "host/fake_host.h"
#include "tests/unit/fake_probe.h"
#include "tests/unit/fake_runner.h"
#include "tests/unit/temp_file.h"

namespace {

using Argv = std::vector<std::string>;

// 2026-12-08 10:00:00 UTC
constexpr time_t START = 1796724000;


class LineStateMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        settings_empty(s);
        s.address[0] = "first";
        s.interval[0] = 10;
        s.router_id = "R1";
        s.fail_check = s.lost_check = s.reest_check = 1;
        s.fail_log = s.lost_log = s.reest_log = 1;
        fake_host_reset(START);
        fake_probe_reset();
        fake_runner_reset();
        ASSERT_FALSE(reboot_log.empty());
        line_state_use_reboot_log(reboot_log.c_str());
        line_state_use_firmware_pid_file(pid_file.path.c_str());
        link_stats_reset(stats.get());
        monitor_begin(s, stats.get(), START);
    }
    void TearDown() override
    {
        line_state_use_reboot_log(REBOOT_LOG_PATH);
        line_state_use_firmware_pid_file(FIRMWARE_UPDATE_PID_PATH);
        unsetenv("TZ");
        tzset();
    }
    // Runs cycles with the given outcomes: 'r' reply, 'n' no reply.
    void cycles(const char* outcomes)
    {
        for (const char* c = outcomes; *c != '\0'; ++c) {
            fake_probe_push(*c == 'r' ? PROBE_REPLY : PROBE_NO_REPLY, 1000);
            ASSERT_EQ(monitor_iterate(s), 0);
        }
    }
    std::vector<std::string> warnings() const
    {
        std::vector<std::string> lines;
        for (const LoggedLine& line : fake_host.log) {
            if (line.priority == LOG_WARNING)
                lines.push_back(line.text);
        }
        return lines;
    }
    std::string reboot_log_text() const
    {
        std::ifstream in(reboot_log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    ModuleSettings s;
    std::unique_ptr<LinkStats> stats = std::make_unique<LinkStats>();
    void write_pid_file(const char* text)
    {
        std::ofstream(pid_file.path) << text;
    }
    TempFile file{"tolvin-reboot-log"};
    const std::string& reboot_log = file.path;
    TempFile pid_file{"tolvin-fwupdate-pid"};
};

TEST_F(LineStateMachine, FailedAfterThreeLostAfterFiveBackAtTheNextSuccess)
{
    s.fail_num = 3;
    s.lost_num = 5;
    cycles("rnn");
    EXPECT_EQ(line_state(), LINE_OK);
    cycles("n");
    EXPECT_EQ(line_state(), LINE_FAILED);
    cycles("n");
    EXPECT_EQ(line_state(), LINE_FAILED);
    cycles("n");
    EXPECT_EQ(line_state(), LINE_LOST);
    cycles("nnn");
    EXPECT_EQ(line_state(), LINE_LOST);
    cycles("rr");
    EXPECT_EQ(line_state(), LINE_OK);
    // The first success was at START; each cycle adds 10 s of sleep.
    EXPECT_EQ(warnings(), (std::vector<std::string>{
        "line failed, last successful ping was at 2026-12-08 10:00:00",
        "line lost, last successful ping was at 2026-12-08 10:00:00",
        "line re-established, first successful ping was at 2026-12-08 10:01:30"}));
    EXPECT_TRUE(fake_runner.calls.empty());
}

TEST_F(LineStateMachine, EveryActionOfEveryAlarmInOrder)
{
    s.fail_num = 1;
    s.lost_num = 2;
    s.fail_snmp = "trap-failed";
    s.lost_snmp = "trap-lost";
    const char* fail_email[3] = {"f1", "", "f3"};
    const char* lost_email[3] = {"", "l2", ""};
    const char* reest_email[3] = {"e1", "", ""};
    const char* lost_sms[12] = {"s1", "", "", "", "", "", "", "", "", "", "", "s12"};
    const char* reest_sms[12] = {"", "", "", "", "", "r6", "", "", "", "", "", ""};
    memcpy(s.fail_email, fail_email, sizeof fail_email);
    memcpy(s.lost_email, lost_email, sizeof lost_email);
    memcpy(s.reest_email, reest_email, sizeof reest_email);
    memcpy(s.lost_sms, lost_sms, sizeof lost_sms);
    memcpy(s.reest_sms, reest_sms, sizeof reest_sms);
    s.lost_restart_iface = 1;
    s.lost_reboot = 1;
    cycles("nnr");
    const std::string failed_text = "no successful ping from module start";
    const std::string back_text = "first successful ping was at 2026-12-08 10:00:20";
    EXPECT_EQ(fake_runner.calls, (std::vector<Argv>{
        {"/usr/bin/snmptrap", "-c darnoq", "trap-failed", "1.3.6.1.2.1.80.0.1.0", "s",
         "Router line failed, " + failed_text},
        {"/usr/bin/email", "-t", "f1", "-s", "Line failed (R1)", "-m",
         "Router \"R1\" line failed\nNo successful ping from module start"},
        {"/usr/bin/email", "-t", "f3", "-s", "Line failed (R1)", "-m",
         "Router \"R1\" line failed\nNo successful ping from module start"},
        {"/usr/bin/snmptrap", "-c darnoq", "trap-lost", "1.3.6.1.2.1.80.0.2.0", "s",
         "Router line lost, " + failed_text},
        {"/usr/bin/email", "-t", "l2", "-s", "Line lost (R1)", "-m",
         "Router \"R1\" line lost\nNo successful ping from module start"},
        {"/usr/bin/sms", "s1", "Router \"R1\" line lost (" + failed_text + ")"},
        {"/usr/bin/sms", "s12", "Router \"R1\" line lost (" + failed_text + ")"},
        {"/sbin/service", "ppp", "restart"},
        {"/bin/sh", "-c", "ps|grep -q `cat /var/run/fwupdate.pid`"},
        {"/usr/bin/email", "-t", "e1", "-s", "Line re-established (R1)", "-m",
         "Router \"R1\" line re-established\nFirst successful ping was at 2026-12-08 10:00:20"},
        {"/usr/bin/sms", "r6", "Router \"R1\" line re-established (" + back_text + ")"}}));
    EXPECT_EQ(fake_host.reboots, 1u);
    EXPECT_EQ(reboot_log_text(), "2026-12-08 10:00:10 tolvin: reboot due line lost\n");
}

TEST_F(LineStateMachine, RestartsTheServiceOfItsLine)
{
    s.fail_check = s.lost_log = 0;
    s.lost_num = 1;
    s.lost_restart_iface = 1;
    s.restart_service = "wan2";
    cycles("n");
    EXPECT_EQ(fake_runner.calls, (std::vector<Argv>{{"/sbin/service", "wan2", "restart"}}));
}

TEST_F(LineStateMachine, RebootWaitsForAFirmwareUpdate)
{
    s.lost_num = 1;
    s.lost_reboot = 1;
    write_pid_file("4711\n");
    fake_host.processes_ending_at = {{4711, START + 3600}};
    fake_runner.statuses = {0, 0, 1 << 8};   // the updater is listed twice, then gone
    cycles("n");
    EXPECT_EQ(fake_runner.calls.size(), 3u);
    EXPECT_EQ(fake_host.sleeps, (std::vector<unsigned>{10, 10, 10}));  // two waits, then the interval
    EXPECT_EQ(reboot_log_text(), "2026-12-08 10:00:20 tolvin: reboot due line lost\n");
    EXPECT_EQ(fake_host.reboots, 1u);
    // The reboot was refused: the daemon goes on.
    cycles("n");
    EXPECT_EQ(fake_host.reboots, 1u);
}

TEST_F(LineStateMachine, OnlyALiveUpdaterHoldsTheReboot)
{
    // The check command line matches (status 0) in every case below, as the
    // router's grep does for text anywhere in the process list; the reboot
    // waits only while the pid file names a live process.
    struct Case {
        const char* pid_file;   // null: no file
        unsigned waits;
    };
    const Case cases[] = {
        {"4711\n", 2},          // alive for two checks, then ended
        {"4712\n", 0},          // names no process: stale
        {"500\n", 0},           // a part of live pid 5000 is no pid of its own
        {" 4711 \n\n", 2},
        {"", 0},
        {nullptr, 0},
        {"4711x\n", 0},
        {"4711 5000\n", 0},
        {"-4711\n", 0},
        {"0\n", 0},
        {"99999999999\n", 0},
    };
    for (const Case& c : cases) {
        fake_host_reset(START);
        fake_runner_reset();
        // 4711 is alive for two checks, 10 s apart, and has ended by the third.
        fake_host.processes_ending_at = {{4711, START + 15}, {5000, START + 3600}};
        if (c.pid_file != nullptr)
            write_pid_file(c.pid_file);
        else
            unlink(pid_file.path.c_str());
        fake_runner.statuses = {0, 0, 0, 0};
        reboot_for_line_lost();
        const char* name = c.pid_file != nullptr ? c.pid_file : "no file";
        EXPECT_EQ(fake_host.sleeps, std::vector<unsigned>(c.waits, 10)) << name;
        // The router's command line runs before every decision, as it always did.
        EXPECT_EQ(fake_runner.calls, std::vector<Argv>(c.waits + 1, {"/bin/sh", "-c", FIRMWARE_UPDATE_CHECK}))
            << name;
        EXPECT_EQ(fake_host.reboots, 1u) << name;
    }
}

TEST(FirmwarePidFile, ANumberBetweenBlanksAndNothingElse)
{
    EXPECT_EQ(parse_pid_text("4711\n"), 4711);
    EXPECT_EQ(parse_pid_text("\t 1\r\n"), 1);
    EXPECT_EQ(parse_pid_text("2147483647"), 2147483647);
    for (const char* text : {"", "\n", "0", "-1", "+5", "2147483648", "12 34", "12a", "0x10", "1 2\n"})
        EXPECT_EQ(parse_pid_text(text), 0) << text;
}

TEST_F(LineStateMachine, RebootWithoutItsLogDirectoryStillReboots)
{
    line_state_use_reboot_log("/nonexistent-tolvin-dir/reboot");
    reboot_for_line_lost();
    EXPECT_EQ(fake_host.reboots, 1u);
}

TEST_F(LineStateMachine, FailedTestWithBothThresholdsZeroLeavesItToTheLostTest)
{
    s.fail_num = 0;
    s.fail_time = 0;
    s.lost_num = 2;
    cycles("nnnnn");
    EXPECT_EQ(warnings(), (std::vector<std::string>{"line lost, no successful ping from module start"}));
}

TEST_F(LineStateMachine, StraightFromWorkingToLostWhenTheFailedTestIsOff)
{
    s.fail_check = 0;
    s.fail_num = 1;
    s.lost_num = 2;
    cycles("rn");
    EXPECT_EQ(line_state(), LINE_OK);
    cycles("n");
    EXPECT_EQ(line_state(), LINE_LOST);
    EXPECT_EQ(warnings(), (std::vector<std::string>{
        "line lost, last successful ping was at 2026-12-08 10:00:00"}));
}

TEST_F(LineStateMachine, NoSuccessSinceStartAndALostTime)
{
    s.fail_check = 0;
    s.lost_time = 60;
    cycles("nnnnnn");                // failures at +0 .. +50 s
    EXPECT_EQ(line_state(), LINE_OK);
    cycles("n");                     // +60 s
    EXPECT_EQ(warnings(), (std::vector<std::string>{"line lost, no successful ping from module start"}));
}

TEST_F(LineStateMachine, ACycleSavedByFailoverCanReachATimeThreshold)
{
    s.address[1] = "second";
    s.interval[1] = 10;
    s.fail_time = 25;
    cycles("r");                                  // success at START
    fake_probe_push(PROBE_NO_REPLY);              // both fail: streak 1
    fake_probe_push(PROBE_NO_REPLY);
    ASSERT_EQ(monitor_iterate(s), 0);
    for (int i = 0; i < 2; ++i) {                 // saved cycles: streak stays 1
        fake_probe_push(PROBE_NO_REPLY);
        fake_probe_push(PROBE_REPLY, 500);
        ASSERT_EQ(monitor_iterate(s), 0);
    }
    EXPECT_EQ(monitor_state().failure_streak, 1u);
    EXPECT_EQ(line_state(), LINE_FAILED);         // 30 s after the last first-probe success
    EXPECT_EQ(warnings(), (std::vector<std::string>{
        "line failed, last successful ping was at 2026-12-08 10:00:00"}));
}

TEST_F(LineStateMachine, ReestablishedCheckOffStillResetsTheState)
{
    s.reest_check = 0;
    s.lost_num = 1;
    cycles("nr");
    EXPECT_EQ(line_state(), LINE_OK);
    cycles("n");
    EXPECT_EQ(warnings(), (std::vector<std::string>{
        "line lost, no successful ping from module start",
        "line lost, last successful ping was at 2026-12-08 10:00:10"}));
}

TEST_F(LineStateMachine, QuietAlarmsStillChangeTheState)
{
    s.fail_log = s.lost_log = s.reest_log = 0;
    s.fail_num = 1;
    s.lost_num = 2;
    cycles("nn");
    EXPECT_EQ(line_state(), LINE_LOST);
    cycles("r");
    EXPECT_EQ(line_state(), LINE_OK);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(LineStateMachine, AClockSetBackCountsAsNoTimeWithoutSuccess)
{
    s.fail_time = 30;
    s.lost_time = 60;
    cycles("r");
    fake_host.now -= 3600;                        // an NTP step back by an hour
    cycles("nnn");
    EXPECT_EQ(line_state(), LINE_OK);
    EXPECT_TRUE(warnings().empty());
    EXPECT_TRUE(fake_runner.calls.empty());
}

TEST_F(LineStateMachine, ClockSetBackBeforeAnySuccess)
{
    s.lost_time = 60;
    fake_host.now -= 86400;
    cycles("nnn");
    EXPECT_EQ(line_state(), LINE_OK);
}

TEST(DescribeLastSuccess, Texts)
{
    setenv("TZ", "UTC0", 1);
    tzset();
    char text[ALARM_TEXT_BYTES];
    describe_last_success(text, EVENT_FAILED, 0);
    EXPECT_STREQ(text, "no successful ping from module start");
    describe_last_success(text, EVENT_REESTABLISHED, 0);
    EXPECT_STREQ(text, "no successful ping from module start");
    describe_last_success(text, EVENT_LOST, START);
    EXPECT_STREQ(text, "last successful ping was at 2026-12-08 10:00:00");
    describe_last_success(text, EVENT_REESTABLISHED, START + 59);
    EXPECT_STREQ(text, "first successful ping was at 2026-12-08 10:00:59");
    unsetenv("TZ");
    tzset();
}

// A lossy line: degraded once per spell, restored once the loss has stayed
// below the threshold for the hold time; then an outage that clears the
// quality without an alarm. Every change reaches the event program, in
// order, the lost one before the restart of the service.
TEST_F(LineStateMachine, QualityJudgedAndEveryChangeToldInOrder)
{
    s.degr_check = s.degr_log = 1;
    s.degr_num = 4;
    s.degr_loss = 50;
    s.recov_time = 20;                    // two cycles of 10 s
    const char* degr_email[3] = {"", "ops", ""};
    memcpy(s.degr_email, degr_email, sizeof degr_email);
    s.event_command = "/etc/tolvin-event";
    s.iface = "wan";
    s.fail_num = 3;
    s.lost_num = 4;
    s.lost_restart_iface = 1;
    cycles("rrnrn");                      // 50 % of the last four: degraded
    cycles("rr");                         // 50 % still, then 25 %: below, held from here
    EXPECT_EQ(warnings().size(), 1u);
    cycles("rr");                         // held 10 s, then 20 s: restored
    cycles("rnnnn");                      // degraded at 50 %, failed at the third loss, lost
    cycles("r");
    const std::string degraded = "loss 50 % and median round-trip time 1.0 ms over the last 4 probes";
    EXPECT_EQ(warnings(), (std::vector<std::string>{
        "line degraded, " + degraded,
        "line quality restored, loss 0 % and median round-trip time 1.0 ms over the last 4 probes",
        "line degraded, " + degraded,
        "line failed, last successful ping was at 2026-12-08 10:01:30",
        "line lost, last successful ping was at 2026-12-08 10:01:30",
        "line re-established, first successful ping was at 2026-12-08 10:02:20"}));
    std::vector<std::string> events;
    for (const Argv& call : fake_runner.calls)
        events.push_back(call[0] == "/etc/tolvin-event" ? call[1] : call[0]);
    EXPECT_EQ(events, (std::vector<std::string>{"/usr/bin/email", "degraded", "/usr/bin/email", "restored",
                                                 "/usr/bin/email", "degraded", "failed", "lost", "/sbin/service",
                                                 "re-established"}));
    EXPECT_EQ(fake_runner.calls[0], (Argv{"/usr/bin/email", "-t", "ops", "-s", "Line degraded (R1)", "-m",
                                          "Router \"R1\" line degraded\nL" + degraded.substr(1)}));
    EXPECT_EQ(fake_runner.environments[1], (std::vector<std::string>{
        "TOLVIN_EVENT=degraded", "TOLVIN_INSTANCE=", "TOLVIN_IFACE=wan", "TOLVIN_SRCADDR=", "TOLVIN_TARGET=first",
        "TOLVIN_STATE=working", "TOLVIN_DEGRADED=1", "TOLVIN_LOSS_PERCENT=50", "TOLVIN_RTT_MS=1.0",
        "TOLVIN_TEXT=" + degraded}));
    // Failed while degraded: no longer degraded, and no figures judged.
    EXPECT_EQ(fake_runner.environments[6][5], "TOLVIN_STATE=failed");
    EXPECT_EQ(fake_runner.environments[6][6], "TOLVIN_DEGRADED=0");
    EXPECT_EQ(fake_runner.environments[6][7], "TOLVIN_LOSS_PERCENT=");
    EXPECT_EQ(fake_runner.environments[9][5], "TOLVIN_STATE=working");
}

// The judgement's bounds: at the thresholds, recovery thresholds given, the
// median of the answered probes only.
TEST_F(LineStateMachine, QualityThresholdsAreInclusive)
{
    s.degr_check = s.degr_log = 1;
    s.degr_num = 3;
    s.degr_rtt = 2;                       // ms
    s.recov_rtt = 1;
    for (uint32_t rtt : {1000u, 2000u, 3000u}) {     // median 2 ms: degraded
        fake_probe_push(PROBE_REPLY, rtt);
        ASSERT_EQ(monitor_iterate(s), 0);
    }
    cycles("n");                          // answered 2000 and 3000: the lower, 2 ms
    for (uint32_t rtt : {1500u, 1000u}) {   // median of 3000, 1500: still above 1 ms; then 1000, 1500: 1 ms
        fake_probe_push(PROBE_REPLY, rtt);
        ASSERT_EQ(monitor_iterate(s), 0);
    }
    EXPECT_EQ(warnings(), (std::vector<std::string>{
        "line degraded, loss 0 % and median round-trip time 2.0 ms over the last 3 probes",
        "line quality restored, loss 33 % and median round-trip time 1.0 ms over the last 3 probes"}));
    settings_empty(s);
    s.degr_num = 20000;
    EXPECT_EQ(quality_probes(s), 10000u);
    s.degr_num = 0;
    EXPECT_EQ(quality_probes(s), 10u);
}

} // namespace
