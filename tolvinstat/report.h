// The output formats of tolvinstat, each in a file of its own, all from what
// the snapshot reader copied: the table, JSON, CSV of the samples
// (table.cpp, json.cpp, samples.cpp) and Prometheus's text exposition format
// (prometheus.cpp). Pure formatting.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "settings/settings.h"
#include "tolvinstat/snapshot.h"

inline constexpr int REPORT_JSON_VERSION = 1;

// The availability record when the file could be read, else null; the
// instance's name, "" for the default instance (which they do not name).
void report_table(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                  time_t now, const char* instance = "");
void report_json(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                 time_t now, const char* instance = "");
// The newest `count` ring entries, oldest first: time,rtt_us,jitter_us.
void report_samples(FILE* out, const LinkStats& stats, uint32_t count);

// Every series of the exposition (README, tolvinstat(1)); the snapshot's
// figures where it holds the block, the settings' always. A figure with no
// value is left out.
void report_prometheus(FILE* out, const Snapshot& snapshot, const ModuleSettings& settings);
