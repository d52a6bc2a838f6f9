// The output formats of tolvinstat, each in a file of its own, all from what
// the snapshot reader copied: the table, JSON, CSV of the samples
// (table.cpp, json.cpp, samples.cpp) and Prometheus's text exposition format
// (prometheus.cpp). Pure formatting.
#pragma once

#include <cstddef>
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

// One instance of the daemon as the exposition shows it.
struct ReportLine {
    const char* name;                  // "" for the default instance
    const Snapshot* snapshot;
    const ModuleSettings* settings;
};

// Every series of the exposition (README, tolvinstat(1)), each family once
// with a sample per instance: a named instance's carry line="NAME", the
// default's no line label. The snapshot's figures where it holds the block,
// the settings' always. A figure with no value is left out.
void report_prometheus(FILE* out, const ReportLine* lines, size_t count);

// The default instance alone.
inline void report_prometheus(FILE* out, const Snapshot& snapshot, const ModuleSettings& settings)
{
    const ReportLine line = {"", &snapshot, &settings};
    report_prometheus(out, &line, 1);
}
