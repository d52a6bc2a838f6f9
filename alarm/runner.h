// Runs one of the router's tools as a child process and waits for it, for a
// bounded time.
#pragma once

#include <cstdint>

inline constexpr int RUN_PROGRAM_MAX_ARGS = 62;
// What a program may take unless the settings say else (MOD_TOLVIN_CMDTIMEOUT).
inline constexpr uint32_t RUN_PROGRAM_SECONDS_DEFAULT = 60;
// Between the request to end (SIGTERM) and the order (SIGKILL).
inline constexpr uint32_t RUN_PROGRAM_GRACE_SECONDS = 5;

// The seconds any program may take from now on; 0 for the default.
void run_program_limit(uint32_t seconds);

// Runs `path` (looked up along PATH when it has no slash) with the given
// arguments, ended by a null pointer; each is passed as one argument, with no
// shell. The child's standard descriptors are on /dev/null, nothing else is
// left open, and it leads a process group of its own. Returns the raw wait
// status (exit code in bits 8 to 15), or -1 when no child could be started.
// Arguments past the 62nd are dropped. A program still running at the time
// limit is logged once (LOG_WARNING) and its whole process group is sent
// SIGTERM, and SIGKILL 5 s later; the status is then that of its end by the
// signal.
int32_t run_program(const char* path, ...);

// The same, with `environment` (null-ended "NAME=value" texts) added to the
// program's environment.
int32_t run_program_with(const char* const* environment, const char* path, ...);
