// The daily monitoring window: probing only between a start and a stop time
// of day, or always when neither is set.
#pragma once

#include <cstdint>
#include <ctime>

enum WindowState { WINDOW_ALWAYS, WINDOW_ACTIVE, WINDOW_WAITING };

struct MonitorWindow {
    WindowState state;
    time_t deadline;            // when the state is next due to change; -1 never
    int32_t start_minute;       // minutes after midnight, -1 when not set
    int32_t stop_minute;
};

// "hh:mm" as sscanf "%u:%u" reads it, to minutes after midnight; -1 when the
// text is empty or not a valid time (the latter logged).
int32_t parse_time_of_day(const char* text);

// Today's local time at `minute` after midnight (mktime normalises: -1 is
// 23:59 the day before), one fixed day later when `now` is already past it.
time_t next_occurrence(int32_t minute, time_t now);

void window_init(MonitorWindow& window, int32_t start_minute, int32_t stop_minute, time_t now);

// Looks at the window at `now`, moving it on when its deadline has passed.
// True: probe in this iteration. False: sleep a second and look again.
bool window_check(MonitorWindow& window, time_t now);
