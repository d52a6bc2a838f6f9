#include "rules/settings.h"

#include <cstring>
#include <strings.h>

#define UINT_KEY(name, field) {name, SETTING_UINT, offsetof(ModuleSettings, field)}
#define STR_KEY(name, field) {name, SETTING_STRING, offsetof(ModuleSettings, field)}

const SettingKey settings_keys[SETTINGS_KEY_COUNT] = {
    UINT_KEY("MOD_TOLVIN_ENABLED", enabled),
    STR_KEY("MOD_TOLVIN_IPADDR", address[0]),
    STR_KEY("MOD_TOLVIN_IPADDR2", address[1]),
    UINT_KEY("MOD_TOLVIN_PINGINT", interval[0]),
    UINT_KEY("MOD_TOLVIN_PINGINT2", interval[1]),
    UINT_KEY("MOD_TOLVIN_PINGSIZE", size[0]),
    UINT_KEY("MOD_TOLVIN_PINGSIZE2", size[1]),
    STR_KEY("MOD_TOLVIN_ROUTERID", router_id),
    STR_KEY("MOD_TOLVIN_STARTTIME", start_time),
    STR_KEY("MOD_TOLVIN_STOPTIME", stop_time),
    UINT_KEY("MOD_TOLVIN_LOGALL", log_all),
    UINT_KEY("MOD_TOLVIN_SHORTTERM", short_term),
    UINT_KEY("MOD_TOLVIN_FAILCHECK", fail_check),
    UINT_KEY("MOD_TOLVIN_FAILNUM", fail_num),
    UINT_KEY("MOD_TOLVIN_FAILTIME", fail_time),
    UINT_KEY("MOD_TOLVIN_FAILLOG", fail_log),
    STR_KEY("MOD_TOLVIN_FAILSNMP", fail_snmp),
    STR_KEY("MOD_TOLVIN_FAILEMAIL1", fail_email[0]),
    STR_KEY("MOD_TOLVIN_FAILEMAIL2", fail_email[1]),
    STR_KEY("MOD_TOLVIN_FAILEMAIL3", fail_email[2]),
    UINT_KEY("MOD_TOLVIN_LOSTCHECK", lost_check),
    UINT_KEY("MOD_TOLVIN_LOSTNUM", lost_num),
    UINT_KEY("MOD_TOLVIN_LOSTTIME", lost_time),
    UINT_KEY("MOD_TOLVIN_LOSTLOG", lost_log),
    STR_KEY("MOD_TOLVIN_LOSTSNMP", lost_snmp),
    STR_KEY("MOD_TOLVIN_LOSTEMAIL1", lost_email[0]),
    STR_KEY("MOD_TOLVIN_LOSTEMAIL2", lost_email[1]),
    STR_KEY("MOD_TOLVIN_LOSTEMAIL3", lost_email[2]),
    STR_KEY("MOD_TOLVIN_LOSTSMS", lost_sms[0]),
    STR_KEY("MOD_TOLVIN_LOSTSMS2", lost_sms[1]),
    STR_KEY("MOD_TOLVIN_LOSTSMS3", lost_sms[2]),
    STR_KEY("MOD_TOLVIN_LOSTSMS4", lost_sms[3]),
    STR_KEY("MOD_TOLVIN_LOSTSMS5", lost_sms[4]),
    STR_KEY("MOD_TOLVIN_LOSTSMS6", lost_sms[5]),
    STR_KEY("MOD_TOLVIN_LOSTSMS7", lost_sms[6]),
    STR_KEY("MOD_TOLVIN_LOSTSMS8", lost_sms[7]),
    STR_KEY("MOD_TOLVIN_LOSTSMS9", lost_sms[8]),
    STR_KEY("MOD_TOLVIN_LOSTSMS10", lost_sms[9]),
    STR_KEY("MOD_TOLVIN_LOSTSMS11", lost_sms[10]),
    STR_KEY("MOD_TOLVIN_LOSTSMS12", lost_sms[11]),
    UINT_KEY("MOD_TOLVIN_LOSTRSTIFACE", lost_restart_iface),
    UINT_KEY("MOD_TOLVIN_LOSTREBOOT", lost_reboot),
    UINT_KEY("MOD_TOLVIN_REESTCHECK", reest_check),
    UINT_KEY("MOD_TOLVIN_REESTLOG", reest_log),
    STR_KEY("MOD_TOLVIN_REESTEMAIL1", reest_email[0]),
    STR_KEY("MOD_TOLVIN_REESTEMAIL2", reest_email[1]),
    STR_KEY("MOD_TOLVIN_REESTEMAIL3", reest_email[2]),
    STR_KEY("MOD_TOLVIN_REESTSMS", reest_sms[0]),
    STR_KEY("MOD_TOLVIN_REESTSMS2", reest_sms[1]),
    STR_KEY("MOD_TOLVIN_REESTSMS3", reest_sms[2]),
    STR_KEY("MOD_TOLVIN_REESTSMS4", reest_sms[3]),
    STR_KEY("MOD_TOLVIN_REESTSMS5", reest_sms[4]),
    STR_KEY("MOD_TOLVIN_REESTSMS6", reest_sms[5]),
    STR_KEY("MOD_TOLVIN_REESTSMS7", reest_sms[6]),
    STR_KEY("MOD_TOLVIN_REESTSMS8", reest_sms[7]),
    STR_KEY("MOD_TOLVIN_REESTSMS9", reest_sms[8]),
    STR_KEY("MOD_TOLVIN_REESTSMS10", reest_sms[9]),
    STR_KEY("MOD_TOLVIN_REESTSMS11", reest_sms[10]),
    STR_KEY("MOD_TOLVIN_REESTSMS12", reest_sms[11]),
    UINT_KEY("MOD_TOLVIN_EXPOSEAVAIL", expose_avail),
    STR_KEY("MOD_TOLVIN_IFACE", iface),
    STR_KEY("MOD_TOLVIN_SRCADDR", source_address),
    STR_KEY("MOD_TOLVIN_RSTSERVICE", restart_service),
    UINT_KEY("MOD_TOLVIN_DEGRCHECK", degr_check),
    UINT_KEY("MOD_TOLVIN_DEGRNUM", degr_num),
    UINT_KEY("MOD_TOLVIN_DEGRLOSS", degr_loss),
    UINT_KEY("MOD_TOLVIN_DEGRRTT", degr_rtt),
    UINT_KEY("MOD_TOLVIN_RECOVLOSS", recov_loss),
    UINT_KEY("MOD_TOLVIN_RECOVRTT", recov_rtt),
    UINT_KEY("MOD_TOLVIN_RECOVTIME", recov_time),
    UINT_KEY("MOD_TOLVIN_DEGRLOG", degr_log),
    STR_KEY("MOD_TOLVIN_DEGREMAIL1", degr_email[0]),
    STR_KEY("MOD_TOLVIN_DEGREMAIL2", degr_email[1]),
    STR_KEY("MOD_TOLVIN_DEGREMAIL3", degr_email[2]),
    STR_KEY("MOD_TOLVIN_EVENTCMD", event_command),
    UINT_KEY("MOD_TOLVIN_CMDTIMEOUT", command_timeout),
};

#undef UINT_KEY
#undef STR_KEY

namespace {

// The line being examined; a found value points into it.
char line_buffer[SETTINGS_LINE_BYTES];

} // namespace

bool settings_split_line(char* line, const char** key, const char** value)
{
    char* cut = strchr(line, '\r');
    if (cut != nullptr)
        *cut = '\0';
    cut = strchr(line, '\n');
    if (cut != nullptr)
        *cut = '\0';
    cut = strrchr(line, '"');
    if (cut != nullptr)
        *cut = '\0';
    char* equals = strchr(line, '=');
    if (equals == nullptr)
        return false;
    *equals = '\0';
    *key = line;
    *value = equals[1] == '"' ? equals + 2 : equals + 1;
    return true;
}

const char* settings_find(FILE* file, const char* key)
{
    if (file == nullptr)
        return nullptr;
    rewind(file);
    // fgets reads at most 16383 characters; a longer line arrives in pieces,
    // each examined as a line of its own.
    while (fgets(line_buffer, sizeof line_buffer, file) != nullptr) {
        const char* line_key = nullptr;
        const char* value = nullptr;
        if (settings_split_line(line_buffer, &line_key, &value) && strcasecmp(key, line_key) == 0)
            return value;
    }
    return nullptr;
}

const char* settings_get_string(FILE* file, const char* key)
{
    const char* value = settings_find(file, key);
    if (value == nullptr)
        return "";
    const char* copy = strdup(value);
    return copy != nullptr ? copy : "";
}

uint32_t settings_get_uint(FILE* file, const char* key)
{
    const char* value = settings_find(file, key);
    unsigned number = 0;
    if (value == nullptr || sscanf(value, "%u", &number) != 1)
        return 0;
    return number;
}

namespace {

// Every field from `file`; null: as from a file without keys.
void fill(FILE* file, ModuleSettings& settings)
{
    auto* base = reinterpret_cast<unsigned char*>(&settings);
    for (const SettingKey& entry : settings_keys) {
        if (entry.kind == SETTING_UINT) {
            uint32_t value = settings_get_uint(file, entry.key);
            memcpy(base + entry.offset, &value, sizeof value);
        } else {
            const char* value = settings_get_string(file, entry.key);
            memcpy(base + entry.offset, &value, sizeof value);
        }
    }
}

} // namespace

uint32_t settings_number(const ModuleSettings& settings, size_t k)
{
    uint32_t number;
    memcpy(&number, reinterpret_cast<const unsigned char*>(&settings) + settings_keys[k].offset, sizeof number);
    return number;
}

const char* settings_text(const ModuleSettings& settings, size_t k)
{
    const char* text;
    memcpy(&text, reinterpret_cast<const unsigned char*>(&settings) + settings_keys[k].offset, sizeof text);
    return text;
}

void settings_empty(ModuleSettings& settings)
{
    fill(nullptr, settings);
}

void read_settings_from(const char* path, ModuleSettings& settings)
{
    FILE* file = fopen(path, "re");
    fill(file, settings);
    if (file != nullptr)
        fclose(file);
}

void read_settings(ModuleSettings& settings)
{
    read_settings_from(SETTINGS_PATH, settings);
}
