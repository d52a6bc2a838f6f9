// Prometheus's text exposition format (0.0.4), named as its exporter guide
// has it: one prefix, base units (seconds, never milli- or microseconds),
// _total on counters and only on counters, points in time as
// _timestamp_seconds gauges, metadata as _info gauges, no timestamps. After
// a release these names are an interface: they stay.
#include <cinttypes>

#include "core/window.h"
#include "tolvinstat/report.h"

#ifndef TOLVIN_VERSION
#define TOLVIN_VERSION "unknown"
#endif

namespace {

const char* const TARGETS[2] = {"first", "second"};

void family(FILE* out, const char* name, const char* type, const char* help)
{
    fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void number(FILE* out, const char* name, uint64_t value)
{
    fprintf(out, "%s %" PRIu64 "\n", name, value);
}

// Microseconds as seconds, exact: six decimals.
void seconds(FILE* out, const char* name, uint64_t usec)
{
    fprintf(out, "%s %" PRIu64 ".%06" PRIu64 "\n", name, usec / 1000000, usec % 1000000);
}

void gauge(FILE* out, const char* name, const char* help, uint64_t value)
{
    family(out, name, "gauge", help);
    number(out, name, value);
}

void counter(FILE* out, const char* name, const char* help, uint64_t value)
{
    family(out, name, "counter", help);
    number(out, name, value);
}

// A round-trip time or jitter gauge in seconds; left out without a value.
void usec_gauge(FILE* out, const char* name, const char* help, int64_t usec)
{
    if (usec < 0)
        return;
    family(out, name, "gauge", help);
    seconds(out, name, uint64_t(usec));
}

// A label value as the format wants it: backslash, double quote and line
// feed escaped. Settings texts are the operator's and may hold anything.
void label_value(FILE* out, const char* text)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) {
        if (*c == '\\')
            fputs("\\\\", out);
        else if (*c == '"')
            fputs("\\\"", out);
        else if (*c == '\n')
            fputs("\\n", out);
        else
            fputc(*c, out);
    }
}

// What the settings say: which addresses are probed how often, and whether
// the daily window lets the daemon probe now.
void settings_series(FILE* out, const ModuleSettings& settings, time_t now)
{
    const int targets = settings.address[1][0] != '\0' ? 2 : 1;
    family(out, "tolvin_probe_target_info", "gauge",
           "The addresses the daemon probes (settings MOD_TOLVIN_IPADDR, MOD_TOLVIN_IPADDR2), always 1.");
    for (int t = 0; t < targets; ++t) {
        fprintf(out, "tolvin_probe_target_info{target=\"%s\",address=\"", TARGETS[t]);
        label_value(out, settings.address[t]);
        fputs("\"} 1\n", out);
    }
    family(out, "tolvin_probe_interval_seconds", "gauge",
           "Seconds between probe cycles while probing the address (MOD_TOLVIN_PINGINT, MOD_TOLVIN_PINGINT2).");
    for (int t = 0; t < targets; ++t)
        fprintf(out, "tolvin_probe_interval_seconds{target=\"%s\"} %u\n", TARGETS[t], settings.interval[t]);
    MonitorWindow window;
    window_init(window, parse_time_of_day(settings.start_time), parse_time_of_day(settings.stop_time), now);
    gauge(out, "tolvin_monitoring_active",
          "Whether the daily monitoring window of the settings is open now (1) or the daemon waits (0).",
          window.state == WINDOW_WAITING ? 0 : 1);
}

void block_series(FILE* out, const LinkStats& s)
{
    counter(out, "tolvin_probes_total", "Echo probes since the daemon started.", s.probes);
    counter(out, "tolvin_replies_total", "Echo probes answered since the daemon started.", s.replies);

    family(out, "tolvin_rtt_seconds", "summary", "Round-trip times of the answered probes since the daemon started.");
    seconds(out, "tolvin_rtt_seconds_sum", s.rtt_sum);
    number(out, "tolvin_rtt_seconds_count", s.replies);
    // Jitter: between each answered probe and the one answered before it.
    family(out, "tolvin_jitter_seconds", "summary",
           "Jitter between successive answered probes since the daemon started.");
    seconds(out, "tolvin_jitter_seconds_sum", s.jitter_sum);
    number(out, "tolvin_jitter_seconds_count", s.replies > 1 ? s.replies - 1 : 0);

    if (const LinkSample* newest = newest_sample(s)) {
        gauge(out, "tolvin_last_probe_timestamp_seconds", "When the newest probe was made, seconds since the epoch.",
              uint64_t(newest->timestamp > 0 ? newest->timestamp : 0));
        gauge(out, "tolvin_last_probe_success", "Whether the newest probe was answered (1) or not (0).",
              newest->rtt != LINK_RTT_NONE ? 1 : 0);
    }

    gauge(out, "tolvin_window_probes",
          "Probes in the short-term window: the last MOD_TOLVIN_SHORTTERM probes, fewer after a start.",
          s.window_probes);
    gauge(out, "tolvin_window_replies", "Answered probes counted for the short-term window.", s.window_replies);
    usec_gauge(out, "tolvin_window_rtt_min_seconds", "Smallest round-trip time in the short-term window.",
               s.window_rtt_min);
    usec_gauge(out, "tolvin_window_rtt_mean_seconds", "Mean round-trip time in the short-term window.",
               average(s.window_rtt_avg));
    usec_gauge(out, "tolvin_window_rtt_max_seconds", "Largest round-trip time in the short-term window.",
               s.window_rtt_max);
    usec_gauge(out, "tolvin_window_jitter_mean_seconds", "Mean jitter in the short-term window.",
               average(s.window_jitter_avg));
}

void availability_series(FILE* out, const AvailabilityRecord& a)
{
    gauge(out, "tolvin_availability_start_timestamp_seconds",
          "When availability monitoring began, seconds since the epoch.", uint64_t(a.start_time > 0 ? a.start_time : 0));
    gauge(out, "tolvin_availability_update_timestamp_seconds",
          "When the daemon last wrote the availability counters, seconds since the epoch.",
          uint64_t(a.start_time > 0 ? a.start_time : 0) + a.elapsed);
    counter(out, "tolvin_monitored_seconds_total", "Time the line has been monitored, over the daemon's runs.",
            a.monitored);
    counter(out, "tolvin_available_seconds_total", "Monitored time with the line available.", a.available);
}

} // namespace

void report_prometheus(FILE* out, const Snapshot& snapshot, const ModuleSettings& settings)
{
    family(out, "tolvin_build_info", "gauge", "The version of tolvinstat, always 1.");
    fputs("tolvin_build_info{version=\"" TOLVIN_VERSION "\"} 1\n", out);
    settings_series(out, settings, snapshot.now);
    const bool have_block = snapshot.status == SNAPSHOT_OK;
    gauge(out, "tolvin_daemon_running",
          "Whether tolvind holds its statistics segment (1) or not (0): it keeps it attached while it runs.",
          have_block && snapshot.attachments > 0 ? 1 : 0);
    if (!have_block)
        return;
    block_series(out, snapshot.block);
    if (snapshot.has_availability)
        availability_series(out, snapshot.availability);
}
