// The daemon's only contact with the host's clock, system log, sleep and
// reboot. The daemon links core/host.cpp; unit tests link a stand-in so that
// the logic runs against a controlled clock and a recorded log.
#pragma once

#include <ctime>

// Wall-clock seconds since the epoch, as time() gives them.
time_t host_time();

// Sleeps for whole seconds.
void host_sleep(unsigned seconds);

// One line to the system log at the given priority.
void host_log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// sync() then reboot(RB_AUTOBOOT). Returns only when the reboot was refused.
void host_reboot();
