// The one reader of what tolvind publishes: the statistics block, copied out
// of its segment until two copies agree on a whole block, the short-term
// window taken from its ring, the availability file read whole, and how many
// processes hold the segment. Read afresh for each report; nothing is ever
// written.
#pragma once

#include <cstdint>
#include <ctime>

#include "availability/availability.h"
#include "rules/verdict.h"
#include "stats/link_stats.h"
#include "stats/link_stats_reader.h"

enum SnapshotStatus {
    SNAPSHOT_OK,               // the block is copied
    SNAPSHOT_NO_SEGMENT,       // the daemon has not run since boot
    SNAPSHOT_DENIED,           // the segment is the daemon's user's
    SNAPSHOT_NOT_THE_BLOCK,    // something else sits under the daemon's key
    SNAPSHOT_CHANGING,         // no two copies agreed on a whole block
    SNAPSHOT_FAILED,           // another error, in `error`
};

struct Snapshot {
    SnapshotStatus status;
    int error;                       // errno, for SNAPSHOT_FAILED
    time_t now;                      // when it was read
    LinkStats block;                 // the copy, for SNAPSHOT_OK
    RingWindow window;               // its short-term window, from the ring
    // Processes attached to the segment besides this reader: the daemon
    // keeps its attachment for its whole life.
    uint32_t attachments;
    bool has_availability;           // the file held a whole record
    AvailabilityRecord availability;
    // The daemon's verdict on the line: only while the daemon that wrote it
    // holds the block (else the line's state is unknown).
    bool has_verdict;
    Verdict verdict;
};

// Reads the block of the instance whose segment key has the project id
// `key_project` (rules/instance.h), its window `short_term` (S, from the
// line's settings) probes long, and for SNAPSHOT_OK its availability file
// and its verdict file, each unless its path is null. Snapshot is large
// (about 120 KB): keep it out of the stack.
void snapshot_read(Snapshot& snapshot, int key_project, uint32_t short_term, const char* availability_path,
                   const char* verdict_path = nullptr);

// The line's state as a reader names it: "working", "failed", "lost", or
// "unknown" without a verdict.
const char* snapshot_line_state(const Snapshot& snapshot);

// A plain sentence for a status other than SNAPSHOT_OK.
const char* snapshot_problem(const Snapshot& snapshot);

// One copy of the shared block; tests give their own to change the block
// between copies.
using BlockCopy = void (*)(LinkStats* to, const volatile LinkStats* from);
void copy_block(LinkStats* to, const volatile LinkStats* from);

// Copies the block twice and compares, until two copies agree on a block
// that is whole for window length `short_term`, or is no statistics block at
// all (the writer takes no lock, and may be pre-empted half way through a
// record: then the reader pauses before it looks again). Without a writer
// (`writer_attached` false) two agreeing copies are taken as they are: a
// daemon that ended half way through a record left the block so for good.
// False when no attempt of `attempts` gave one.
bool snapshot_block(const volatile LinkStats* shared, LinkStats* out, LinkStats* scratch, uint32_t short_term,
                    bool writer_attached, int attempts, BlockCopy copy = copy_block);

// Four numbers, each followed by a line feed, and nothing else.
bool parse_availability(const char* text, AvailabilityRecord* record);

// --- what every report takes from a block ------------------------------------

// The sample count as far as the ring holds it: a block read from another
// program is data, never trusted as an index.
inline uint32_t samples_kept(const LinkStats& stats)
{
    return stats.sample_count < LINK_SAMPLES ? stats.sample_count : LINK_SAMPLES;
}

// The newest sample, or null when the ring is empty.
inline const LinkSample* newest_sample(const LinkStats& stats)
{
    return samples_kept(stats) > 0 ? &stats.samples[samples_kept(stats) - 1] : nullptr;
}

// Seconds since the newest sample (which must exist); 0 for one stamped
// ahead of `now`.
inline long newest_age(const LinkStats& stats, time_t now)
{
    long age = long(now) - newest_sample(stats)->timestamp;
    return age > 0 ? age : 0;
}

// A 32-bit average as signed: all bits set is "no value" (-1).
inline int64_t average(uint32_t value)
{
    return value == LINK_STATS_NONE ? -1 : int64_t(value);
}
