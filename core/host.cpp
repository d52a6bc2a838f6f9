#include "core/host.h"

#include <cstdarg>
#include <sys/reboot.h>
#include <syslog.h>
#include <unistd.h>

time_t host_time()
{
    return time(nullptr);
}

void host_sleep(unsigned seconds)
{
    sleep(seconds);
}

void host_log(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

void host_reboot()
{
    sync();
    reboot(RB_AUTOBOOT);
}
