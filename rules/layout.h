// Where tolvind lives on the router: every fixed path both programs use,
// said once. A named instance's files are derived from these
// (rules/instance.h).
#pragma once

// The daemon; its path also keys the statistics segment (ftok).
inline constexpr const char* DAEMON_PATH = "/opt/tolvin/bin/tolvind";
// The settings of the default instance; settings.NAME beside it for line NAME.
inline constexpr const char* SETTINGS_DIR = "/opt/tolvin/etc";
inline constexpr const char* SETTINGS_PATH = "/opt/tolvin/etc/settings";
// The availability counters; NAME/availability.dat beneath for line NAME.
inline constexpr const char* AVAILABILITY_DIR = "/var/data/tolvin";
inline constexpr const char* AVAILABILITY_PATH = "/var/data/tolvin/availability.dat";
// The daemon's verdict on its line; tolvind-NAME.state for line NAME.
inline constexpr const char* RUN_DIR = "/var/run";
inline constexpr const char* VERDICT_PATH = "/var/run/tolvind.state";
// The router's own: the reboot log, and the firmware updater's pid file.
inline constexpr const char* REBOOT_LOG_PATH = "/var/data/system/reboot";
inline constexpr const char* FIRMWARE_UPDATE_PID_PATH = "/var/run/fwupdate.pid";
