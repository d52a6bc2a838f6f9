// Stand-in host for unit tests: the clocks are variables, sleeping advances
// them, readiness waits follow a script, log lines are recorded, the process
// table is a map, and reboot only counts.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <vector>

struct LoggedLine {
    int priority;
    std::string text;
    bool operator==(const LoggedLine&) const = default;
};

// One readiness wait as the script has it: it lasts `lasts_nsec` and reports
// `result` (1 readable, 0 time up, -1 error). A script may let a wait last
// past the time asked for, as a loaded host does. Waits move the monotonic
// clock only.
struct ScriptedWait {
    uint64_t lasts_nsec;
    int result;
};

struct FakeHost {
    time_t now = 0;
    uint64_t monotonic_nsec = 0;
    std::vector<LoggedLine> log;
    std::vector<unsigned> sleeps;
    // Waits beyond the script last the whole time asked for and report 0.
    std::deque<ScriptedWait> waits;
    std::vector<uint64_t> waits_asked_usec;
    // Processes by pid, each alive until the wall clock reaches its end.
    std::map<int32_t, time_t> processes_ending_at;
    unsigned reboots = 0;
};

extern FakeHost fake_host;

void fake_host_reset(time_t now);
