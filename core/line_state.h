// The line state machine: after every probe cycle, from what the loop tells
// it (LineFacts), it decides whether the line has failed, is lost or has come
// back, and whether a working line's quality is degraded or restored; it
// carries out each alarm's actions, tells the event program and publishes
// the verdict.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "alarm/notify.h"
#include "rules/layout.h"
#include "rules/settings.h"

enum LineState { LINE_OK = 0, LINE_FAILED = 1, LINE_LOST = 2 };

inline constexpr size_t ALARM_TEXT_BYTES = 64;

inline constexpr const char* FIRMWARE_UPDATE_CHECK = "ps|grep -q `cat /var/run/fwupdate.pid`";
inline constexpr unsigned FIRMWARE_UPDATE_POLL_SECONDS = 10;

// The names of the line's changes, the first argument of the event program.
// Indexed by EventKind, then the quality's two.
inline constexpr const char* EVENT_PROGRAM_NAMES[5] = {"failed", "lost", "re-established", "degraded",
                                                        "restored"};
inline constexpr int EVENT_PROGRAM_DEGRADED = 3, EVENT_PROGRAM_RESTORED = 4;
inline constexpr const char* DEGRADED_NAME = "line degraded";
inline constexpr const char* RESTORED_NAME = "line quality restored";
// A quality alarm's description: its figures.
inline constexpr size_t QUALITY_TEXT_BYTES = 128;

LineState line_state();
// Working, its quality not degraded; the verdict published when there is
// where (below).
void line_state_reset();

// Where the line's verdict is published (rules/verdict.h) and the instance's
// name ("" the default) told to the event program; none until called.
void line_state_publish(const char* verdict_path, const char* instance_name);

// What the loop knows of the line after a cycle, and the machine decides on.
struct LineFacts {
    uint32_t failure_streak;     // consecutive failed cycles
    time_t last_success_time;    // of the last cycle whose first probe replied; 0 none
    time_t monitor_start_time;   // when the loop began
    const char* target;          // the address the cycle probed last
};

// After a cycle whose first probe replied (streak 0, last success just set).
void on_probe_success(const ModuleSettings& settings, const LineFacts& facts);
// After a cycle whose first probe did not reply, whatever the fail-over did.
void on_probe_failure(const ModuleSettings& settings, const LineFacts& facts);
// A working line's quality (core/quality.h) is judged after every cycle;
// each change of the line, its state or its quality, is told to the event
// program (MOD_TOLVIN_EVENTCMD) and published.

// "no successful ping from module start" for time 0, else the local time of
// the first (re-established) or last success.
void describe_last_success(char (&text)[ALARM_TEXT_BYTES], EventKind kind, time_t time);

// Waits for a running firmware update, appends to the reboot log, syncs and
// reboots. Returns when the reboot was refused. The update counts as running
// while the router's check command line says so and the pid file names a
// live process.
void reboot_for_line_lost();

// The process id a pid file's text names: decimal digits between optional
// white space, 1 to 2^31 - 1. 0 for anything else.
int32_t parse_pid_text(const char* text);

// Where the reboot log line goes and the updater's pid file is read
// (REBOOT_LOG_PATH and FIRMWARE_UPDATE_PID_PATH unless a test says else).
void line_state_use_reboot_log(const char* path);
void line_state_use_firmware_pid_file(const char* path);
