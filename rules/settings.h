// The settings record and the reader of the key=value settings file, which
// the daemon and tolvinstat both use; with the rules read off the record
// that both apply (the probe's wait, the probes judged). The file is read
// once at start-up; every field is filled, absent keys give 0 or "" (never a
// null pointer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "rules/layout.h"

inline constexpr size_t SETTINGS_LINE_BYTES = 16384;

struct ModuleSettings {
    uint32_t enabled;
    // Per-target settings, indexed by target: 0 first address, 1 second.
    const char* address[2];
    uint32_t interval[2];       // seconds
    uint32_t size[2];           // echo payload bytes
    const char* router_id;
    const char* start_time;     // "hh:mm", daily window start
    const char* stop_time;      // "hh:mm", daily window stop
    uint32_t log_all;
    uint32_t short_term;        // probes in the short-term statistics window
    uint32_t fail_check;
    uint32_t fail_num;
    uint32_t fail_time;         // seconds
    uint32_t fail_log;
    const char* fail_snmp;
    const char* fail_email[3];
    uint32_t lost_check;
    uint32_t lost_num;
    uint32_t lost_time;         // seconds
    uint32_t lost_log;
    const char* lost_snmp;
    const char* lost_email[3];
    const char* lost_sms[12];
    uint32_t lost_restart_iface;
    uint32_t lost_reboot;
    uint32_t reest_check;
    uint32_t reest_log;
    const char* reest_email[3];
    const char* reest_sms[12];
    uint32_t expose_avail;
    // The line both addresses are probed over: a device name (at most 15
    // bytes) and a numeric source address; "" for the routing table's choice.
    const char* iface;
    const char* source_address;
    // The service restarted when the line is lost ("/sbin/service NAME
    // restart"); "" or absent: "ppp".
    const char* restart_service;
    // The line's quality, judged while it works: degraded at or above a loss
    // (percent) or median round-trip time (ms) over the newest degr_num
    // probes, restored at or below the recovery thresholds held recov_time
    // seconds. 0 turns a threshold off; a recovery threshold of 0 means
    // below the degraded one.
    uint32_t degr_check;
    uint32_t degr_num;          // 0: 10
    uint32_t degr_loss;
    uint32_t degr_rtt;
    uint32_t recov_loss;
    uint32_t recov_rtt;
    uint32_t recov_time;        // seconds
    uint32_t degr_log;
    const char* degr_email[3];
    // A program run at every change of the line (state and quality); "" none.
    const char* event_command;
    // Seconds any program the daemon runs may take; 0: 60.
    uint32_t command_timeout;
};

enum SettingKind { SETTING_UINT, SETTING_STRING };

struct SettingKey {
    const char* key;
    SettingKind kind;
    size_t offset;              // of the field in ModuleSettings
};

inline constexpr size_t SETTINGS_KEY_COUNT = 76;

// The service a lost line restarts when MOD_TOLVIN_RSTSERVICE is "".
inline constexpr const char* RESTART_SERVICE_DEFAULT = "ppp";

// A probe waits for its reply as long as the interval of its address
// (MOD_TOLVIN_PINGINT, MOD_TOLVIN_PINGINT2), but never more than 3 s.
inline constexpr uint32_t PROBE_WAIT_MAX_SECONDS = 3;

inline uint32_t probe_wait_seconds(const ModuleSettings& settings, uint32_t target)
{
    const uint32_t interval = settings.interval[target];
    return interval < PROBE_WAIT_MAX_SECONDS ? interval : PROBE_WAIT_MAX_SECONDS;
}

// The probes a line's quality is judged over: MOD_TOLVIN_DEGRNUM within 1 to
// 10000, 10 for 0.
inline constexpr uint32_t QUALITY_PROBES_DEFAULT = 10;
inline constexpr uint32_t QUALITY_PROBES_MAX = 10000;

inline uint32_t quality_probes(const ModuleSettings& settings)
{
    if (settings.degr_num == 0)
        return QUALITY_PROBES_DEFAULT;
    return settings.degr_num < QUALITY_PROBES_MAX ? settings.degr_num : QUALITY_PROBES_MAX;
}

// Every key the daemon knows, with the field it fills.
extern const SettingKey settings_keys[SETTINGS_KEY_COUNT];

// The value of key `k` (an index of settings_keys) in the record: its number
// for a SETTING_UINT key, its text for a SETTING_STRING one.
uint32_t settings_number(const ModuleSettings& settings, size_t k);
const char* settings_text(const ModuleSettings& settings, size_t k);

// The record of a file without keys: every number 0, every text "".
void settings_empty(ModuleSettings& settings);

// Reads SETTINGS_PATH into the record. Never fails.
void read_settings(ModuleSettings& settings);
// The same from another path (tests, tools).
void read_settings_from(const char* path, ModuleSettings& settings);

// The value text of the first line whose key matches (case-insensitive), in
// the reader's line buffer until the next lookup; null when absent.
const char* settings_find(FILE* file, const char* key);
// One line as the reader reads it (a piece of at most SETTINGS_LINE_BYTES - 1
// characters): cut at the first CR and LF and at the last double quote, then
// split at the first '='; the key taken whole, the value after an opening
// quote. False for a line without '=' (which the reader skips).
bool settings_split_line(char* line, const char** key, const char** value);

// The value copied to the heap; "" when absent or the file is null.
const char* settings_get_string(FILE* file, const char* key);
// The value as sscanf "%u" reads it; 0 when absent, unparsable or no file.
uint32_t settings_get_uint(FILE* file, const char* key);
