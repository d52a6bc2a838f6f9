// The availability ledger: how long the line has been monitored and how long
// it was available, kept across restarts in a small locked text file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "rules/layout.h"

// The file's four numbers, in this order, one a line.
struct AvailabilityRecord {
    long start_time;            // when monitoring began (seconds since the epoch)
    unsigned long elapsed;      // seconds from start_time to the last write
    unsigned long monitored;    // seconds monitored, summed over the runs
    unsigned long available;    // seconds of that with the line available
};

// This run's bookkeeping beside the record.
struct AvailabilityRun {
    unsigned long base_monitored;   // monitored as read at start
    unsigned long avail_total;      // available seconds of all closed periods
    long avail_since;               // start of the open period, 0 none
    long run_ref;                   // monitored grows by the time since this
};

// Opens and locks the file (creating its directory and the file when
// missing) and reads the record. False, with the reason logged, when the
// daemon cannot use it. `directory` and `path` default to the fixed ones;
// `parent`, when given, is made before `directory` (a named instance's).
bool availability_open(const char* directory = AVAILABILITY_DIR,
                       const char* path = AVAILABILITY_PATH, const char* parent = nullptr);

// Sets up this run at `now`; `continuation` when started with -c.
void availability_begin(bool continuation, time_t now);

// After an active probe cycle: accounts the time up to `now` with the
// streak of failed cycles, then rewrites the file.
void availability_update(uint32_t failure_streak, time_t now);

const AvailabilityRecord& availability_record();

// The accounting alone, for a record and run held elsewhere.
void availability_setup(AvailabilityRecord& record, AvailabilityRun& run, bool continuation,
                        time_t now);
void availability_account(AvailabilityRecord& record, AvailabilityRun& run,
                          uint32_t failure_streak, time_t now);

// Rewrites the file in place: the new numbers over the old ones in one
// write, then the file cut to their length, so that it holds four numbers at
// every moment. Failures are logged; the daemon goes on.
void availability_write(FILE* file, const char* path, const AvailabilityRecord& record);
