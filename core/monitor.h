// The daemon's loop: the monitoring window, the probe cycle with fail-over to
// the second address and its statistics; after each cycle it hands the line
// state machine (core/line_state.h) what it knows of the line.
#pragma once

#include <cstdint>
#include <ctime>

#include "rules/window.h"
#include "rules/settings.h"
#include "stats/link_stats.h"

struct MonitorState {
    uint32_t current_target;     // 0: first address, 1: second address
    uint32_t last_target;        // the address the cycle probed last
    uint32_t failure_streak;     // consecutive failed probe cycles
    time_t last_success_time;    // of the last cycle whose first probe replied; 0 none
    time_t monitor_start_time;   // when the loop began
    MonitorWindow window;
    LinkStats* stats;            // the shared statistics block, attached at start
};

const MonitorState& monitor_state();

// Parses the window bounds and starts the loop's state at `now`; every probe
// is recorded in `stats`.
void monitor_begin(const ModuleSettings& settings, LinkStats* stats, time_t now);

// One probe cycle at `now` (window open). 0, or -1 when the first probe was
// fatal and the daemon must end.
int monitor_cycle(const ModuleSettings& settings, time_t now);

// One iteration of the loop: window, cycle, bookkeeping, sleep.
// 0, or -1 when the daemon must end.
int monitor_iterate(const ModuleSettings& settings);
