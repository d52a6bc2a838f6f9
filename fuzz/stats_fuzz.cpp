// The statistics record fed any sequence of outcomes with any window size;
// the block's invariants, and the readers' check of a whole block, hold after
// every record.
// Input: 4 bytes of S, then 4 bytes per outcome.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "stats/link_stats.h"
#include "stats/link_stats_reader.h"

namespace {

LinkStats* block()
{
    static LinkStats* stats = new LinkStats();
    return stats;
}

void require(bool condition)
{
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t s;
    memcpy(&s, data, 4);
    // Small windows matter most; a high bit keeps the large ones reachable.
    if ((s & 0x80000000u) == 0)
        s %= 20000;
    LinkStats* stats = block();
    link_stats_reset(stats);
    uint32_t probes = 0, replies = 0;
    for (size_t at = 4; at + 4 <= size; at += 4) {
        uint32_t word;
        memcpy(&word, data + at, 4);
        // A probe's outcome: no reply, or a round-trip time of 0 to 3 s. A
        // repeat count in the top bits makes long runs cheap to express.
        int32_t rtt = (word & 1) ? LINK_RTT_NONE : int32_t((word >> 1) % 3000001);
        uint32_t repeat = 1 + (word >> 28) * 50;
        for (uint32_t r = 0; r < repeat; ++r) {
            link_stats_record(stats, int32_t(at), rtt, s);
            ++probes;
            replies += rtt != LINK_RTT_NONE;
            const uint32_t window = s > LINK_WINDOW_MAX && probes > s ? LINK_WINDOW_MAX : s;
            require(stats->tag == LINK_STATS_TAG);
            require(stats->probes == probes && stats->replies == replies);
            require(stats->sample_count == (probes < LINK_SAMPLES ? probes : LINK_SAMPLES));
            require(stats->window_probes == (probes < window ? probes : window));
            // Every whole record passes the readers' check.
            require(link_stats_whole(*stats, s));
            require(stats->window_replies <= stats->window_probes);
            require(stats->samples[stats->sample_count - 1].rtt == rtt);
            if (replies == 0)
                require(stats->rtt_min == LINK_RTT_NONE && stats->rtt_avg == LINK_STATS_NONE);
            else
                require(stats->rtt_min <= stats->rtt_max && stats->rtt_avg <= uint32_t(stats->rtt_max)
                        && stats->rtt_avg >= uint32_t(stats->rtt_min));
            if (stats->window_replies == 0) {
                require(stats->window_rtt_min == LINK_RTT_NONE && stats->window_rtt_max == LINK_RTT_NONE);
            } else if (stats->window_rtt_min != LINK_RTT_NONE && stats->window_rtt_max != LINK_RTT_NONE) {
                require(stats->window_rtt_min <= stats->window_rtt_max);
            }
            const LinkSample& newest = stats->samples[stats->sample_count - 1];
            require(newest.jitter == LINK_RTT_NONE || (rtt != LINK_RTT_NONE && newest.jitter >= 0));
        }
    }
    return 0;
}
