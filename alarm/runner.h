// Runs one of the router's tools as a child process and waits for it.
#pragma once

#include <cstdint>

inline constexpr int RUN_PROGRAM_MAX_ARGS = 62;

// Runs `path` (looked up along PATH when it has no slash) with the given
// arguments, ended by a null pointer; each is passed as one argument, with no
// shell. The child's standard descriptors are on /dev/null and nothing else
// is left open. Returns the raw wait status (exit code in bits 8 to 15), or
// -1 when no child could be started. Arguments past the 62nd are dropped.
int32_t run_program(const char* path, ...);
