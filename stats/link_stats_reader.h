// What a reader of the statistics block relies on besides its layout: when a
// copy of it is whole, and the short-term window's figures as the ring holds
// them. The daemon writes the block without a lock, so a copy may catch a
// record half done; and its own window counters follow incremental rules
// that other programs on the router read, but that stray from the window's
// samples on a lossy line. Readers that show figures to people take the
// window from the ring.
#pragma once

#include <cstdint>

#include "stats/link_stats.h"

// The samples the daemon's window spans after `probes` records with window
// length `short_term` (S): min(probes, S), and LINK_WINDOW_MAX once a window
// longer than that has outgrown its copy phase.
uint32_t link_window_probes(uint32_t probes, uint32_t short_term);

// Whether a copy of the block (its tag checked beforehand) holds what every
// whole record leaves behind: sample_count = min(probes, 10000); replies
// within probes; the window's counts within the long-term ones and equal to
// them while the window covers every probe; a window one probe short only
// where S makes it so; averages that are their sums' quotients; extremes
// that exist exactly when replies do; the newest sample not stamped before
// the one ahead of it. A window of another length than S passes when no
// record half done could have left it (the settings were edited after the
// daemon started).
bool link_stats_whole(const LinkStats& stats, uint32_t short_term);

// The short-term window of the ring: its newest min(S, samples kept) samples.
struct RingWindow {
    uint32_t probes;
    uint32_t replies;
    int32_t rtt_min;            // microseconds, -1 without a reply
    int32_t rtt_max;
    int64_t rtt_mean;           // truncated; -1 without a reply
    uint64_t rtt_sum;
    int64_t jitter_mean;        // of the samples that have a jitter; -1 none
    uint64_t jitter_sum;
    uint32_t jitters;           // samples with a jitter
};

RingWindow link_window_from_ring(const LinkStats& stats, uint32_t short_term);
