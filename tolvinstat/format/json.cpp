// One JSON object: raw microseconds and seconds, null for no value.
#include <cinttypes>

#include "tolvinstat/format/report.h"

namespace {

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

} // namespace

void report_json(FILE* out, const Snapshot& snapshot, const char* instance)
{
    const LinkStats& stats = snapshot.block;
    const RingWindow& window = snapshot.window;
    const AvailabilityRecord* availability = snapshot.has_availability ? &snapshot.availability : nullptr;
    fprintf(out, "{\"version\":%d,", REPORT_JSON_VERSION);
    if (instance[0] != '\0')            // a valid name needs no escaping
        fprintf(out, "\"instance\":\"%s\",", instance);
    fprintf(out, "\"line\":{\"state\":\"%s\",\"degraded\":%s,", snapshot_line_state(snapshot),
            snapshot.has_verdict && snapshot.verdict.degraded ? "true" : "false");
    json_number(out, "since", snapshot.has_verdict ? snapshot.verdict.since : -1, false);
    fputs("},", out);
    json_number(out, "samples_kept", samples_kept(stats));
    const LinkSample* newest = newest_sample(stats);
    json_number(out, "newest_sample_time", newest != nullptr ? newest->timestamp : -1);
    json_number(out, "newest_sample_age_seconds", newest != nullptr ? newest_age(stats, snapshot.now) : -1);
    json_figures(out, "long_term", stats.probes, stats.replies, stats.rtt_min, stats.rtt_max,
                 average(stats.rtt_avg), int64_t(stats.rtt_sum & INT64_MAX),
                 average(stats.jitter_avg), int64_t(stats.jitter_sum & INT64_MAX));
    fputc(',', out);
    json_figures(out, "window", window.probes, window.replies, window.rtt_min, window.rtt_max, window.rtt_mean,
                 int64_t(window.rtt_sum & INT64_MAX), window.jitter_mean, int64_t(window.jitter_sum & INT64_MAX));
    // The block's own window counters, kept by the daemon's incremental
    // rules for the other programs that read the block.
    fputc(',', out);
    json_figures(out, "block_window_counters", stats.window_probes, stats.window_replies, stats.window_rtt_min,
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

