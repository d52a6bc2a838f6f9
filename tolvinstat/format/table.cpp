// The table for people at the console.
#include <cinttypes>

#include "tolvinstat/format/report.h"

void report_table(FILE* out, const Snapshot& snapshot, const char* instance)
{
    const LinkStats& stats = snapshot.block;
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

    FigureRow rows[FIGURE_ROWS];
    char window_title[32];
    figure_rows(snapshot, rows, window_title);
    fprintf(out, "%-14s%16s%18s\n", "", "since start", window_title);
    for (const FigureRow& row : rows)
        fprintf(out, "%-14s%16s%18s\n", row.name, row.start, row.window);

    if (availability == nullptr)
        return;
    char a[32], b[32], since[32];
    format_date(since, availability->start_time);
    fprintf(out, "\navailability since %s\n", since);
    fprintf(out, "%-14s%22s\n", "monitored", format_duration(a, availability->monitored));
    fprintf(out, "%-14s%22s   (%s)\n", "available", format_duration(b, availability->available),
            format_percent(a, availability->available, availability->monitored));
}

