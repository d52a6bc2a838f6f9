// What tolvinstat shows: the statistics block and the availability record
// turned into a table, JSON, Prometheus text or CSV. Pure formatting; the
// reading lives in tolvinstat.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "availability/availability.h"
#include "stats/link_stats.h"

inline constexpr int REPORT_JSON_VERSION = 1;

// The availability record when the file could be read, else null.
void report_table(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                  time_t now);
void report_json(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                 time_t now);
void report_prometheus(FILE* out, const LinkStats& stats, const AvailabilityRecord* availability,
                       time_t now);
// The newest `count` ring entries, oldest first: time,rtt_us,jitter_us.
void report_samples(FILE* out, const LinkStats& stats, uint32_t count);

// Four numbers, each followed by a line feed, and nothing else.
bool parse_availability(const char* text, AvailabilityRecord* record);

// One copy of the shared block; tests give their own to change the block
// between copies.
using BlockCopy = void (*)(LinkStats* to, const volatile LinkStats* from);
void copy_block(LinkStats* to, const volatile LinkStats* from);

// Copies the block twice and compares, until two copies agree (the writer
// takes no lock). False when `attempts` pairs all differed.
bool snapshot_block(const volatile LinkStats* shared, LinkStats* out, LinkStats* scratch,
                    int attempts, BlockCopy copy = copy_block);
