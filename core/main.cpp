// tolvind: watches a line by echo probes and raises alarms when it fails.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "availability/availability.h"
#include "host/host.h"
#include "alarm/runner.h"
#include "rules/instance.h"
#include "core/line_state.h"
#include "core/monitor.h"
#include "probe/probe.h"
#include "rules/settings.h"
#include "stats/link_stats.h"

namespace {

ModuleSettings settings;
Instance instance;

[[noreturn]] void usage()
{
    puts("tolvind [-c]\n\nOptions:\n   -c   continue availability monitoring without outgate "
         "(use for tolvind restart)");
    exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    const char* instance_name = getenv(INSTANCE_VARIABLE);
    const bool instance_valid = instance_from_name(instance_name, instance);
    openlog(instance.log_ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
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

    if (!instance_valid) {
        host_log(LOG_ERR, "can not use instance name \"%.64s\": 1 to 15 of a-z, 0-9, _ and -, "
                 "the first a letter or a digit", instance_name);
        exit(1);
    }
    char other[INSTANCE_NAME_MAX + 1];
    if (instance_key_clash(instance, SETTINGS_DIR, other, sizeof other)) {
        host_log(LOG_ERR, "can not use instance name \"%s\": its statistics segment would be that of "
                 "instance \"%s\"; rename one of them", instance.name, other);
        exit(1);
    }

    read_settings_from(instance.settings_path, settings);
    run_program_limit(settings.command_timeout);
    if (!probe_set_line(settings.iface, settings.source_address))
        exit(1);

    if (settings.expose_avail != 0) {
        if (!availability_open(instance.availability_dir, instance.availability_path,
                               instance.name[0] != '\0' ? instance.availability_parent : nullptr))
            exit(1);
        availability_begin(continuation, host_time());
    }

    LinkStats* stats = link_stats_attach(instance.key_project);
    if (stats == nullptr) {
        host_log(LOG_ERR, "data allocation problem: %s", strerror(errno));
        exit(1);
    }
    link_stats_reset(stats);

    line_state_publish(instance.verdict_path, instance.name);
    monitor_begin(settings, stats, host_time());
    for (;;) {
        if (monitor_iterate(settings) < 0)
            exit(1);
    }
}
