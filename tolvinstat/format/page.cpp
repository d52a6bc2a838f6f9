// The status page for a person with a browser, a phone's included: one HTML
// document with its style inside and no script, a section per instance.
#include <cinttypes>

#include "tolvinstat/format/report.h"

namespace {

constexpr const char* STYLE =
    "body{font-family:sans-serif;margin:0 auto;max-width:760px;padding:8px;color:#222}"
    "h1{font-size:1.4em}h2{font-size:1.15em;margin-bottom:.3em}"
    "table{border-collapse:collapse;width:100%;max-width:480px}"
    "th,td{padding:2px 6px;text-align:right;border-bottom:1px solid #eee}th:first-child{text-align:left}"
    ".answered{color:#060;font-weight:bold}.lost,.stopped{color:#b00;font-weight:bold}"
    "svg{width:100%;height:auto;display:block}footer{margin-top:1.5em;font-size:.9em}";

// A text of the settings or the server in HTML, an attribute's included.
void html_text(FILE* out, const char* text)
{
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '<')
            fputs("&lt;", out);
        else if (*c == '>')
            fputs("&gt;", out);
        else if (*c == '&')
            fputs("&amp;", out);
        else if (*c == '"')
            fputs("&quot;", out);
        else
            fputc(*c, out);
    }
}

// One row of the table: since start and in the window.
void row(FILE* out, const char* name, const char* figure, const char* start, const char* window)
{
    fprintf(out, "<tr><th>%s</th><td data-figure=\"%s\">%s</td><td data-figure=\"window_%s\">%s</td></tr>\n", name,
            figure, start, figure, window);
}

void figures(FILE* out, const Snapshot& snapshot)
{
    FigureRow rows[FIGURE_ROWS];
    char window_title[32];
    figure_rows(snapshot, rows, window_title);
    fprintf(out, "<table>\n<tr><th></th><th>since start</th><th>%s</th></tr>\n", window_title);
    for (const FigureRow& r : rows)
        row(out, r.name, r.figure, r.start, r.window);
    fputs("</table>\n", out);
}

void state(FILE* out, const Snapshot& snapshot)
{
    const LinkStats& s = snapshot.block;
    const LinkSample* newest = newest_sample(s);
    if (newest == nullptr) {
        fputs("<p class=\"state\" data-state=\"empty\">No samples yet.</p>\n", out);
    } else {
        const bool answered = newest->rtt != LINK_RTT_NONE;
        const time_t when = newest->timestamp;
        tm local;
        localtime_r(&when, &local);
        char at[32];
        strftime(at, sizeof at, "%H:%M:%S %Z", &local);
        fprintf(out, "<p class=\"%s\" data-state=\"%s\">Newest probe %s, <span data-figure=\"age\">%ld</span> s "
                "ago (%s).</p>\n", answered ? "answered" : "lost", answered ? "answered" : "lost",
                answered ? "answered" : "lost", newest_age(s, snapshot.now), at);
    }
    if (snapshot.attachments == 0)
        fputs("<p class=\"stopped\">tolvind is not running: these are its last figures.</p>\n", out);
}

void availability(FILE* out, const AvailabilityRecord& a)
{
    char share[32], monitored[32], since[32];
    format_date(since, a.start_time);
    fprintf(out, "<p>Available <span data-figure=\"availability\">%s</span> of %s monitored since %s.</p>\n",
            format_percent(share, a.available, a.monitored), format_duration(monitored, a.monitored), since);
}

void section(FILE* out, const ReportLine& line)
{
    const Snapshot& snapshot = *line.snapshot;
    if (line.name[0] != '\0')
        fprintf(out, "<section id=\"line-%s\">\n<h2>Line %s</h2>\n", line.name, line.name);
    else
        fputs("<section id=\"line\">\n<h2>Line</h2>\n", out);
    fputs("<p>Probing ", out);
    html_text(out, line.settings->address[0]);
    fputs(".</p>\n", out);
    if (snapshot.status != SNAPSHOT_OK) {
        fprintf(out, "<p class=\"stopped\">%s</p>\n</section>\n", snapshot_problem(snapshot));
        return;
    }
    char verdict[256];
    const bool good = snapshot.has_verdict && snapshot.verdict.state == VERDICT_WORKING && !snapshot.verdict.degraded;
    fprintf(out, "<p class=\"%s\" data-figure=\"line_state\" data-state=\"%s\">", good ? "answered" : "lost",
            snapshot_line_state(snapshot));
    html_text(out, format_line_state(verdict, snapshot, line.name));
    fputs(".</p>\n", out);
    state(out, snapshot);
    figures(out, snapshot);
    if (snapshot.has_availability)
        availability(out, snapshot.availability);
    report_chart(out, snapshot.block);
    fputs("</section>\n", out);
}

} // namespace

void report_page(FILE* out, const ReportLine* lines, size_t count, const char* base)
{
    fprintf(out, "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            "<title>tolvind</title><style>%s</style></head><body>\n<h1>tolvind</h1>\n", STYLE);
    for (size_t i = 0; i < count; ++i)
        section(out, lines[i]);
    fputs("<footer>For Prometheus: <a href=\"", out);
    html_text(out, base);
    fputs("/metrics\">metrics</a>. The chart alone: <a href=\"", out);
    html_text(out, base);
    fputs("/rtt.svg\">rtt.svg</a>.</footer>\n</body></html>\n", out);
}
