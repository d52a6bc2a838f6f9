// The link statistics block: round-trip and jitter figures of the echo probes
// in a System V shared-memory segment, read by other programs on the router.
// The layout below is their interface: offsets, widths and both padding words
// are fixed, all fields in native byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rules/layout.h"

inline constexpr uint32_t LINK_SAMPLES = 10000;
inline constexpr uint32_t LINK_STATS_TAG = 0x64617461;   // "data", most significant byte first
inline constexpr uint32_t LINK_STATS_NONE = 0xFFFFFFFF;  // an average with nothing to average
inline constexpr int32_t LINK_RTT_NONE = -1;             // no reply / no value
// The longest window that can slide: its leaving sample must still be in the ring.
inline constexpr uint32_t LINK_WINDOW_MAX = LINK_SAMPLES - 1;
// Larger than any round-trip time a probe can measure (it waits at most 3 s).
inline constexpr int32_t LINK_RTT_CEILING = 3000000;

inline constexpr const char* LINK_STATS_KEY_PATH = DAEMON_PATH;
inline constexpr int LINK_STATS_KEY_PROJECT = 1;

struct LinkSample {
    int32_t timestamp;          // seconds since the epoch
    int32_t rtt;                // microseconds, -1 no reply
    int32_t jitter;             // microseconds, -1 none
};

struct LinkStats {
    uint32_t probes;            // samples since start, failed ones included
    uint32_t replies;           // successful samples since start
    int32_t rtt_min;
    int32_t rtt_max;
    uint64_t rtt_sum;
    uint32_t rtt_avg;           // low 32 bits of rtt_sum / replies
    uint32_t padding_28;        // never written
    uint64_t jitter_sum;
    uint32_t jitter_avg;        // low 32 bits of jitter_sum / (replies - 1)
    uint32_t window_probes;     // min(probes, S)
    uint32_t window_replies;    // successes counted for the window, 0 to S
    int32_t window_rtt_min;
    int32_t window_rtt_max;
    uint32_t window_rtt_sum;    // modulo 2^32
    uint32_t window_rtt_avg;
    uint32_t window_jitter_sum; // modulo 2^32
    uint32_t window_jitter_avg;
    uint32_t tag;               // LINK_STATS_TAG
    uint32_t sample_count;      // entries of samples in use, oldest at index 0
    LinkSample samples[LINK_SAMPLES];
    uint32_t padding_120084;    // never written
};

static_assert(sizeof(LinkSample) == 12 && offsetof(LinkSample, rtt) == 4
              && offsetof(LinkSample, jitter) == 8);
static_assert(offsetof(LinkStats, probes) == 0 && offsetof(LinkStats, replies) == 4
              && offsetof(LinkStats, rtt_min) == 8 && offsetof(LinkStats, rtt_max) == 12
              && offsetof(LinkStats, rtt_sum) == 16 && offsetof(LinkStats, rtt_avg) == 24
              && offsetof(LinkStats, padding_28) == 28 && offsetof(LinkStats, jitter_sum) == 32
              && offsetof(LinkStats, jitter_avg) == 40 && offsetof(LinkStats, window_probes) == 44
              && offsetof(LinkStats, window_replies) == 48
              && offsetof(LinkStats, window_rtt_min) == 52
              && offsetof(LinkStats, window_rtt_max) == 56
              && offsetof(LinkStats, window_rtt_sum) == 60
              && offsetof(LinkStats, window_rtt_avg) == 64
              && offsetof(LinkStats, window_jitter_sum) == 68
              && offsetof(LinkStats, window_jitter_avg) == 72 && offsetof(LinkStats, tag) == 76
              && offsetof(LinkStats, sample_count) == 80 && offsetof(LinkStats, samples) == 84
              && offsetof(LinkStats, padding_120084) == 120084);
static_assert(sizeof(LinkStats) == 120088);

// Finds or creates the segment (key from ftok of LINK_STATS_KEY_PATH and
// `project`, mode 0600) and attaches it for reading and writing. Null on
// failure, with errno as the failing call left it. A named instance of the
// daemon has a project id of its own (rules/instance.h).
LinkStats* link_stats_attach(int project = LINK_STATS_KEY_PROJECT);

// Starts every figure afresh; the ring entries and padding are left alone.
void link_stats_reset(LinkStats* stats);

// Adds one probe outcome: `rtt` in microseconds, -1 for no reply; `short_term`
// is S, the window length, the same for every call of a run. A window longer
// than LINK_WINDOW_MAX covers every probe while there are at most S of them,
// and from then on the newest LINK_WINDOW_MAX samples (window_probes says so).
void link_stats_record(LinkStats* stats, int32_t timestamp, int32_t rtt, uint32_t short_term);
