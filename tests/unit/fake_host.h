// Stand-in host for unit tests: the clock is a variable, sleeping advances it,
// log lines are recorded, and reboot only counts.
#pragma once

#include <ctime>
#include <string>
#include <vector>

struct LoggedLine {
    int priority;
    std::string text;
    bool operator==(const LoggedLine&) const = default;
};

struct FakeHost {
    time_t now = 0;
    std::vector<LoggedLine> log;
    std::vector<unsigned> sleeps;
    unsigned reboots = 0;
};

extern FakeHost fake_host;

void fake_host_reset(time_t now);
