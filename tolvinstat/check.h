// tolvinstat --check: a settings file as tolvind reads it (the daemon's own
// reader, rules/settings.h), every key with the value the daemon will
// use, and what in the file the daemon reads other than an operator may mean:
// lines it skips, keys it does not know, keys given twice, numbers read
// other than written, times it rejects, addresses that do not resolve, a
// line it cannot bind.
#pragma once

#include <cstdio>

#include "rules/instance.h"

// Exit statuses of the check.
inline constexpr int CHECK_CLEAN = 0, CHECK_FINDINGS = 1, CHECK_UNREADABLE = 2;

// Checks `path` (the settings file of `instance`, or another one) and
// writes the report to `out`, as text or as one JSON object; with `log`
// each finding goes to the system log too. Returns an exit status above.
int check_settings(const char* path, const Instance& instance, FILE* out, bool json, bool log);

// How many single-character edits turn `a` into `b`, letter case ignored
// (capped at 9).
unsigned edit_distance(const char* a, const char* b);
