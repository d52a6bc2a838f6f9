// The output formats of tolvinstat, each in a file of its own, all from what
// the snapshot reader copied: the table, JSON, CSV of the samples, Prometheus's
// text exposition format, the chart and the status page (table.cpp,
// json.cpp, samples.cpp, prometheus.cpp, chart.cpp, page.cpp), with what the
// table and the page share in figures.cpp; the SNMP objects beside them
// (snmp_objects.h). Pure formatting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "rules/settings.h"
#include "tolvinstat/snapshot.h"

inline constexpr int REPORT_JSON_VERSION = 1;

// A snapshot that holds the block (SNAPSHOT_OK), its availability where the
// file could be read; the instance's name, "" for the default instance
// (which they do not name). The short-term window's figures are the ring's
// (Snapshot::window); JSON shows the block's own window counters apart.
void report_table(FILE* out, const Snapshot& snapshot, const char* instance = "");
void report_json(FILE* out, const Snapshot& snapshot, const char* instance = "");
// The figures as people read them (the table, the page): microseconds as
// milliseconds with three decimals, a share in percent with two, seconds as
// days, hours and minutes; "no value" where there is none.
const char* format_ms(char (&text)[32], int64_t usec);
const char* format_percent(char (&text)[32], uint64_t part, uint64_t whole);
const char* format_duration(char (&text)[32], unsigned long seconds);
// A local date and time, "%F %T"; "no value" for 0.
const char* format_date(char (&text)[32], time_t when);

// One row of the figures since start and in the window, as the table and
// the page show them; `figure` names it on the page (data-figure).
struct FigureRow {
    const char* name;
    const char* figure;
    char start[32];
    char window[32];
};
inline constexpr size_t FIGURE_ROWS = 7;
// The rows of a snapshot, and the window's column title ("last N probes",
// "window (empty)").
void figure_rows(const Snapshot& snapshot, FigureRow (&rows)[FIGURE_ROWS], char (&window_title)[32]);
// The line's state as its daemon judged it, and since when: "line working
// since 2026-12-10 15:04:05", "line lte lost since ...", "line working but
// degraded since ...: loss 50 % and ...", "line state unknown".
const char* format_line_state(char (&text)[256], const Snapshot& snapshot, const char* instance);

// The ring as an SVG picture (image/svg+xml), standalone: round-trip time
// over local time, drawn per pixel column (least, median and greatest time
// of the answered probes in it, and a red mark where probes were lost).
void report_chart(FILE* out, const LinkStats& stats);

// The newest `count` ring entries, oldest first: time,rtt_us,jitter_us.
void report_samples(FILE* out, const LinkStats& stats, uint32_t count);

// One instance of the daemon as the exposition shows it.
struct ReportLine {
    const char* name;                  // "" for the default instance
    const Snapshot* snapshot;
    const ModuleSettings* settings;
};

// Every series of the exposition (README, tolvinstat(1)), each family once
// with a sample per instance: a named instance's carry line="NAME", the
// default's no line label. The snapshot's figures where it holds the block,
// the settings' always. A figure with no value is left out.
void report_prometheus(FILE* out, const ReportLine* lines, size_t count);

// The default instance alone.
inline void report_prometheus(FILE* out, const Snapshot& snapshot, const ModuleSettings& settings)
{
    const ReportLine line = {"", &snapshot, &settings};
    report_prometheus(out, &line, 1);
}

// The status page: per instance whether its newest probe was answered, the
// figures of the table, the availability, how old the newest sample is and
// the chart. One self-contained HTML document, no script; its links are
// `base` followed by /metrics and /rtt.svg ("" for the HTTP front end, the
// script's own path under CGI).
void report_page(FILE* out, const ReportLine* lines, size_t count, const char* base);
