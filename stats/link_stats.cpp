#include "stats/link_stats.h"

#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

int32_t absolute_difference(int32_t a, int32_t b)
{
    uint32_t difference = uint32_t(a) - uint32_t(b);
    return int32_t(int32_t(difference) < 0 ? 0u - difference : difference);
}

// The newest earlier success still in the ring, before the entry at `index`.
const LinkSample* previous_success(const LinkStats* stats, uint32_t index)
{
    while (index-- > 0) {
        if (stats->samples[index].rtt != LINK_RTT_NONE)
            return &stats->samples[index];
    }
    return nullptr;
}

int32_t scan_max(const LinkSample* first, const LinkSample* end)
{
    int32_t max = LINK_RTT_NONE;
    for (const LinkSample* s = first; s != end; ++s) {
        if (s->rtt > max)
            max = s->rtt;
    }
    return max;
}

int32_t scan_min(const LinkSample* first, const LinkSample* end)
{
    int32_t min = LINK_RTT_CEILING;
    for (const LinkSample* s = first; s != end; ++s) {
        if (s->rtt != LINK_RTT_NONE && s->rtt < min)
            min = s->rtt;
    }
    return min == LINK_RTT_CEILING ? LINK_RTT_NONE : min;
}

void clear_window_figures(LinkStats* stats)
{
    stats->window_rtt_avg = LINK_STATS_NONE;
    stats->window_jitter_avg = LINK_STATS_NONE;
    stats->window_rtt_min = LINK_RTT_NONE;
    stats->window_rtt_max = LINK_RTT_NONE;
}

// A window longer than the ring can slide over has just outgrown the copy
// phase: from now on it is the newest LINK_WINDOW_MAX samples, counted afresh.
void rebuild_window(LinkStats* stats)
{
    const LinkSample* end = stats->samples + stats->sample_count;
    const LinkSample* first = end - LINK_WINDOW_MAX;
    stats->window_probes = LINK_WINDOW_MAX;
    stats->window_replies = 0;
    stats->window_rtt_sum = 0;
    stats->window_jitter_sum = 0;
    for (const LinkSample* s = first; s != end; ++s) {
        if (s->rtt == LINK_RTT_NONE)
            continue;
        ++stats->window_replies;
        stats->window_rtt_sum += uint32_t(s->rtt);
        if (s->jitter != LINK_RTT_NONE)
            stats->window_jitter_sum += uint32_t(s->jitter);
    }
    if (stats->window_replies == 0) {
        clear_window_figures(stats);
        return;
    }
    stats->window_rtt_avg = stats->window_rtt_sum / stats->window_replies;
    stats->window_jitter_avg = stats->window_jitter_sum / stats->window_replies;
    stats->window_rtt_min = scan_min(first, end);
    stats->window_rtt_max = scan_max(first, end);
}

} // namespace

LinkStats* link_stats_attach(int project)
{
    key_t key = ftok(LINK_STATS_KEY_PATH, project);
    if (key == -1)
        return nullptr;
    int id = shmget(key, sizeof(LinkStats), IPC_CREAT | 0600);
    if (id == -1)
        return nullptr;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
        return nullptr;
    return static_cast<LinkStats*>(address);
}

void link_stats_reset(LinkStats* stats)
{
    stats->probes = 0;
    stats->replies = 0;
    stats->rtt_min = LINK_RTT_NONE;
    stats->rtt_max = LINK_RTT_NONE;
    stats->rtt_sum = 0;
    stats->rtt_avg = LINK_STATS_NONE;
    stats->jitter_sum = 0;
    stats->jitter_avg = LINK_STATS_NONE;
    stats->window_probes = 0;
    stats->window_replies = 0;
    stats->window_rtt_min = LINK_RTT_NONE;
    stats->window_rtt_max = LINK_RTT_NONE;
    stats->window_rtt_sum = 0;
    stats->window_rtt_avg = LINK_STATS_NONE;
    stats->window_jitter_sum = 0;
    stats->window_jitter_avg = LINK_STATS_NONE;
    stats->tag = LINK_STATS_TAG;
    stats->sample_count = 0;
}

void link_stats_record(LinkStats* stats, int32_t timestamp, int32_t rtt, uint32_t short_term)
{
    // The ring is never circular: index 0 is always the oldest sample kept, so
    // a full ring moves down by one entry.
    LinkSample* entry;
    if (stats->sample_count < LINK_SAMPLES) {
        entry = &stats->samples[stats->sample_count++];
    } else {
        memmove(&stats->samples[0], &stats->samples[1], (LINK_SAMPLES - 1) * sizeof(LinkSample));
        entry = &stats->samples[LINK_SAMPLES - 1];
    }
    entry->timestamp = timestamp;
    entry->rtt = rtt;
    entry->jitter = LINK_RTT_NONE;
    const bool success = rtt != LINK_RTT_NONE;

    if (success && stats->replies != 0) {
        const LinkSample* previous = previous_success(stats, stats->sample_count - 1);
        if (previous != nullptr)
            entry->jitter = absolute_difference(rtt, previous->rtt);
    }

    ++stats->probes;

    // A window longer than the ring can slide over covers every sample while
    // there are at most S of them, then the newest LINK_WINDOW_MAX.
    uint32_t window = short_term;
    bool outgrown = false;
    if (window > LINK_WINDOW_MAX && stats->probes > window) {
        outgrown = stats->probes - 1 == window;   // the first record past S
        window = LINK_WINDOW_MAX;
    }

    if (stats->window_probes < window)
        ++stats->window_probes;

    if (success) {
        stats->rtt_sum += uint64_t(int64_t(rtt));
        ++stats->replies;
        stats->rtt_avg = uint32_t(stats->rtt_sum / stats->replies);
        if (stats->replies > 1) {
            if (entry->jitter != LINK_RTT_NONE)
                stats->jitter_sum += uint64_t(int64_t(entry->jitter));
            stats->jitter_avg = uint32_t(stats->jitter_sum / (stats->replies - 1));
        }
        if (rtt > stats->rtt_max)
            stats->rtt_max = rtt;
        if (stats->rtt_min == LINK_RTT_NONE || rtt < stats->rtt_min)
            stats->rtt_min = rtt;
    }

    if (stats->probes <= window) {
        // Copy phase: the window still holds every sample since the start.
        stats->window_replies = stats->replies;
        stats->window_rtt_sum = uint32_t(stats->rtt_sum);
        stats->window_rtt_avg = stats->rtt_avg;
        stats->window_rtt_min = stats->rtt_min;
        stats->window_rtt_max = stats->rtt_max;
        stats->window_jitter_sum = uint32_t(stats->jitter_sum);
        stats->window_jitter_avg = stats->jitter_avg;
        return;
    }
    if (outgrown) {
        rebuild_window(stats);
        return;
    }

    // Sliding phase: the window is the newest `window` entries; the leaving
    // sample is the one just before them.
    const LinkSample* window_end = stats->samples + stats->sample_count;
    const LinkSample* window_first = window_end - window;
    const LinkSample leaving = *(window_first - 1);

    if (success) {
        if (stats->window_replies < window)
            ++stats->window_replies;
        stats->window_rtt_sum += uint32_t(rtt);
        if (entry->jitter != LINK_RTT_NONE)
            stats->window_jitter_sum += uint32_t(entry->jitter);
    } else if (stats->window_replies > 0) {
        --stats->window_replies;
    }
    if (leaving.rtt > 0)
        stats->window_rtt_sum -= uint32_t(leaving.rtt);
    // Taken back whenever it was added, also after a reply measured as 0 us,
    // so the sum never keeps the jitter of a sample that has left.
    if (leaving.jitter > 0)
        stats->window_jitter_sum -= uint32_t(leaving.jitter);

    if (stats->window_replies == 0) {
        clear_window_figures(stats);
        return;
    }
    stats->window_rtt_avg = stats->window_rtt_sum / stats->window_replies;
    stats->window_jitter_avg = stats->window_jitter_sum / stats->window_replies;

    const int32_t leaving_rtt = leaving.rtt;
    if (!success) {
        if (leaving_rtt == LINK_RTT_NONE)
            return;
        if (leaving_rtt == stats->window_rtt_max)
            stats->window_rtt_max = scan_max(window_first, window_end);
        if (leaving_rtt == stats->window_rtt_min)
            stats->window_rtt_min = scan_min(window_first, window_end);
        return;
    }
    if (rtt > stats->window_rtt_max)
        stats->window_rtt_max = rtt;
    else if (leaving_rtt != LINK_RTT_NONE && leaving_rtt == stats->window_rtt_max)
        stats->window_rtt_max = scan_max(window_first, window_end);
    if (stats->window_rtt_min == LINK_RTT_NONE || rtt < stats->window_rtt_min)
        stats->window_rtt_min = rtt;
    else if (leaving_rtt != LINK_RTT_NONE && leaving_rtt == stats->window_rtt_min)
        stats->window_rtt_min = scan_min(window_first, window_end);
}
