// The quality of a working line: loss and median round-trip time over its
// newest probes. Degraded at or above either threshold; restored once both
// are at or below their recovery thresholds and have stayed so for the hold
// time. Judged only over probes recorded since the start or since it was
// last judged afresh (the line failed, or came back), and only once there
// are as many as the settings say.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rules/settings.h"

struct QualityFigures {
    uint32_t probes;            // judged; 0 while there are too few
    uint32_t lost;
    int64_t median_usec;        // of the answered ones; -1 none
};

enum QualityChange { QUALITY_SAME, QUALITY_DEGRADED, QUALITY_RESTORED };

// Not degraded, nothing recorded.
void quality_afresh();

// One recorded probe: its round-trip time in microseconds, -1 for no reply.
void quality_record(int32_t rtt_usec);

// The judgement after a cycle of a working line, at `now_nsec` (monotonic).
QualityChange quality_judge(const ModuleSettings& settings, uint64_t now_nsec);

bool quality_degraded();
// The figures of the latest judgement.
const QualityFigures& quality_figures();

