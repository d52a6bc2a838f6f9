#include "tests/unit/fake_host.h"

#include <cstdarg>
#include <cstdio>

#include "core/host.h"

FakeHost fake_host;

void fake_host_reset(time_t now)
{
    fake_host = FakeHost{};
    fake_host.now = now;
}

time_t host_time()
{
    return fake_host.now;
}

void host_sleep(unsigned seconds)
{
    fake_host.sleeps.push_back(seconds);
    fake_host.now += seconds;
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

void host_reboot()
{
    ++fake_host.reboots;
}
