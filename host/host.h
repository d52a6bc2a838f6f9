// The daemon's only contact with the host's clocks, system log, sleep,
// readiness wait, process table and reboot. The daemon links host/host.cpp;
// unit tests link the stand-in beside it (fake_host.h), so that the logic runs against controlled clocks,
// scripted waits and a recorded log.
#pragma once

#include <cstdint>
#include <ctime>

// Wall-clock seconds since the epoch, as time() gives them.
time_t host_time();

// Nanoseconds of a clock that only goes forward (CLOCK_MONOTONIC): for
// deadlines and round-trip times, never for dates.
uint64_t host_monotonic_nsec();

// Waits until `fd` is readable or `wait_usec` microseconds have passed
// (0: a poll). 1 readable, 0 time up, -1 error (an interrupted wait too).
// Never reads back a time from the call: the caller keeps its own deadline.
int host_wait_readable(int fd, uint64_t wait_usec);

// Sleeps for whole seconds.
void host_sleep(unsigned seconds);

// One line to the system log at the given priority.
void host_log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Whether `pid` (> 0) names a process that is running: it exists and has not
// ended (a zombie waiting for its parent has ended).
bool host_process_alive(int32_t pid);

// sync() then reboot(RB_AUTOBOOT). Returns only when the reboot was refused.
void host_reboot();
