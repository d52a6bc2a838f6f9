// tolvind: watches a line by echo probes and raises alarms when it fails.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "availability/availability.h"
#include "host/host.h"
#include "core/monitor.h"
#include "probe/probe.h"
#include "settings/settings.h"
#include "stats/link_stats.h"

namespace {

ModuleSettings settings;

[[noreturn]] void usage()
{
    puts("tolvind [-c]\n\nOptions:\n   -c   continue availability monitoring without outgate "
         "(use for tolvind restart)");
    exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    openlog("tolvin", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    host_log(LOG_NOTICE, "started");
    (void)setsid();

    bool continuation = false;
    if (argc > 2)
        usage();
    if (argc == 2) {
        if (strcmp(argv[1], "-c") != 0)
            usage();
        continuation = true;
    }

    read_settings(settings);
    if (!probe_set_line(settings.iface, settings.source_address))
        exit(1);

    if (settings.expose_avail != 0) {
        if (!availability_open())
            exit(1);
        availability_begin(continuation, host_time());
    }

    LinkStats* stats = link_stats_attach();
    if (stats == nullptr) {
        host_log(LOG_ERR, "data allocation problem: %s", strerror(errno));
        exit(1);
    }
    link_stats_reset(stats);

    monitor_begin(settings, stats, host_time());
    for (;;) {
        if (monitor_iterate(settings) < 0)
            exit(1);
    }
}
