#include "tolvinstat/report.h"

#include <cinttypes>
#include <cstring>

namespace {

// The sample count as far as the ring holds it: a block read from another
// program is data, never trusted as an index.
uint32_t samples_kept(const LinkStats& stats)
{
    return stats.sample_count < LINK_SAMPLES ? stats.sample_count : LINK_SAMPLES;
}

bool has_newest(const LinkStats& stats)
{
    return samples_kept(stats) > 0;
}

long newest_age(const LinkStats& stats, time_t now)
{
    long age = long(now) - stats.samples[samples_kept(stats) - 1].timestamp;
    return age > 0 ? age : 0;
}

// Microseconds as milliseconds with three decimals, or "no value".
const char* ms(char (&text)[32], int64_t usec)
{
    if (usec < 0)
        snprintf(text, sizeof text, "no value");
    else
        snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64 " ms", usec / 1000, usec % 1000);
    return text;
}

const char* percent(char (&text)[32], uint64_t part, uint64_t whole)
{
    if (whole == 0)
        snprintf(text, sizeof text, "no value");
    else
        snprintf(text, sizeof text, "%.2f %%", 100.0 * double(part) / double(whole));
    return text;
}

const char* duration(char (&text)[32], unsigned long seconds)
{
    snprintf(text, sizeof text, "%lu d %02lu h %02lu min", seconds / 86400, seconds / 3600 % 24,
             seconds / 60 % 60);
    return text;
}

// The 32-bit averages as signed: all bits set is "no value".
int64_t average(uint32_t value)
{
    return value == LINK_STATS_NONE ? -1 : int64_t(value);
}

void json_number(FILE* out, const char* name, int64_t value, bool comma = true)
{
    if (value < 0)
        fprintf(out, "\"%s\":null%s", name, comma ? "," : "");
    else
        fprintf(out, "\"%s\":%" PRId64 "%s", name, value, comma ? "," : "");
}

// One object of figures; the long-term and the window ones share its keys.
void json_figures(FILE* out, const char* name, uint32_t probes, uint32_t replies, int32_t rtt_min,
                  int32_t rtt_max, int64_t rtt_avg, int64_t rtt_sum, int64_t jitter_avg,
                  int64_t jitter_sum)
{
    fprintf(out, "\"%s\":{", name);
    json_number(out, "probes", probes);
    json_number(out, "replies", replies);
    json_number(out, "rtt_min_us", rtt_min);
    json_number(out, "rtt_max_us", rtt_max);
    json_number(out, "rtt_avg_us", rtt_avg);
    json_number(out, "rtt_sum_us", rtt_sum);
    json_number(out, "jitter_avg_us", jitter_avg);
    json_number(out, "jitter_sum_us", jitter_sum, false);
    fputc('}', out);
}

void metric_header(FILE* out, const char* name, const char* type, const char* help)
{
    fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void metric_value(FILE* out, const char* name, int64_t value)
{
    fprintf(out, "%s %" PRId64 "\n", name, value);
}

// A pair of rtt gauges (long-term and window) in seconds, exact to the
// microsecond; -1 leaves a scope out.
void metric_rtt(FILE* out, const char* name, const char* help, int64_t all_usec, int64_t window_usec)
{
    metric_header(out, name, "gauge", help);
    const char* scopes[2] = {"all", "window"};
    const int64_t values[2] = {all_usec, window_usec};
    for (int i = 0; i < 2; ++i) {
        if (values[i] >= 0)
            fprintf(out, "%s{scope=\"%s\"} %" PRId64 ".%06" PRId64 "\n", name, scopes[i],
                    values[i] / 1000000, values[i] % 1000000);
    }
}

} // namespace

void report_table(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                  time_t now)
{
    if (has_newest(stats))
        fprintf(out, "tolvind link statistics, newest sample %ld s ago (%u samples kept)\n\n",
                newest_age(stats, now), samples_kept(stats));
    else
        fprintf(out, "tolvind link statistics: no samples yet\n\n");

    char window_title[32];
    if (stats.window_probes == 0)
        snprintf(window_title, sizeof window_title, "window (empty)");
    else
        snprintf(window_title, sizeof window_title, "last %u probes", stats.window_probes);
    char a[32], b[32];
    fprintf(out, "%-14s%16s%18s\n", "", "since start", window_title);
    fprintf(out, "%-14s%16u%18u\n", "probes", stats.probes, stats.window_probes);
    fprintf(out, "%-14s%16u%18u\n", "replies", stats.replies, stats.window_replies);
    const uint32_t window_lost = stats.window_probes > stats.window_replies
                                     ? stats.window_probes - stats.window_replies : 0;
    fprintf(out, "%-14s%16s%18s\n", "loss", percent(a, stats.probes - stats.replies, stats.probes),
            percent(b, window_lost, stats.window_probes));
    fprintf(out, "%-14s%16s%18s\n", "rtt min", ms(a, stats.rtt_min), ms(b, stats.window_rtt_min));
    fprintf(out, "%-14s%16s%18s\n", "rtt mean", ms(a, average(stats.rtt_avg)),
            ms(b, average(stats.window_rtt_avg)));
    fprintf(out, "%-14s%16s%18s\n", "rtt max", ms(a, stats.rtt_max), ms(b, stats.window_rtt_max));
    fprintf(out, "%-14s%16s%18s\n", "jitter mean", ms(a, average(stats.jitter_avg)),
            ms(b, average(stats.window_jitter_avg)));

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

void report_json(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                 time_t now)
{
    fprintf(out, "{\"version\":%d,", REPORT_JSON_VERSION);
    json_number(out, "samples_kept", samples_kept(stats));
    json_number(out, "newest_sample_time", has_newest(stats) ? stats.samples[samples_kept(stats) - 1].timestamp : -1);
    json_number(out, "newest_sample_age_seconds", has_newest(stats) ? newest_age(stats, now) : -1);
    json_figures(out, "long_term", stats.probes, stats.replies, stats.rtt_min, stats.rtt_max,
                 average(stats.rtt_avg), int64_t(stats.rtt_sum & INT64_MAX),
                 average(stats.jitter_avg), int64_t(stats.jitter_sum & INT64_MAX));
    fputc(',', out);
    json_figures(out, "window", stats.window_probes, stats.window_replies, stats.window_rtt_min,
                 stats.window_rtt_max, average(stats.window_rtt_avg), stats.window_rtt_sum,
                 average(stats.window_jitter_avg), stats.window_jitter_sum);
    fprintf(out, ",\"availability\":");
    if (availability == nullptr) {
        fprintf(out, "null}\n");
        return;
    }
    fprintf(out, "{\"start_time\":%ld,\"elapsed_seconds\":%lu,\"monitored_seconds\":%lu,"
                 "\"available_seconds\":%lu}}\n",
            availability->start_time, availability->elapsed, availability->monitored,
            availability->available);
}

void report_prometheus(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                       time_t now)
{
    metric_header(out, "tolvin_probes_total", "counter", "Echo probes since the daemon started.");
    metric_value(out, "tolvin_probes_total", stats.probes);
    metric_header(out, "tolvin_replies_total", "counter", "Echo probes answered since the daemon started.");
    metric_value(out, "tolvin_replies_total", stats.replies);
    metric_header(out, "tolvin_window_probes", "gauge", "Probes in the short-term window.");
    metric_value(out, "tolvin_window_probes", stats.window_probes);
    metric_header(out, "tolvin_window_replies", "gauge", "Replies counted for the short-term window.");
    metric_value(out, "tolvin_window_replies", stats.window_replies);
    metric_rtt(out, "tolvin_rtt_min_seconds", "Smallest round-trip time.", stats.rtt_min,
               stats.window_rtt_min);
    metric_rtt(out, "tolvin_rtt_mean_seconds", "Mean round-trip time.", average(stats.rtt_avg),
               average(stats.window_rtt_avg));
    metric_rtt(out, "tolvin_rtt_max_seconds", "Largest round-trip time.", stats.rtt_max,
               stats.window_rtt_max);
    metric_rtt(out, "tolvin_jitter_mean_seconds", "Mean jitter between successive replies.",
               average(stats.jitter_avg), average(stats.window_jitter_avg));
    if (has_newest(stats)) {
        metric_header(out, "tolvin_newest_sample_age_seconds", "gauge", "Age of the newest probe sample.");
        metric_value(out, "tolvin_newest_sample_age_seconds", newest_age(stats, now));
    }
    if (availability == nullptr)
        return;
    metric_header(out, "tolvin_monitoring_start_time_seconds", "gauge",
                  "When availability monitoring began, seconds since the epoch.");
    metric_value(out, "tolvin_monitoring_start_time_seconds", availability->start_time);
    metric_header(out, "tolvin_monitored_seconds_total", "counter", "Time the line has been monitored.");
    metric_value(out, "tolvin_monitored_seconds_total", int64_t(availability->monitored & INT64_MAX));
    metric_header(out, "tolvin_available_seconds_total", "counter", "Monitored time with the line available.");
    metric_value(out, "tolvin_available_seconds_total", int64_t(availability->available & INT64_MAX));
}

void report_samples(FILE* out, const LinkStats& stats, uint32_t count)
{
    const uint32_t kept = samples_kept(stats);
    if (count > kept)
        count = kept;
    fprintf(out, "time,rtt_us,jitter_us\n");
    for (uint32_t i = kept - count; i < kept; ++i) {
        const LinkSample& sample = stats.samples[i];
        time_t when = sample.timestamp;
        tm utc;
        char stamp[32];
        gmtime_r(&when, &utc);
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
        char rtt[16] = "";
        char jitter[16] = "";
        if (sample.rtt != LINK_RTT_NONE)
            snprintf(rtt, sizeof rtt, "%d", sample.rtt);
        if (sample.jitter != LINK_RTT_NONE)
            snprintf(jitter, sizeof jitter, "%d", sample.jitter);
        fprintf(out, "%s,%s,%s\n", stamp, rtt, jitter);
    }
}

bool parse_availability(const char* text, AvailabilityRecord* record)
{
    int consumed = 0;
    AvailabilityRecord parsed = {};
    if (sscanf(text, "%ld\n%lu\n%lu\n%lu\n%n", &parsed.start_time, &parsed.elapsed,
               &parsed.monitored, &parsed.available, &consumed) != 4)
        return false;
    // The daemon writes exactly four lines; anything after them is a
    // rewrite caught half way.
    if (consumed == 0 || text[consumed] != '\0' || text[consumed - 1] != '\n')
        return false;
    *record = parsed;
    return true;
}

void copy_block(LinkStats* to, const volatile LinkStats* from)
{
    memcpy(to, const_cast<const LinkStats*>(from), sizeof(LinkStats));
}

bool snapshot_block(const volatile LinkStats* shared, LinkStats* out, LinkStats* scratch,
                    int attempts, BlockCopy copy)
{
    for (int i = 0; i < attempts; ++i) {
        copy(out, shared);
        copy(scratch, shared);
        if (memcmp(out, scratch, sizeof(LinkStats)) == 0)
            return true;
    }
    return false;
}
