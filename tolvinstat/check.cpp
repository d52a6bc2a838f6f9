#include "tolvinstat/check.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "probe/echo.h"
#include "rules/window.h"
#include "rules/settings.h"
#include "stats/link_stats.h"

namespace {

constexpr unsigned FINDINGS_MAX = 64;
constexpr int RESOLVE_MSEC = 3000;          // an address that takes longer does not resolve now
constexpr unsigned CLOSE_EDITS = 3;         // a key this near a known one was meant as it

struct Finding {
    unsigned line;                          // 0: of the file as a whole
    char text[320];
};

struct Check {
    Finding findings[FINDINGS_MAX];
    unsigned count;
    unsigned key_line[SETTINGS_KEY_COUNT];  // the line each known key is first given on, 0 if not
    char written[SETTINGS_KEY_COUNT][24];   // the start of that line's value, for numbers
    ModuleSettings settings;                // what the daemon will use
};

Check check;
char line[SETTINGS_LINE_BYTES];

__attribute__((format(printf, 2, 3))) void find(unsigned at, const char* format, ...)
{
    if (check.count == FINDINGS_MAX)
        return;
    Finding& f = check.findings[check.count++];
    f.line = at;
    va_list args;
    va_start(args, format);
    vsnprintf(f.text, sizeof f.text, format, args);
    va_end(args);
}

int key_index(const char* key)
{
    for (size_t k = 0; k < SETTINGS_KEY_COUNT; ++k) {
        if (strcasecmp(settings_keys[k].key, key) == 0)
            return int(k);
    }
    return -1;
}

// A key of the file without its blanks, for "a blank makes it another key".
void trimmed(const char* key, char* out, size_t size)
{
    while (isspace(static_cast<unsigned char>(*key)))
        ++key;
    snprintf(out, size, "%s", key);
    for (size_t n = strlen(out); n > 0 && isspace(static_cast<unsigned char>(out[n - 1]));)
        out[--n] = '\0';
}

void unknown_key(unsigned at, const char* key)
{
    char bare[64];
    trimmed(key, bare, sizeof bare);
    if (strcmp(bare, key) != 0 && key_index(bare) != -1) {
        find(at, "\"%.64s\" is not a key tolvind knows: the blanks around %s make it another one", key, bare);
        return;
    }
    const char* closest = nullptr;
    unsigned best = CLOSE_EDITS + 1;
    for (const SettingKey& known : settings_keys) {
        const unsigned edits = edit_distance(bare, known.key);
        if (edits < best) {
            best = edits;
            closest = known.key;
        }
    }
    if (closest != nullptr)
        find(at, "%.64s is not a key tolvind knows: did you mean %s?", key, closest);
    else
        find(at, "%.64s is not a key tolvind knows", key);
}

// Every line of the file: what the reader skips, keys it does not know and
// keys given again.
void scan_lines(FILE* file)
{
    unsigned number = 0;
    bool continued = false;                  // the piece before ended without a line feed
    while (fgets(line, sizeof line, file) != nullptr) {
        const bool whole = strchr(line, '\n') != nullptr;
        const unsigned at = continued ? number : ++number;
        continued = !whole;
        const char* c = line;
        while (*c == ' ' || *c == '\t')
            ++c;
        if (*c == '\0' || *c == '\n' || *c == '\r' || *c == '#')
            continue;                        // blank, or a comment
        char text[48];
        const size_t shown = strcspn(line, "\r\n");
        memcpy(text, line, shown < sizeof text - 1 ? shown : sizeof text - 1);
        text[shown < sizeof text - 1 ? shown : sizeof text - 1] = '\0';
        const char* key = nullptr;
        const char* value = nullptr;
        if (!settings_split_line(line, &key, &value)) {
            find(at, "\"%s\" is not key=value: tolvind skips this line", text);
            continue;
        }
        const int k = key_index(key);
        if (k == -1) {
            unknown_key(at, key);
        } else if (check.key_line[k] != 0) {
            find(at, "%s is given again: tolvind takes the first, on line %u", settings_keys[k].key,
                 check.key_line[k]);
        } else {
            check.key_line[k] = at;
            snprintf(check.written[k], sizeof check.written[k], "%s", value);
        }
    }
}

// The text the daemon uses: its own default where the setting is empty.
const char* field_text(size_t k)
{
    const char* text = settings_text(check.settings, k);
    if (text[0] == '\0' && settings_keys[k].offset == offsetof(ModuleSettings, restart_service))
        return RESTART_SERVICE_DEFAULT;
    return text;
}

uint32_t field_number(size_t k)
{
    return settings_number(check.settings, k);
}

// Numbers read other than written, or beyond what the key can mean.
void check_numbers()
{
    for (size_t k = 0; k < SETTINGS_KEY_COUNT; ++k) {
        if (settings_keys[k].kind != SETTING_UINT || check.key_line[k] == 0)
            continue;
        const char* written = check.written[k];
        const uint32_t read = field_number(k);
        char canonical[16];
        snprintf(canonical, sizeof canonical, "%" PRIu32, read);
        const char* digits = written;
        while (*digits == '0' && digits[1] >= '0' && digits[1] <= '9')
            ++digits;                        // 010 is 10 as written
        const char* key = settings_keys[k].key;
        if (strcmp(digits, canonical) != 0) {
            find(check.key_line[k], "%s=\"%s\" is read as %s", key, written, canonical);
            continue;
        }
        if ((strcmp(key, "MOD_TOLVIN_PINGSIZE") == 0 || strcmp(key, "MOD_TOLVIN_PINGSIZE2") == 0) &&
            read > ECHO_PAYLOAD_MAX)
            find(check.key_line[k], "%s=%" PRIu32 " is beyond the largest echo payload, %" PRIu32, key, read,
                 ECHO_PAYLOAD_MAX);
        if (strcmp(key, "MOD_TOLVIN_DEGRNUM") == 0 && read > QUALITY_PROBES_MAX)
            find(check.key_line[k], "%s=%" PRIu32 " is beyond the %" PRIu32 " probes tolvind judges: it judges "
                 "%" PRIu32, key, read, QUALITY_PROBES_MAX, QUALITY_PROBES_MAX);
        if (strcmp(key, "MOD_TOLVIN_SHORTTERM") == 0 && read > LINK_SAMPLES)
            find(check.key_line[k], "%s=%" PRIu32 " is beyond the %" PRIu32 " probes the block keeps", key, read,
                 LINK_SAMPLES);
    }
}

unsigned line_of(const char* key)
{
    return check.key_line[key_index(key)];
}

// The quality's recovery thresholds within its degraded ones, and the event
// program there to run.
void check_quality()
{
    const ModuleSettings& s = check.settings;
    const char* pairs[2][2] = {{"MOD_TOLVIN_RECOVLOSS", "MOD_TOLVIN_DEGRLOSS"},
                               {"MOD_TOLVIN_RECOVRTT", "MOD_TOLVIN_DEGRRTT"}};
    const uint32_t values[2][2] = {{s.recov_loss, s.degr_loss}, {s.recov_rtt, s.degr_rtt}};
    for (int i = 0; i < 2; ++i) {
        if (values[i][1] != 0 && values[i][0] >= values[i][1])
            find(line_of(pairs[i][0]), "%s=%" PRIu32 " is not below %s=%" PRIu32 ": a degraded line is never "
                 "restored on it", pairs[i][0], values[i][0], pairs[i][1], values[i][1]);
    }
    const char* program = s.event_command;
    if (program[0] == '\0')
        return;
    if (program[0] != '/')
        find(line_of("MOD_TOLVIN_EVENTCMD"), "MOD_TOLVIN_EVENTCMD \"%.64s\" is no absolute path: tolvind looks "
             "it up along its own PATH", program);
    else if (access(program, F_OK) != 0)
        find(line_of("MOD_TOLVIN_EVENTCMD"), "there is no program %.64s: no change of the line reaches the "
             "router", program);
    else if (access(program, X_OK) != 0)
        find(line_of("MOD_TOLVIN_EVENTCMD"), "%.64s is not executable: no change of the line reaches the router",
             program);
}

void check_window()
{
    const ModuleSettings& s = check.settings;
    const int32_t start = parse_time_of_day(s.start_time), stop = parse_time_of_day(s.stop_time);
    if (s.start_time[0] != '\0' && start == -1)
        find(line_of("MOD_TOLVIN_STARTTIME"), "MOD_TOLVIN_STARTTIME=\"%.32s\" is not a time of day (hh:mm)",
             s.start_time);
    if (s.stop_time[0] != '\0' && stop == -1)
        find(line_of("MOD_TOLVIN_STOPTIME"), "MOD_TOLVIN_STOPTIME=\"%.32s\" is not a time of day (hh:mm)",
             s.stop_time);
    if (start != -1 && start == stop)
        find(line_of("MOD_TOLVIN_STOPTIME"),
             "the monitoring window starts as it stops (%02d:%02d): it is (almost) never open; set neither "
             "for monitoring all day", start / 60, start % 60);
    else if ((start == -1) != (stop == -1))
        find(line_of(start == -1 ? "MOD_TOLVIN_STOPTIME" : "MOD_TOLVIN_STARTTIME"),
             "only one end of the monitoring window is a time of day: set both, or neither for all day");
}

// getaddrinfo in a child of its own, so that a resolver that does not answer
// costs at most RESOLVE_MSEC. 0, an EAI_ code, or 1 for out of time.
int resolve(const char* host, int* family)
{
    int fds[2];
    if (pipe(fds) != 0)
        return EAI_SYSTEM;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        addrinfo hints = {};
        hints.ai_socktype = SOCK_RAW;
        addrinfo* found = nullptr;
        int answer[2] = {getaddrinfo(host, nullptr, &hints, &found), 0};
        if (answer[0] == 0)
            answer[1] = found->ai_family;
        ssize_t ignored = write(fds[1], answer, sizeof answer);
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    int answer[2] = {EAI_SYSTEM, 0};
    pollfd ready = {fds[0], POLLIN, 0};
    bool in_time = child > 0 && poll(&ready, 1, RESOLVE_MSEC) == 1;
    if (in_time && read(fds[0], answer, sizeof answer) != ssize_t(sizeof answer))
        answer[0] = EAI_SYSTEM;
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    close(fds[0]);
    *family = answer[1];
    return in_time ? answer[0] : 1;
}

int numeric_family(const char* text)
{
    unsigned char bytes[16];
    if (inet_pton(AF_INET, text, bytes) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, text, bytes) == 1)
        return AF_INET6;
    return 0;
}

void check_addresses()
{
    const ModuleSettings& s = check.settings;
    const char* keys[2] = {"MOD_TOLVIN_IPADDR", "MOD_TOLVIN_IPADDR2"};
    int families[2] = {0, 0};
    if (s.address[0][0] == '\0')
        find(line_of(keys[0]), "no first address (MOD_TOLVIN_IPADDR): tolvind probes nothing");
    for (int t = 0; t < 2; ++t) {
        const char* address = s.address[t];
        if (address[0] == '\0' || (families[t] = numeric_family(address)) != 0)
            continue;
        const int status = resolve(address, &families[t]);
        if (status == 1)
            find(line_of(keys[t]), "%s \"%.64s\" does not resolve within %d s now", keys[t], address,
                 RESOLVE_MSEC / 1000);
        else if (status != 0)
            find(line_of(keys[t]), "%s \"%.64s\" does not resolve now: %s", keys[t], address, gai_strerror(status));
    }
    if (s.iface[0] != '\0') {
        if (strlen(s.iface) > IF_NAMESIZE - 1)
            find(line_of("MOD_TOLVIN_IFACE"), "MOD_TOLVIN_IFACE \"%.64s\" is longer than %d bytes: tolvind "
                 "refuses it", s.iface, IF_NAMESIZE - 1);
        else if (if_nametoindex(s.iface) == 0)
            find(line_of("MOD_TOLVIN_IFACE"), "there is no interface %s now: probes over it go without reply "
                 "until it is there (a line between redials?)", s.iface);
    }
    if (s.source_address[0] != '\0') {
        const int family = numeric_family(s.source_address);
        if (family == 0)
            find(line_of("MOD_TOLVIN_SRCADDR"), "MOD_TOLVIN_SRCADDR \"%.64s\" is not a numeric IPv4 or IPv6 "
                 "address: tolvind refuses it", s.source_address);
        for (int t = 0; t < 2 && family != 0; ++t) {
            if (families[t] != 0 && families[t] != family)
                find(line_of("MOD_TOLVIN_SRCADDR"), "source address %s is not of the family of %s: its probes "
                     "go without reply", s.source_address, s.address[t]);
        }
    }
}

void json_text(FILE* out, const char* text)
{
    fputc('"', out);
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\')
            fprintf(out, "\\%c", *c);
        else if (*c < 0x20)
            fprintf(out, "\\u%04x", *c);
        else
            fputc(*c, out);
    }
    fputc('"', out);
}

void report_text(FILE* out, const char* path)
{
    fprintf(out, "Settings as tolvind reads %s (* from the file):\n", path);
    for (size_t k = 0; k < SETTINGS_KEY_COUNT; ++k) {
        fprintf(out, "%c %s=", check.key_line[k] != 0 ? '*' : ' ', settings_keys[k].key);
        if (settings_keys[k].kind == SETTING_UINT)
            fprintf(out, "%" PRIu32 "\n", field_number(k));
        else
            fprintf(out, "\"%s\"\n", field_text(k));
    }
    if (check.count == 0) {
        fputs("No findings.\n", out);
        return;
    }
    fprintf(out, "%u finding%s:\n", check.count, check.count == 1 ? "" : "s");
    for (unsigned i = 0; i < check.count; ++i) {
        if (check.findings[i].line != 0)
            fprintf(out, "line %u: %s\n", check.findings[i].line, check.findings[i].text);
        else
            fprintf(out, "%s\n", check.findings[i].text);
    }
}

void report_json(FILE* out, const char* path)
{
    fputs("{\"file\":", out);
    json_text(out, path);
    fputs(",\"settings\":[", out);
    for (size_t k = 0; k < SETTINGS_KEY_COUNT; ++k) {
        fprintf(out, "%s{\"key\":\"%s\",\"value\":", k == 0 ? "" : ",", settings_keys[k].key);
        if (settings_keys[k].kind == SETTING_UINT)
            fprintf(out, "%" PRIu32, field_number(k));
        else
            json_text(out, field_text(k));
        if (check.key_line[k] != 0)
            fprintf(out, ",\"line\":%u}", check.key_line[k]);
        else
            fputs(",\"line\":null}", out);
    }
    fputs("],\"findings\":[", out);
    for (unsigned i = 0; i < check.count; ++i) {
        fputs(i == 0 ? "{\"line\":" : ",{\"line\":", out);
        if (check.findings[i].line != 0)
            fprintf(out, "%u", check.findings[i].line);
        else
            fputs("null", out);
        fputs(",\"text\":", out);
        json_text(out, check.findings[i].text);
        fputc('}', out);
    }
    fputs("]}\n", out);
}

} // namespace

unsigned edit_distance(const char* a, const char* b)
{
    constexpr size_t LONGEST = 40;
    const size_t la = strlen(a), lb = strlen(b);
    if (la > LONGEST || lb > LONGEST)
        return 9;
    unsigned row[LONGEST + 1];
    for (size_t j = 0; j <= lb; ++j)
        row[j] = unsigned(j);
    for (size_t i = 1; i <= la; ++i) {
        unsigned diagonal = row[0];
        row[0] = unsigned(i);
        for (size_t j = 1; j <= lb; ++j) {
            const unsigned above = row[j];
            const bool same = toupper(static_cast<unsigned char>(a[i - 1])) ==
                              toupper(static_cast<unsigned char>(b[j - 1]));
            unsigned best = diagonal + (same ? 0 : 1);
            if (above + 1 < best)
                best = above + 1;
            if (row[j - 1] + 1 < best)
                best = row[j - 1] + 1;
            row[j] = best;
            diagonal = above;
        }
    }
    return row[lb] < 9 ? row[lb] : 9;
}

int check_settings(const char* path, const Instance& instance, FILE* out, bool json, bool log)
{
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        fprintf(stderr, "tolvinstat: cannot read %s: %s\n", path, strerror(errno));
        if (log)
            syslog(LOG_WARNING, "cannot read settings file %s: %s", path, strerror(errno));
        return CHECK_UNREADABLE;
    }
    check = Check{};
    scan_lines(file);
    fclose(file);
    read_settings_from(path, check.settings);
    check_numbers();
    check_window();
    check_addresses();
    check_quality();
    char other[INSTANCE_NAME_MAX + 1];
    if (instance_key_clash(instance, SETTINGS_DIR, other, sizeof other))
        find(0, "instance %s's statistics segment would be that of instance %s: tolvind refuses to start; "
             "rename one of them", instance.name, other);
    // In the order of the file, what concerns it as a whole last.
    for (unsigned i = 1; i < check.count; ++i) {
        const Finding moved = check.findings[i];
        const unsigned key = moved.line != 0 ? moved.line : ~0u;
        unsigned j = i;
        for (; j > 0 && (check.findings[j - 1].line != 0 ? check.findings[j - 1].line : ~0u) > key; --j)
            check.findings[j] = check.findings[j - 1];
        check.findings[j] = moved;
    }
    if (json)
        report_json(out, path);
    else
        report_text(out, path);
    for (unsigned i = 0; log && i < check.count; ++i) {
        if (check.findings[i].line != 0)
            syslog(LOG_WARNING, "%s, line %u: %s", path, check.findings[i].line, check.findings[i].text);
        else
            syslog(LOG_WARNING, "%s: %s", path, check.findings[i].text);
    }
    return check.count == 0 ? CHECK_CLEAN : CHECK_FINDINGS;
}
