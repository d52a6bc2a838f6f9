// A scripted echo probe: each call takes the next outcome and records what it
// was asked.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "probe/probe.h"

struct ProbeCall {
    std::string address;
    uint32_t payload_size;
    uint32_t timeout_seconds;
    bool operator==(const ProbeCall&) const = default;
};

struct ScriptedOutcome {
    ProbeResult result;
    uint32_t rtt_usec;
    unsigned duration_seconds;   // the fake clock advances by this much
};

struct FakeProbe {
    std::deque<ScriptedOutcome> script;
    std::vector<ProbeCall> calls;
};

extern FakeProbe fake_probe;

void fake_probe_reset();
void fake_probe_push(ProbeResult result, uint32_t rtt_usec = 0, unsigned duration_seconds = 0);
