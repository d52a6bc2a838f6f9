// The newest ring entries as CSV.
#include "tolvinstat/format/report.h"

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

