#include "host/fake_host.h"

#include <cstdarg>
#include <cstdio>

#include "host/host.h"

FakeHost fake_host;

void fake_host_reset(time_t now)
{
    fake_host = FakeHost{};
    fake_host.now = now;
    fake_host.monotonic_nsec = 1000000000000u;    // an arbitrary, large start
}

time_t host_time()
{
    return fake_host.now;
}

uint64_t host_monotonic_nsec()
{
    return fake_host.monotonic_nsec;
}

int host_wait_readable(int, uint64_t wait_usec)
{
    fake_host.waits_asked_usec.push_back(wait_usec);
    ScriptedWait wait = {wait_usec * 1000u, 0};
    if (!fake_host.waits.empty()) {
        wait = fake_host.waits.front();
        fake_host.waits.pop_front();
    }
    fake_host.monotonic_nsec += wait.lasts_nsec;
    return wait.result;
}

void host_sleep(unsigned seconds)
{
    fake_host.sleeps.push_back(seconds);
    fake_host.now += seconds;
    fake_host.monotonic_nsec += uint64_t(seconds) * 1000000000u;
}

void host_log(int priority, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fake_host.log.push_back({priority, text});
}

bool host_process_alive(int32_t pid)
{
    auto process = fake_host.processes_ending_at.find(pid);
    return process != fake_host.processes_ending_at.end() && fake_host.now < process->second;
}

void host_reboot()
{
    ++fake_host.reboots;
}
