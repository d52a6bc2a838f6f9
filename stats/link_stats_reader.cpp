#include "stats/link_stats_reader.h"

uint32_t link_window_probes(uint32_t probes, uint32_t short_term)
{
    if (probes <= short_term)
        return probes;
    return short_term > LINK_WINDOW_MAX ? LINK_WINDOW_MAX : short_term;
}

bool link_stats_whole(const LinkStats& s, uint32_t short_term)
{
    const uint32_t kept = s.probes < LINK_SAMPLES ? s.probes : LINK_SAMPLES;
    if (s.sample_count != kept || s.replies > s.probes)
        return false;
    if (s.window_probes > s.probes || s.window_replies > s.window_probes || s.window_replies > s.replies)
        return false;
    // A record counts the probe before the window grows: a window one short
    // of the probes is either that moment or a window of exactly S.
    if (s.window_probes + 1 == s.probes && s.window_probes != link_window_probes(s.probes, short_term))
        return false;
    // While the window covers every probe it is a copy of the long-term figures.
    if (s.window_probes == s.probes
        && (s.window_replies != s.replies || s.window_rtt_min != s.rtt_min || s.window_rtt_max != s.rtt_max
            || s.window_rtt_sum != uint32_t(s.rtt_sum)))
        return false;
    // Once it slides, its means are its own sums' quotients.
    if (s.window_probes < s.probes
        && (s.window_replies == 0 ? s.window_rtt_avg != LINK_STATS_NONE || s.window_jitter_avg != LINK_STATS_NONE
                                  : s.window_rtt_avg != s.window_rtt_sum / s.window_replies
                                        || s.window_jitter_avg != s.window_jitter_sum / s.window_replies))
        return false;
    if (s.replies == 0) {
        if (s.rtt_min != LINK_RTT_NONE || s.rtt_max != LINK_RTT_NONE || s.rtt_sum != 0
            || s.rtt_avg != LINK_STATS_NONE)
            return false;
    } else if (s.rtt_min < 0 || s.rtt_min > s.rtt_max || s.rtt_avg != uint32_t(s.rtt_sum / s.replies)) {
        return false;
    }
    if (s.replies <= 1 ? s.jitter_sum != 0 || s.jitter_avg != LINK_STATS_NONE
                       : s.jitter_avg != uint32_t(s.jitter_sum / (s.replies - 1)))
        return false;
    // A processor that orders stores weakly may show the counts before the
    // newest entry: then that entry is still an earlier run's, older.
    return kept < 2 || s.samples[kept - 1].timestamp >= s.samples[kept - 2].timestamp;
}

RingWindow link_window_from_ring(const LinkStats& stats, uint32_t short_term)
{
    const uint32_t kept = stats.sample_count < LINK_SAMPLES ? stats.sample_count : LINK_SAMPLES;
    RingWindow w = {};
    w.probes = short_term < kept ? short_term : kept;
    w.rtt_min = w.rtt_max = LINK_RTT_NONE;
    for (uint32_t i = kept - w.probes; i < kept; ++i) {
        const LinkSample& sample = stats.samples[i];
        if (sample.rtt < 0)     // no reply (-1), or what no reply ever measures
            continue;
        ++w.replies;
        w.rtt_sum += uint64_t(int64_t(sample.rtt));
        if (w.rtt_min == LINK_RTT_NONE || sample.rtt < w.rtt_min)
            w.rtt_min = sample.rtt;
        if (sample.rtt > w.rtt_max)
            w.rtt_max = sample.rtt;
        if (sample.jitter >= 0) {
            ++w.jitters;
            w.jitter_sum += uint64_t(int64_t(sample.jitter));
        }
    }
    w.rtt_mean = w.replies > 0 ? int64_t(w.rtt_sum / w.replies) : -1;
    w.jitter_mean = w.jitters > 0 ? int64_t(w.jitter_sum / w.jitters) : -1;
    return w;
}
