// Prometheus's text exposition format (0.0.4), named as its exporter guide
// has it: one prefix, base units (seconds, never milli- or microseconds),
// _total on counters and only on counters, points in time as
// _timestamp_seconds gauges, metadata as _info gauges, no timestamps. After
// a release these names are an interface: they stay.
#include <cinttypes>
#include <cstring>

#include "rules/window.h"
#include "tolvinstat/format/report.h"

#ifndef TOLVIN_VERSION
#define TOLVIN_VERSION "unknown"
#endif

namespace {

const char* const TARGETS[2] = {"first", "second"};

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

// One metric family: its HELP and TYPE before its first sample, and only
// if it has one.
struct Family {
    FILE* out;
    const char* name;
    const char* type;
    const char* help;
    bool started;
};

// Starts a sample of `line`: the name with `suffix`, and its line label if
// it is a named instance. Labels follow with label(), then value().
bool sample(Family& family, const ReportLine& line, const char* suffix = "")
{
    if (!family.started) {
        fprintf(family.out, "# HELP %s %s\n# TYPE %s %s\n", family.name, family.help, family.name, family.type);
        family.started = true;
    }
    fprintf(family.out, "%s%s", family.name, suffix);
    if (line.name[0] == '\0')
        return false;
    fputs("{line=\"", family.out);
    label_value(family.out, line.name);
    fputc('"', family.out);
    return true;
}

void label(Family& family, bool& open, const char* name, const char* value)
{
    fprintf(family.out, "%c%s=\"", open ? ',' : '{', name);
    label_value(family.out, value);
    fputc('"', family.out);
    open = true;
}

void value(Family& family, bool open, uint64_t number)
{
    fprintf(family.out, "%s %" PRIu64 "\n", open ? "}" : "", number);
}

// Microseconds as seconds, exact: six decimals.
void seconds(Family& family, bool open, uint64_t usec)
{
    fprintf(family.out, "%s %" PRIu64 ".%06" PRIu64 "\n", open ? "}" : "", usec / 1000000, usec % 1000000);
}

bool has_block(const ReportLine& line)
{
    return line.snapshot->status == SNAPSHOT_OK;
}

// A figure of one instance: absent, a number, or microseconds shown as
// seconds.
struct Figure {
    enum { ABSENT, NUMBER, USEC } kind;
    uint64_t value;
};

constexpr Figure number(uint64_t value) { return {Figure::NUMBER, value}; }
constexpr Figure absent() { return {Figure::ABSENT, 0}; }

// A round-trip time or jitter; absent without a value.
constexpr Figure usec(int64_t value) { return value < 0 ? absent() : Figure{Figure::USEC, uint64_t(value)}; }

using Figures = Figure (*)(const ReportLine& line);

// A family of one unlabeled sample per instance.
void per_line(FILE* out, const ReportLine* lines, size_t count, const char* name, const char* type,
              const char* help, Figures figure)
{
    Family family = {out, name, type, help, false};
    for (size_t i = 0; i < count; ++i) {
        const Figure f = figure(lines[i]);
        if (f.kind == Figure::ABSENT)
            continue;
        const bool open = sample(family, lines[i]);
        if (f.kind == Figure::USEC)
            seconds(family, open, f.value);
        else
            value(family, open, f.value);
    }
}

// A summary: its _sum in seconds and its _count, per instance with a block.
void summary(FILE* out, const ReportLine* lines, size_t count, const char* name, const char* help,
             Figures sum, Figures samples)
{
    Family family = {out, name, "summary", help, false};
    for (size_t i = 0; i < count; ++i) {
        if (!has_block(lines[i]))
            continue;
        seconds(family, sample(family, lines[i], "_sum"), sum(lines[i]).value);
        value(family, sample(family, lines[i], "_count"), samples(lines[i]).value);
    }
}

int targets(const ModuleSettings& settings)
{
    return settings.address[1][0] != '\0' ? 2 : 1;
}

// What the settings say: which addresses are probed how often, and whether
// the daily window lets the daemon probe now.
void settings_series(FILE* out, const ReportLine* lines, size_t count)
{
    Family info = {out, "tolvin_probe_target_info", "gauge",
                   "The addresses the daemon probes (settings MOD_TOLVIN_IPADDR, MOD_TOLVIN_IPADDR2), always 1.",
                   false};
    for (size_t i = 0; i < count; ++i) {
        for (int t = 0; t < targets(*lines[i].settings); ++t) {
            bool open = sample(info, lines[i]);
            label(info, open, "target", TARGETS[t]);
            label(info, open, "address", lines[i].settings->address[t]);
            value(info, open, 1);
        }
    }
    Family interval = {out, "tolvin_probe_interval_seconds", "gauge",
                       "Seconds between probe cycles while probing the address (MOD_TOLVIN_PINGINT, "
                       "MOD_TOLVIN_PINGINT2).",
                       false};
    for (size_t i = 0; i < count; ++i) {
        for (int t = 0; t < targets(*lines[i].settings); ++t) {
            bool open = sample(interval, lines[i]);
            label(interval, open, "target", TARGETS[t]);
            value(interval, open, lines[i].settings->interval[t]);
        }
    }
    per_line(out, lines, count, "tolvin_monitoring_active", "gauge",
             "Whether the daily monitoring window of the settings is open now (1) or the daemon waits (0).",
             [](const ReportLine& line) {
                 MonitorWindow window;
                 window_init(window, parse_time_of_day(line.settings->start_time),
                             parse_time_of_day(line.settings->stop_time), line.snapshot->now);
                 return number(window.state == WINDOW_WAITING ? 0 : 1);
             });
}

// The daemon's verdict on each line: its state, one series a state, and
// whether its quality is degraded (left out while the state is unknown).
void verdict_series(FILE* out, const ReportLine* lines, size_t count)
{
    static const char* const STATES[4] = {"working", "failed", "lost", "unknown"};
    Family state = {out, "tolvin_line_state", "gauge",
                    "The line's state as tolvind judges it, 1 for the current one: working, failed, lost, or "
                    "unknown while tolvind does not run.",
                    false};
    for (size_t i = 0; i < count; ++i) {
        for (const char* name : STATES) {
            bool open = sample(state, lines[i]);
            label(state, open, "state", name);
            value(state, open, strcmp(snapshot_line_state(*lines[i].snapshot), name) == 0 ? 1 : 0);
        }
    }
    per_line(out, lines, count, "tolvin_line_degraded", "gauge",
             "Whether tolvind judges the working line's quality degraded (1) or not (0): its loss or median "
             "round-trip time over its newest probes (MOD_TOLVIN_DEGRCHECK).",
             [](const ReportLine& l) {
                 return l.snapshot->has_verdict ? number(l.snapshot->verdict.degraded ? 1 : 0) : absent();
             });
}

// The block's figures: only of instances whose block could be read.
const LinkStats* block(const ReportLine& line)
{
    return has_block(line) ? &line.snapshot->block : nullptr;
}

const RingWindow* window(const ReportLine& line)
{
    return &line.snapshot->window;
}

void block_series(FILE* out, const ReportLine* lines, size_t count)
{
    per_line(out, lines, count, "tolvin_probes_total", "counter", "Echo probes since the daemon started.",
             [](const ReportLine& l) { return block(l) ? number(block(l)->probes) : absent(); });
    per_line(out, lines, count, "tolvin_replies_total", "counter", "Echo probes answered since the daemon started.",
             [](const ReportLine& l) { return block(l) ? number(block(l)->replies) : absent(); });
    summary(out, lines, count, "tolvin_rtt_seconds", "Round-trip times of the answered probes since the daemon started.",
            [](const ReportLine& l) { return number(block(l)->rtt_sum); },
            [](const ReportLine& l) { return number(block(l)->replies); });
    // Jitter: between each answered probe and the one answered before it.
    summary(out, lines, count, "tolvin_jitter_seconds", "Jitter between successive answered probes since the daemon started.",
            [](const ReportLine& l) { return number(block(l)->jitter_sum); },
            [](const ReportLine& l) { return number(block(l)->replies > 1 ? block(l)->replies - 1 : 0); });
    per_line(out, lines, count, "tolvin_last_probe_timestamp_seconds", "gauge",
             "When the newest probe was made, seconds since the epoch.", [](const ReportLine& l) {
                 const LinkSample* newest = block(l) ? newest_sample(*block(l)) : nullptr;
                 return newest ? number(uint64_t(newest->timestamp > 0 ? newest->timestamp : 0)) : absent();
             });
    per_line(out, lines, count, "tolvin_last_probe_success", "gauge",
             "Whether the newest probe was answered (1) or not (0).", [](const ReportLine& l) {
                 const LinkSample* newest = block(l) ? newest_sample(*block(l)) : nullptr;
                 return newest ? number(newest->rtt != LINK_RTT_NONE ? 1 : 0) : absent();
             });
    // The short-term window as the ring holds it (Snapshot::window).
    per_line(out, lines, count, "tolvin_window_probes", "gauge",
             "Probes in the short-term window: the newest MOD_TOLVIN_SHORTTERM probes of the ring, fewer after a "
             "start.",
             [](const ReportLine& l) { return block(l) ? number(window(l)->probes) : absent(); });
    per_line(out, lines, count, "tolvin_window_replies", "gauge", "Answered probes in the short-term window.",
             [](const ReportLine& l) { return block(l) ? number(window(l)->replies) : absent(); });
    per_line(out, lines, count, "tolvin_window_rtt_min_seconds", "gauge",
             "Smallest round-trip time of the answered probes in the short-term window.",
             [](const ReportLine& l) { return block(l) ? usec(window(l)->rtt_min) : absent(); });
    per_line(out, lines, count, "tolvin_window_rtt_mean_seconds", "gauge",
             "Mean round-trip time of the answered probes in the short-term window.",
             [](const ReportLine& l) { return block(l) ? usec(window(l)->rtt_mean) : absent(); });
    per_line(out, lines, count, "tolvin_window_rtt_max_seconds", "gauge",
             "Largest round-trip time of the answered probes in the short-term window.",
             [](const ReportLine& l) { return block(l) ? usec(window(l)->rtt_max) : absent(); });
    per_line(out, lines, count, "tolvin_window_jitter_mean_seconds", "gauge",
             "Mean jitter of the answered probes in the short-term window that have one.",
             [](const ReportLine& l) { return block(l) ? usec(window(l)->jitter_mean) : absent(); });
}

// The availability record, where the file held one.
const AvailabilityRecord* availability(const ReportLine& line)
{
    return has_block(line) && line.snapshot->has_availability ? &line.snapshot->availability : nullptr;
}

uint64_t start_time(const AvailabilityRecord& a)
{
    return uint64_t(a.start_time > 0 ? a.start_time : 0);
}

void availability_series(FILE* out, const ReportLine* lines, size_t count)
{
    per_line(out, lines, count, "tolvin_availability_start_timestamp_seconds", "gauge",
             "When availability monitoring began, seconds since the epoch.", [](const ReportLine& l) {
                 return availability(l) ? number(start_time(*availability(l))) : absent();
             });
    per_line(out, lines, count, "tolvin_availability_update_timestamp_seconds", "gauge",
             "When the daemon last wrote the availability counters, seconds since the epoch.",
             [](const ReportLine& l) {
                 return availability(l) ? number(start_time(*availability(l)) + availability(l)->elapsed) : absent();
             });
    per_line(out, lines, count, "tolvin_monitored_seconds_total", "counter",
             "Time the line has been monitored, over the daemon's runs.",
             [](const ReportLine& l) { return availability(l) ? number(availability(l)->monitored) : absent(); });
    per_line(out, lines, count, "tolvin_available_seconds_total", "counter", "Monitored time with the line available.",
             [](const ReportLine& l) { return availability(l) ? number(availability(l)->available) : absent(); });
}

} // namespace

void report_prometheus(FILE* out, const ReportLine* lines, size_t count)
{
    fputs("# HELP tolvin_build_info The version of tolvinstat, always 1.\n# TYPE tolvin_build_info gauge\n"
          "tolvin_build_info{version=\"" TOLVIN_VERSION "\"} 1\n", out);
    settings_series(out, lines, count);
    per_line(out, lines, count, "tolvin_read_success", "gauge",
             "Whether tolvinstat read the line's statistics block (1) or not (0): not when the daemon has not run "
             "since boot, its segment is not readable by this user, holds something else, or kept changing while "
             "read.",
             [](const ReportLine& l) { return number(has_block(l) ? 1 : 0); });
    per_line(out, lines, count, "tolvin_daemon_running", "gauge",
             "Whether tolvind holds its statistics segment (1) or not (0): it keeps it attached while it runs.",
             [](const ReportLine& l) { return number(has_block(l) && l.snapshot->attachments > 0 ? 1 : 0); });
    verdict_series(out, lines, count);
    block_series(out, lines, count);
    availability_series(out, lines, count);
}
