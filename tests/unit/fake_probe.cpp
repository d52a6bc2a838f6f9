#include "tests/unit/fake_probe.h"

#include "host/fake_host.h"

FakeProbe fake_probe;

void fake_probe_reset()
{
    fake_probe = FakeProbe{};
}

void fake_probe_push(ProbeResult result, uint32_t rtt_usec, unsigned duration_seconds)
{
    fake_probe.script.push_back({result, rtt_usec, duration_seconds});
}

ProbeResult echo_probe(const char* address, uint32_t payload_size, uint32_t timeout_seconds,
                       uint32_t* rtt_out)
{
    fake_probe.calls.push_back({address, payload_size, timeout_seconds});
    if (fake_probe.script.empty())
        return PROBE_NO_REPLY;
    ScriptedOutcome outcome = fake_probe.script.front();
    fake_probe.script.pop_front();
    fake_host.now += outcome.duration_seconds;
    if (outcome.result == PROBE_REPLY)
        *rtt_out = outcome.rtt_usec;
    return outcome.result;
}

void probe_session_close() {}
