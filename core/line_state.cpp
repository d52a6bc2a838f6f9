#include "core/line_state.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "alarm/runner.h"
#include "host/host.h"
#include "core/quality.h"
#include "rules/verdict.h"

namespace {

LineState state = LINE_OK;
time_t since;                   // the latest change of the state or the quality
const char* verdict_path;       // null: not published
const char* instance_name = "";
const char* reboot_log_path = REBOOT_LOG_PATH;
const char* firmware_pid_path = FIRMWARE_UPDATE_PID_PATH;

// Seconds since the last success (or since the loop began). A clock set back
// makes the difference negative; it counts as 0, never as a huge number.
uint64_t seconds_without_success(const LineFacts& facts)
{
    const time_t from = facts.last_success_time != 0 ? facts.last_success_time : facts.monitor_start_time;
    const time_t now = host_time();
    return now > from ? uint64_t(now - from) : 0;
}

bool criterion_met(uint32_t count_threshold, uint32_t seconds_threshold, uint64_t elapsed, uint32_t streak)
{
    return (count_threshold != 0 && streak >= count_threshold)
        || (seconds_threshold != 0 && elapsed >= seconds_threshold);
}

void raise_alarm(const char* name, const char* text)
{
    host_log(LOG_WARNING, "%s, %s", name, text);
}

void publish()
{
    if (verdict_path == nullptr)
        return;
    const QualityFigures& figures = quality_figures();
    const Verdict verdict = {int32_t(getpid()), VerdictState(state), quality_degraded(), int64_t(since),
                             figures.probes, figures.lost, figures.median_usec};
    // Said once per change, as the change is.
    if (const int error = verdict_write(verdict_path, verdict))
        host_log(LOG_ERR, "Can not write %s: %s", verdict_path, strerror(error));
}

// A change of the line, published at once, before its alarms run.
void changed()
{
    since = host_time();
    publish();
}

// A change told to the event program, if any, after its alarms: its name as
// the first argument, the line in the environment.
void tell(const ModuleSettings& settings, const LineFacts& facts, int event, const char* text)
{
    if (settings.event_command[0] == '\0')
        return;
    const QualityFigures& figures = quality_figures();
    char loss[16], rtt[16];
    verdict_loss_text(loss, figures.probes, figures.lost);
    verdict_rtt_text(rtt, figures.probes, figures.median_usec);
    static char variables[10][QUALITY_TEXT_BYTES + 16];
    snprintf(variables[0], sizeof variables[0], "TOLVIN_EVENT=%s", EVENT_PROGRAM_NAMES[event]);
    snprintf(variables[1], sizeof variables[1], "TOLVIN_INSTANCE=%s", instance_name);
    snprintf(variables[2], sizeof variables[2], "TOLVIN_IFACE=%s", settings.iface);
    snprintf(variables[3], sizeof variables[3], "TOLVIN_SRCADDR=%s", settings.source_address);
    snprintf(variables[4], sizeof variables[4], "TOLVIN_TARGET=%s", facts.target);
    snprintf(variables[5], sizeof variables[5], "TOLVIN_STATE=%s", VERDICT_STATE_NAMES[state]);
    snprintf(variables[6], sizeof variables[6], "TOLVIN_DEGRADED=%d", quality_degraded() ? 1 : 0);
    snprintf(variables[7], sizeof variables[7], "TOLVIN_LOSS_PERCENT=%s", loss);
    snprintf(variables[8], sizeof variables[8], "TOLVIN_RTT_MS=%s", rtt);
    snprintf(variables[9], sizeof variables[9], "TOLVIN_TEXT=%s", text);
    const char* const environment[] = {variables[0], variables[1], variables[2], variables[3], variables[4],
                                       variables[5], variables[6], variables[7], variables[8], variables[9],
                                       nullptr};
    run_program_with(environment, settings.event_command, EVENT_PROGRAM_NAMES[event],
                     static_cast<const char*>(nullptr));
}

// A line that stops working stops being degraded, without an alarm of its
// own; one that comes back is judged afresh.
void leave_working()
{
    quality_afresh();
}

// The quality of a working line, after its cycle: an alarm and a change at
// each turn.
void judge_quality(const ModuleSettings& settings, const LineFacts& facts)
{
    if (settings.degr_check == 0 || state != LINE_OK)
        return;
    const QualityChange change = quality_judge(settings, host_monotonic_nsec());
    if (change == QUALITY_SAME)
        return;
    changed();
    const bool degraded = change == QUALITY_DEGRADED;
    const char* name = degraded ? DEGRADED_NAME : RESTORED_NAME;
    char text[QUALITY_TEXT_BYTES];
    const QualityFigures& figures = quality_figures();
    verdict_describe_quality(text, sizeof text, figures.probes, figures.lost, figures.median_usec);
    if (settings.degr_log != 0)
        raise_alarm(name, text);
    if (any_recipient(settings.degr_email, 3))
        send_emails_named(name, text, settings.router_id, settings.degr_email);
    tell(settings, facts, degraded ? EVENT_PROGRAM_DEGRADED : EVENT_PROGRAM_RESTORED, text);
}

// The router's check greps the process list for the pid file's text, so it
// also matches a number that stands anywhere in that list: inside a longer
// pid, a size, a command line (its own grep's included). It decides only
// while the file names a process that is alive.
bool firmware_updater_alive()
{
    FILE* file = fopen(firmware_pid_path, "re");
    if (file == nullptr)
        return false;
    char text[64];
    size_t length = fread(text, 1, sizeof text - 1, file);
    bool whole = length < sizeof text - 1 || feof(file);
    fclose(file);
    text[length] = '\0';
    int32_t pid = whole ? parse_pid_text(text) : 0;
    return pid > 0 && host_process_alive(pid);
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

} // namespace

LineState line_state()
{
    return state;
}

void line_state_reset()
{
    state = LINE_OK;
    quality_afresh();
    since = host_time();
    publish();
}

void line_state_publish(const char* path, const char* name)
{
    verdict_path = path;
    instance_name = name;
}

void describe_last_success(char (&text)[ALARM_TEXT_BYTES], EventKind kind, time_t time)
{
    if (time == 0) {
        snprintf(text, sizeof text, "%s", "no successful ping from module start");
        return;
    }
    tm local;
    localtime_r(&time, &local);
    const char* format = kind == EVENT_REESTABLISHED ? "first successful ping was at %F %T"
                                                     : "last successful ping was at %F %T";
    if (strftime(text, sizeof text, format, &local) == 0)
        text[0] = '\0';
}

void on_probe_success(const ModuleSettings& settings, const LineFacts& facts)
{
    if (state == LINE_OK) {
        judge_quality(settings, facts);
        return;
    }
    state = LINE_OK;
    leave_working();          // judged afresh from here
    changed();
    char text[ALARM_TEXT_BYTES];
    describe_last_success(text, EVENT_REESTABLISHED, facts.last_success_time);
    if (settings.reest_check != 0) {
        if (settings.reest_log != 0)
            raise_alarm(AlarmTexts[EVENT_REESTABLISHED], text);
        if (any_recipient(settings.reest_email, 3))
            send_emails(EVENT_REESTABLISHED, text, settings.router_id, settings.reest_email);
        if (any_recipient(settings.reest_sms, 12))
            send_sms(EVENT_REESTABLISHED, text, settings.router_id, settings.reest_sms);
    }
    tell(settings, facts, EVENT_REESTABLISHED, text);
}

void on_probe_failure(const ModuleSettings& settings, const LineFacts& facts)
{
    const uint64_t elapsed = seconds_without_success(facts);
    if (state == LINE_LOST)
        return;
    char text[ALARM_TEXT_BYTES];
    const time_t last_success = facts.last_success_time;

    if (state == LINE_OK && settings.fail_check != 0
        && criterion_met(settings.fail_num, settings.fail_time, elapsed, facts.failure_streak)) {
        state = LINE_FAILED;
        leave_working();
        changed();
        describe_last_success(text, EVENT_FAILED, last_success);
        if (settings.fail_log != 0)
            raise_alarm(AlarmTexts[EVENT_FAILED], text);
        if (settings.fail_snmp[0] != '\0')
            send_trap(EVENT_FAILED, text, settings.fail_snmp);
        if (any_recipient(settings.fail_email, 3))
            send_emails(EVENT_FAILED, text, settings.router_id, settings.fail_email);
        tell(settings, facts, EVENT_FAILED, text);
        return;  // the lost test waits for a later cycle
    }

    if (settings.lost_check != 0 && criterion_met(settings.lost_num, settings.lost_time, elapsed, facts.failure_streak)) {
        state = LINE_LOST;
        leave_working();
        changed();
        describe_last_success(text, EVENT_LOST, last_success);
        if (settings.lost_log != 0)
            raise_alarm(AlarmTexts[EVENT_LOST], text);
        if (settings.lost_snmp[0] != '\0')
            send_trap(EVENT_LOST, text, settings.lost_snmp);
        if (any_recipient(settings.lost_email, 3))
            send_emails(EVENT_LOST, text, settings.router_id, settings.lost_email);
        if (any_recipient(settings.lost_sms, 12))
            send_sms(EVENT_LOST, text, settings.router_id, settings.lost_sms);
        tell(settings, facts, EVENT_LOST, text);
        if (settings.lost_restart_iface != 0) {
            const char* service = settings.restart_service;
            if (service == nullptr || service[0] == '\0')
                service = RESTART_SERVICE_DEFAULT;
            run_program("/sbin/service", service, "restart", static_cast<const char*>(nullptr));
        }
        if (settings.lost_reboot != 0)
            reboot_for_line_lost();
        return;
    }
    judge_quality(settings, facts);
}

void line_state_use_reboot_log(const char* path)
{
    reboot_log_path = path;
}

void line_state_use_firmware_pid_file(const char* path)
{
    firmware_pid_path = path;
}

int32_t parse_pid_text(const char* text)
{
    while (is_blank(*text))
        ++text;
    int64_t pid = 0;
    const char* digits = text;
    for (; *text >= '0' && *text <= '9'; ++text) {
        pid = pid * 10 + (*text - '0');
        if (pid > INT32_MAX)
            return 0;
    }
    if (text == digits)
        return 0;
    while (is_blank(*text))
        ++text;
    return *text == '\0' ? int32_t(pid) : 0;
}

void reboot_for_line_lost()
{
    // The shell interprets the pipeline and the command substitution; the
    // command line is fixed, nothing from the settings enters it.
    while (run_program("/bin/sh", "-c", FIRMWARE_UPDATE_CHECK, static_cast<const char*>(nullptr)) == 0
           && firmware_updater_alive())
        host_sleep(FIRMWARE_UPDATE_POLL_SECONDS);

    FILE* log = fopen(reboot_log_path, "ae");
    if (log != nullptr) {
        char stamp[20];
        time_t now = host_time();
        tm local;
        localtime_r(&now, &local);
        if (strftime(stamp, sizeof stamp, "%F %T", &local) == 0)
            stamp[0] = '\0';
        fprintf(log, "%s tolvin: reboot due line lost\n", stamp);
        fclose(log);
    }
    host_reboot();
}
