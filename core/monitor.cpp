#include "core/monitor.h"

#include <syslog.h>

#include "availability/availability.h"
#include "host/host.h"
#include "core/line_state.h"
#include "core/quality.h"
#include "probe/probe.h"

namespace {

MonitorState state = {};

void record(const ModuleSettings& settings, time_t when, int32_t rtt_usec)
{
    link_stats_record(state.stats, int32_t(when), rtt_usec, settings.short_term);
    if (settings.degr_check != 0)
        quality_record(rtt_usec);
}

// What the line state machine decides on.
LineFacts facts(const ModuleSettings& settings)
{
    return {state.failure_streak, state.last_success_time, state.monitor_start_time,
            settings.address[state.last_target]};
}

ProbeResult probe(const ModuleSettings& settings, uint32_t target, uint32_t* rtt_usec)
{
    return echo_probe(settings.address[target], settings.size[target],
                      probe_wait_seconds(settings, target), rtt_usec);
}

} // namespace

const MonitorState& monitor_state()
{
    return state;
}

void monitor_begin(const ModuleSettings& settings, LinkStats* stats, time_t now)
{
    state.stats = stats;
    window_init(state.window, parse_time_of_day(settings.start_time),
                parse_time_of_day(settings.stop_time), now);
    state.failure_streak = 0;
    state.last_success_time = 0;
    state.monitor_start_time = now;
    state.current_target = 0;
    state.last_target = 0;
    line_state_reset();
}

int monitor_cycle(const ModuleSettings& settings, time_t now)
{
    const uint32_t target = state.current_target;
    state.last_target = target;
    uint32_t rtt_usec = 0;
    ProbeResult result = probe(settings, target, &rtt_usec);
    if (result == PROBE_FATAL)
        return -1;

    if (result == PROBE_REPLY) {
        state.failure_streak = 0;
        record(settings, now, int32_t(rtt_usec));
        if (settings.log_all)
            host_log(LOG_INFO, "Ping to %s: successful with response in %.1f ms",
                     settings.address[target], rtt_usec * 0.001);
        state.last_success_time = host_time();
        on_probe_success(settings, facts(settings));
        return 0;
    }

    state.failure_streak += 1;
    record(settings, now, LINK_RTT_NONE);
    uint32_t other = target;
    if (target == 1)
        other = 0;
    else if (settings.address[1][0] != '\0')
        other = 1;

    if (other == target) {
        if (settings.log_all)
            host_log(LOG_INFO, "Ping to %s: failed with no response (occurrence %u in a series)",
                     settings.address[target], state.failure_streak);
    } else {
        const time_t failover_time = host_time();
        state.last_target = other;
        ProbeResult second = probe(settings, other, &rtt_usec);
        if (second == PROBE_REPLY) {
            // The cycle does not count as failed, but the streak is not reset.
            state.failure_streak -= 1;
            record(settings, failover_time, int32_t(rtt_usec));
            if (settings.log_all)
                host_log(LOG_INFO,
                         "Ping to %s and %s: first failed with no response, but second was "
                         "successful with response in %.1f ms (together taken as successful)",
                         settings.address[target], settings.address[other], rtt_usec * 0.001);
        } else {
            // A fatal fail-over probe counts as no reply; the loop goes on.
            record(settings, failover_time, LINK_RTT_NONE);
            if (second == PROBE_NO_REPLY && settings.log_all)
                host_log(LOG_INFO,
                         "Ping to %s and %s: failed with no response (occurrence %u in a series)",
                         settings.address[target], settings.address[other], state.failure_streak);
        }
    }
    on_probe_failure(settings, facts(settings));
    state.current_target = other;
    return 0;
}

int monitor_iterate(const ModuleSettings& settings)
{
    time_t now = host_time();
    if (!window_check(state.window, now)) {
        host_sleep(1);
        return 0;
    }
    if (monitor_cycle(settings, now) < 0)
        return -1;
    if (settings.expose_avail != 0)
        availability_update(state.failure_streak, host_time());
    host_sleep(settings.interval[state.current_target]);
    return 0;
}
