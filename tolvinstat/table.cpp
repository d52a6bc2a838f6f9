// The table for people at the console.
#include <cinttypes>

#include "tolvinstat/report.h"

const char* format_ms(char (&text)[32], int64_t usec)
{
    if (usec < 0)
        snprintf(text, sizeof text, "no value");
    else
        snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64 " ms", usec / 1000, usec % 1000);
    return text;
}

const char* format_percent(char (&text)[32], uint64_t part, uint64_t whole)
{
    if (whole == 0)
        snprintf(text, sizeof text, "no value");
    else
        snprintf(text, sizeof text, "%.2f %%", 100.0 * double(part) / double(whole));
    return text;
}

const char* format_duration(char (&text)[32], unsigned long seconds)
{
    snprintf(text, sizeof text, "%lu d %02lu h %02lu min", seconds / 86400, seconds / 3600 % 24,
             seconds / 60 % 60);
    return text;
}

const char* format_line_state(char (&text)[256], const Snapshot& snapshot, const char* instance)
{
    char line[24] = "line";
    if (instance[0] != '\0')
        snprintf(line, sizeof line, "line %s", instance);
    if (!snapshot.has_verdict) {
        snprintf(text, sizeof text, "%s state unknown", line);
        return text;
    }
    const Verdict& v = snapshot.verdict;
    char since[32] = "";
    const time_t when = time_t(v.since);
    tm local;
    localtime_r(&when, &local);
    strftime(since, sizeof since, "%F %T", &local);
    if (!v.degraded) {
        snprintf(text, sizeof text, "%s %s since %s", line, VERDICT_STATE_NAMES[v.state], since);
        return text;
    }
    char figures[128];
    verdict_describe_quality(figures, sizeof figures, v.judged_probes, v.lost, v.median_rtt_usec);
    snprintf(text, sizeof text, "%s %s but degraded since %s: %s", line, VERDICT_STATE_NAMES[v.state], since,
             figures);
    return text;
}

namespace {

const auto ms = format_ms;
const auto percent = format_percent;
const auto duration = format_duration;

} // namespace

void report_table(FILE* out, const Snapshot& snapshot, const char* instance)
{
    const LinkStats& stats = snapshot.block;
    const RingWindow& window = snapshot.window;
    const AvailabilityRecord* availability = snapshot.has_availability ? &snapshot.availability : nullptr;
    char state[256];
    fprintf(out, "%s\n", format_line_state(state, snapshot, instance));
    char line[32] = "";
    if (instance[0] != '\0')
        snprintf(line, sizeof line, " of line %s", instance);
    if (newest_sample(stats) != nullptr)
        fprintf(out, "tolvind link statistics%s, newest sample %ld s ago (%u samples kept)\n\n", line,
                newest_age(stats, snapshot.now), samples_kept(stats));
    else
        fprintf(out, "tolvind link statistics%s: no samples yet\n\n", line);

    char window_title[32];
    if (window.probes == 0)
        snprintf(window_title, sizeof window_title, "window (empty)");
    else
        snprintf(window_title, sizeof window_title, "last %u probes", window.probes);
    char a[32], b[32];
    fprintf(out, "%-14s%16s%18s\n", "", "since start", window_title);
    fprintf(out, "%-14s%16u%18u\n", "probes", stats.probes, window.probes);
    fprintf(out, "%-14s%16u%18u\n", "replies", stats.replies, window.replies);
    fprintf(out, "%-14s%16s%18s\n", "loss", percent(a, stats.probes - stats.replies, stats.probes),
            percent(b, window.probes - window.replies, window.probes));
    fprintf(out, "%-14s%16s%18s\n", "rtt min", ms(a, stats.rtt_min), ms(b, window.rtt_min));
    fprintf(out, "%-14s%16s%18s\n", "rtt mean", ms(a, average(stats.rtt_avg)), ms(b, window.rtt_mean));
    fprintf(out, "%-14s%16s%18s\n", "rtt max", ms(a, stats.rtt_max), ms(b, window.rtt_max));
    fprintf(out, "%-14s%16s%18s\n", "jitter mean", ms(a, average(stats.jitter_avg)), ms(b, window.jitter_mean));

    if (availability == nullptr)
        return;
    char since[32] = "no value";
    if (availability->start_time != 0) {
        time_t start = availability->start_time;
        tm local;
        localtime_r(&start, &local);
        strftime(since, sizeof since, "%F %T", &local);
    }
    fprintf(out, "\navailability since %s\n", since);
    fprintf(out, "%-14s%22s\n", "monitored", duration(a, availability->monitored));
    fprintf(out, "%-14s%22s   (%s)\n", "available", duration(b, availability->available),
            percent(a, availability->available, availability->monitored));
}

