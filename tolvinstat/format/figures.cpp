// The figures as both the table and the page show them: the rows, their
// units, the dates. Pure formatting.
#include <cinttypes>

#include "tolvinstat/format/report.h"

const char* format_date(char (&text)[32], time_t when)
{
    snprintf(text, sizeof text, "no value");
    tm local;
    if (when != 0 && localtime_r(&when, &local) != nullptr)
        strftime(text, sizeof text, "%F %T", &local);
    return text;
}

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
    char since[32];
    format_date(since, time_t(v.since));
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

void figure_rows(const Snapshot& snapshot, FigureRow (&rows)[FIGURE_ROWS], char (&window_title)[32])
{
    const LinkStats& s = snapshot.block;
    const RingWindow& w = snapshot.window;
    if (w.probes == 0)
        snprintf(window_title, sizeof window_title, "window (empty)");
    else
        snprintf(window_title, sizeof window_title, "last %u probes", w.probes);
    rows[0] = {"probes", "probes", {}, {}};
    snprintf(rows[0].start, sizeof rows[0].start, "%u", s.probes);
    snprintf(rows[0].window, sizeof rows[0].window, "%u", w.probes);
    rows[1] = {"replies", "replies", {}, {}};
    snprintf(rows[1].start, sizeof rows[1].start, "%u", s.replies);
    snprintf(rows[1].window, sizeof rows[1].window, "%u", w.replies);
    rows[2] = {"loss", "loss", {}, {}};
    format_percent(rows[2].start, s.probes - s.replies, s.probes);
    format_percent(rows[2].window, w.probes - w.replies, w.probes);
    rows[3] = {"rtt min", "rtt_min", {}, {}};
    format_ms(rows[3].start, s.rtt_min);
    format_ms(rows[3].window, w.rtt_min);
    rows[4] = {"rtt mean", "rtt_mean", {}, {}};
    format_ms(rows[4].start, average(s.rtt_avg));
    format_ms(rows[4].window, w.rtt_mean);
    rows[5] = {"rtt max", "rtt_max", {}, {}};
    format_ms(rows[5].start, s.rtt_max);
    format_ms(rows[5].window, w.rtt_max);
    rows[6] = {"jitter mean", "jitter_mean", {}, {}};
    format_ms(rows[6].start, average(s.jitter_avg));
    format_ms(rows[6].window, w.jitter_mean);
}
