#include "rules/window.h"

#include <cstdio>
#include <syslog.h>

#include "host/host.h"

int32_t parse_time_of_day(const char* text)
{
    unsigned hours = 0;
    unsigned minutes = 0;
    if (sscanf(text, "%u:%u", &hours, &minutes) == 2 && hours < 24 && minutes < 60)
        return int32_t(hours * 60 + minutes);
    if (text[0] != '\0')
        host_log(LOG_NOTICE, "invalid time %s", text);
    return -1;
}

time_t next_occurrence(int32_t minute, time_t now)
{
    tm fields;
    localtime_r(&now, &fields);
    fields.tm_sec = 0;
    fields.tm_hour = 0;
    fields.tm_min = minute;
    time_t at = mktime(&fields);
    if (now > at)
        at += 86400;
    return at;
}

void window_init(MonitorWindow& window, int32_t start_minute, int32_t stop_minute, time_t now)
{
    window.start_minute = start_minute;
    window.stop_minute = stop_minute;
    if (start_minute == -1 && stop_minute == -1) {
        window.state = WINDOW_ALWAYS;
        window.deadline = -1;
        return;
    }
    time_t start = next_occurrence(start_minute, now);
    time_t stop = next_occurrence(stop_minute, now);
    if (start > stop) {
        window.state = WINDOW_ACTIVE;
        window.deadline = stop;
    } else {
        window.state = WINDOW_WAITING;
        window.deadline = start;
    }
}

bool window_check(MonitorWindow& window, time_t now)
{
    switch (window.state) {
    case WINDOW_ALWAYS:
        return true;
    case WINDOW_ACTIVE:
        if (window.deadline < now) {
            window.deadline = next_occurrence(window.start_minute, now);
            window.state = WINDOW_WAITING;
            return false;
        }
        return true;
    case WINDOW_WAITING:
        if (window.deadline < now) {
            window.deadline = next_occurrence(window.stop_minute, now);
            window.state = WINDOW_ACTIVE;
            return true;
        }
        return false;
    }
    return false;
}
