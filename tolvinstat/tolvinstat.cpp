// tolvinstat: shows what tolvind publishes, without ever changing it. One
// run is one mode: a report of one line (the table, JSON, samples, chart,
// watch), a front end serving every line (exposition, HTTP, CGI, textfile,
// SNMP), or the settings check.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <syslog.h>
#include <unistd.h>

#include "rules/instance.h"
#include "rules/settings.h"
#include "tolvinstat/check.h"
#include "tolvinstat/format/report.h"
#include "tolvinstat/front/cgi.h"
#include "tolvinstat/front/http.h"
#include "tolvinstat/front/snmp.h"
#include "tolvinstat/front/textfile.h"
#include "tolvinstat/snapshot.h"

namespace {

constexpr int EXIT_NO_SEGMENT = 2;
// Every front end that answers a scraper is done within this, whatever the
// client does.
constexpr unsigned SCRAPE_SECONDS_MAX = 10;
constexpr const char* TEXTFILE_NAME = "tolvin.prom";

const char* const USAGE =
    "Usage: tolvinstat [--instance NAME]\n"
    "                  [--json | --prometheus | --samples N | --watch SECONDS | --http | --textfile DIR\n"
    "                   | --snmp | --svg | --cgi | --check [FILE] [--json] [--log]]\n"
    "Shows the link statistics and availability that tolvind publishes.\n"
    "\n"
    "  (no option)        a table of the long-term and short-term figures\n"
    "  --json             one JSON object, times in microseconds and seconds\n"
    "  --prometheus       Prometheus text exposition format\n"
    "  --samples N        the newest N probe samples as CSV (time,rtt_us,jitter_us)\n"
    "  --watch SECONDS    repeat the table every SECONDS until interrupted\n"
    "  --http             answer one HTTP request on standard input and output\n"
    "                     (inetd, systemd socket activation): GET / (the status page),\n"
    "                     /metrics, /rtt.svg\n"
    "  --textfile DIR     write DIR/tolvin.prom for node_exporter's textfile collector\n"
    "  --snmp             be snmpd's pass_persist handler for DISMAN-PING-MIB (.1.3.6.1.2.1.80)\n"
    "  --svg              the round-trip chart of the ring as SVG\n"
    "  --cgi              answer one CGI request (BusyBox httpd, uhttpd): the status page,\n"
    "                     /metrics and /rtt.svg\n"
    "  --check [FILE]     the settings file (default: the instance's) as tolvind reads it,\n"
    "                     and what in it tolvind reads other than written; with --json as\n"
    "                     JSON, with --log its findings in the system log too.\n"
    "                     Exit status 0 no findings, 1 findings, 2 file not readable\n"
    "  --instance NAME    the daemon watching line NAME (default: $TOLVIN_INSTANCE, else\n"
    "                     the default instance, and for scrapes and --snmp every instance)\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 shown, 1 error, 2 no statistics (tolvind has not run since boot).\n";

enum Mode { MODE_TABLE, MODE_JSON, MODE_PROMETHEUS, MODE_SAMPLES, MODE_WATCH, MODE_HTTP, MODE_TEXTFILE,
            MODE_SNMP, MODE_SVG, MODE_CGI };

// The options that choose a mode: for the parser, the check that one is
// chosen, and which lines the mode shows (its instance alone, or every line
// unless one is named).
struct ModeOption {
    const char* name;
    int has_argument;
    Mode mode;
    bool every_line;
};

constexpr ModeOption MODE_OPTIONS[] = {
    {"json", no_argument, MODE_JSON, false},       {"prometheus", no_argument, MODE_PROMETHEUS, true},
    {"samples", required_argument, MODE_SAMPLES, false}, {"watch", required_argument, MODE_WATCH, false},
    {"http", no_argument, MODE_HTTP, true},        {"textfile", required_argument, MODE_TEXTFILE, true},
    {"snmp", no_argument, MODE_SNMP, true},        {"svg", no_argument, MODE_SVG, false},
    {"cgi", no_argument, MODE_CGI, true},
};
constexpr int MODE_COUNT = int(sizeof MODE_OPTIONS / sizeof MODE_OPTIONS[0]);
// The other options' codes, after the modes' indexes.
enum { OPTION_INSTANCE = 100, OPTION_CHECK, OPTION_LOG, OPTION_HELP };

// The routes of the HTTP and CGI front ends, with the type of their bodies.
struct RouteAnswer {
    HttpRoute route;
    const char* type;
};

constexpr RouteAnswer ROUTES[] = {
    {HTTP_ROUTE_METRICS, "text/plain; version=0.0.4; charset=utf-8"},
    {HTTP_ROUTE_INDEX, "text/html; charset=utf-8"},
    {HTTP_ROUTE_CHART, "image/svg+xml"},
};

// The lines this run shows, each with its settings (for what the block does
// not hold: addresses, intervals, the daily window, S) and its latest
// snapshot; a report's one line is the first.
struct Lines {
    Instance instances[INSTANCES_MAX];
    ModuleSettings settings[INSTANCES_MAX];
    Snapshot snapshots[INSTANCES_MAX];
    ReportLine reports[INSTANCES_MAX];
    size_t count;
};

Lines lines;
// What a front end answers with: the exposition, or the page or chart (of up
// to 16 lines with full rings, about 25 KB each).
char exposition[65536];
char page[786432];
LinkStats no_block;

[[noreturn]] __attribute__((format(printf, 2, 3))) void fail(int status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "tolvinstat: ");
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    exit(status);
}

// A positive whole number, or the program ends with a clear message.
unsigned long number_argument(const char* option, const char* text)
{
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value == 0)
        fail(1, "%s wants a positive whole number, not \"%s\"", option, text);
    return value;
}

// The lines a mode shows, with their settings: `named` alone, or every
// instance with a settings file (rules/instance.h).
void choose_lines(const Instance& named, bool every_line)
{
    if (every_line && named.name[0] == '\0') {
        lines.count = instance_list(SETTINGS_DIR, lines.instances, INSTANCES_MAX);
    } else {
        lines.instances[0] = named;
        lines.count = 1;
    }
    for (size_t i = 0; i < lines.count; ++i) {
        read_settings_from(lines.instances[i].settings_path, lines.settings[i]);
        lines.reports[i] = {lines.instances[i].name, &lines.snapshots[i], &lines.settings[i]};
    }
}

void read_line(size_t i)
{
    const Instance& instance = lines.instances[i];
    snapshot_read(lines.snapshots[i], instance.key_project, lines.settings[i].short_term,
                  instance.availability_path, instance.verdict_path);
}

// Where a line's problem is told: standard error, or the system log for the
// front ends whose standard error is silenced.
enum ProblemSink { PROBLEMS_TO_STDERR, PROBLEMS_TO_LOG };

void tell_problem(ProblemSink sink, const Instance& line, const Snapshot& read)
{
    char name[INSTANCE_NAME_MAX + 16];
    if (line.name[0] != '\0')
        snprintf(name, sizeof name, "line %.15s", line.name);
    else
        snprintf(name, sizeof name, "the default line");
    if (sink == PROBLEMS_TO_LOG)
        syslog(LOG_WARNING, "%s: %s", name, snapshot_problem(read));
    else
        fprintf(stderr, "tolvinstat: %s: %s\n", name, snapshot_problem(read));
}

// A fresh snapshot of every line. A line whose daemon has not run since
// boot is no problem; one whose block is there but cannot be read is told to
// `sink`, and the others are served all the same. Whether there is something
// to serve: a line read, or none that failed.
bool read_lines(ProblemSink sink)
{
    size_t read = 0, failed = 0;
    for (size_t i = 0; i < lines.count; ++i) {
        read_line(i);
        const Snapshot& snapshot = lines.snapshots[i];
        if (snapshot.status == SNAPSHOT_OK) {
            ++read;
        } else if (snapshot.status != SNAPSHOT_NO_SEGMENT) {
            ++failed;
            tell_problem(sink, lines.instances[i], snapshot);
        }
    }
    return read > 0 || failed == 0;
}

// The body of a route into `buffer`: its length, or -1 when there is nothing
// to serve or it did not fit.
long make_body(HttpRoute route, const char* base, char* buffer, size_t size, ProblemSink sink)
{
    FILE* out = fmemopen(buffer, size, "w");
    if (out == nullptr)
        return -1;
    bool served = read_lines(sink);
    if (route == HTTP_ROUTE_INDEX) {
        report_page(out, lines.reports, lines.count, base);     // every line, an unreadable one with its reason
        served = true;
    } else if (route == HTTP_ROUTE_CHART && served) {
        size_t first = 0;                                        // the first line read
        while (first < lines.count && lines.snapshots[first].status != SNAPSHOT_OK)
            ++first;
        report_chart(out, first < lines.count ? lines.snapshots[first].block : no_block);
    } else if (served) {
        report_prometheus(out, lines.reports, lines.count);
    }
    const long length = ftell(out);
    const bool whole = served && !ferror(out) && length < long(size) - 1;
    fclose(out);
    return whole ? length : -1;
}

// The answer to a route of the HTTP and CGI front ends: its status, type and
// body.
int make_answer(HttpRoute route, const char* base, const char** type, const char** body, size_t* length)
{
    for (const RouteAnswer& answer : ROUTES) {
        if (answer.route != route)
            continue;
        char* buffer = route == HTTP_ROUTE_METRICS ? exposition : page;
        const size_t size = route == HTTP_ROUTE_METRICS ? sizeof exposition : sizeof page;
        const long made = make_body(route, base, buffer, size, PROBLEMS_TO_LOG);
        *type = answer.type;
        *body = buffer;
        *length = made < 0 ? 0 : size_t(made);
        return made < 0 ? 500 : 200;
    }
    return 404;
}

// The exposition for standard output or a textfile; the program ends when
// no line could be read.
size_t make_exposition()
{
    const long length = make_body(HTTP_ROUTE_METRICS, "", exposition, sizeof exposition, PROBLEMS_TO_STDERR);
    if (length < 0)
        fail(1, "no line's statistics could be read");
    return size_t(length);
}

// Standard error on /dev/null: inetd may have joined it to the connection,
// and snmpd reads a handler's standard error as its answer.
void silence_standard_error()
{
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd != -1) {
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
}

// One HTTP exchange on standard input and output.
int serve_http()
{
    silence_standard_error();
    signal(SIGPIPE, SIG_IGN);
    alarm(SCRAPE_SECONDS_MAX);
    HttpRequest request;
    int status = http_read_request(STDIN_FILENO, &request);
    if (status == 0)
        return 0;
    const char* type = "";
    const char* body = "";
    size_t length = 0;
    if (status == 200)
        status = make_answer(request.route, "", &type, &body, &length);
    http_answer(STDOUT_FILENO, status, request, type, body, length);
    http_finish(STDIN_FILENO, STDOUT_FILENO);
    return 0;
}

// One CGI request: what the HTTP front end answers, with a CGI Status line.
int serve_cgi()
{
    silence_standard_error();
    signal(SIGPIPE, SIG_IGN);
    alarm(SCRAPE_SECONDS_MAX);
    HttpRequest request;
    int status = cgi_request(getenv("REQUEST_METHOD"), getenv("PATH_INFO"), &request);
    const char* type = "";
    const char* body = "";
    size_t length = 0;
    const char* script = getenv("SCRIPT_NAME");
    if (status == 200)
        status = make_answer(request.route, script != nullptr ? script : "", &type, &body, &length);
    cgi_answer(stdout, status, request, type, body, length);
    return 0;
}

// The exposition on standard output: exit status 2 when no line's daemon
// has run since boot, as for every other report.
int print_exposition()
{
    const size_t length = make_exposition();
    bool any_block = false;
    for (size_t i = 0; i < lines.count; ++i)
        any_block = any_block || lines.snapshots[i].status == SNAPSHOT_OK;
    if (!any_block)
        fail(EXIT_NO_SEGMENT, "%s", snapshot_problem(lines.snapshots[0]));
    fwrite(exposition, 1, length, stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

int write_textfile(const char* directory)
{
    const size_t length = make_exposition();
    int error = write_file_atomically(directory, TEXTFILE_NAME, exposition, length);
    if (error != 0)
        fail(1, "cannot write %s/%s: %s", directory, TEXTFILE_NAME, strerror(error));
    return 0;
}

// snmpd's handler lives as long as snmpd keeps it; it ends with its input.
int serve_snmp()
{
    silence_standard_error();
    signal(SIGPIPE, SIG_IGN);
    SnmpLine tests[INSTANCES_MAX];
    for (size_t i = 0; i < lines.count; ++i)
        tests[i] = {lines.instances[i].name[0] != '\0' ? lines.instances[i].name : "line",
                    lines.instances[i].key_project, &lines.settings[i]};
    snmp_serve(stdin, stdout, tests, lines.count);
    return 0;
}

// A report of the one line.
void show(Mode mode, unsigned long count)
{
    read_line(0);
    const Snapshot& snapshot = lines.snapshots[0];
    if (snapshot.status == SNAPSHOT_NO_SEGMENT)
        fail(EXIT_NO_SEGMENT, "%s", snapshot_problem(snapshot));
    if (snapshot.status != SNAPSHOT_OK)
        fail(1, "%s", snapshot_problem(snapshot));
    const char* name = lines.instances[0].name;
    if (mode == MODE_JSON)
        report_json(stdout, snapshot, name);
    else if (mode == MODE_SAMPLES)
        report_samples(stdout, snapshot.block, count > LINK_SAMPLES ? LINK_SAMPLES : uint32_t(count));
    else if (mode == MODE_SVG)
        report_chart(stdout, snapshot.block);
    else
        report_table(stdout, snapshot, name);
    fflush(stdout);
}

[[noreturn]] void refuse(const char* format, const char* detail = "")
{
    fprintf(stderr, format, detail);
    fputs(USAGE, stderr);
    exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    option options[MODE_COUNT + 5];
    for (int i = 0; i < MODE_COUNT; ++i)
        options[i] = {MODE_OPTIONS[i].name, MODE_OPTIONS[i].has_argument, nullptr, i};
    options[MODE_COUNT + 0] = {"instance", required_argument, nullptr, OPTION_INSTANCE};
    options[MODE_COUNT + 1] = {"check", no_argument, nullptr, OPTION_CHECK};
    options[MODE_COUNT + 2] = {"log", no_argument, nullptr, OPTION_LOG};
    options[MODE_COUNT + 3] = {"help", no_argument, nullptr, OPTION_HELP};
    options[MODE_COUNT + 4] = {nullptr, 0, nullptr, 0};
    const ModeOption* chosen = nullptr;
    bool two_modes = false, check = false, log = false;
    unsigned long count = 0;
    const char* argument = nullptr;
    const char* instance_name = getenv(INSTANCE_VARIABLE);
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        if (c >= 0 && c < MODE_COUNT) {
            two_modes = two_modes || chosen != nullptr;
            chosen = &MODE_OPTIONS[c];
            argument = optarg;
            if (chosen->mode == MODE_SAMPLES || chosen->mode == MODE_WATCH)
                count = number_argument(chosen->mode == MODE_SAMPLES ? "--samples" : "--watch", optarg);
        } else if (c == OPTION_INSTANCE) {
            instance_name = optarg;
        } else if (c == OPTION_CHECK) {
            check = true;
        } else if (c == OPTION_LOG) {
            log = true;
        } else if (c == OPTION_HELP) {
            fputs(USAGE, stdout);
            return 0;
        } else {
            refuse("tolvinstat: unknown or incomplete option \"%s\"\n", argv[optind - 1]);
        }
    }
    const Mode mode = chosen != nullptr ? chosen->mode : MODE_TABLE;
    // --check takes the file to check, and --json as its format.
    const char* check_file = nullptr;
    if (check && optind < argc)
        check_file = argv[optind++];
    if ((check && chosen != nullptr && (mode != MODE_JSON || two_modes)) || (log && !check))
        refuse("tolvinstat: --check goes with --json and --log only, --log with --check\n");
    if (optind < argc)
        refuse("tolvinstat: unexpected argument \"%s\"\n", argv[optind]);
    if (two_modes)
        refuse("tolvinstat: choose one of --json, --prometheus, --samples, --watch, --http, --textfile, --snmp, "
               "--svg, --cgi\n");

    Instance named;
    if (!instance_from_name(instance_name, named))
        fail(1, "\"%.64s\" is not an instance name: 1 to 15 of a-z, 0-9, _ and -, the first a letter "
                "or a digit", instance_name);
    if (check) {
        if (log)
            openlog("tolvinstat", LOG_PID, LOG_DAEMON);
        return check_settings(check_file != nullptr ? check_file : named.settings_path, named, stdout,
                              mode == MODE_JSON, log);
    }
    choose_lines(named, chosen != nullptr && chosen->every_line);
    // A front end's standard error is silenced: a line it cannot read goes
    // to the system log.
    if (mode == MODE_HTTP || mode == MODE_CGI)
        openlog("tolvinstat", LOG_PID, LOG_DAEMON);
    switch (mode) {
    case MODE_HTTP: return serve_http();
    case MODE_CGI: return serve_cgi();
    case MODE_TEXTFILE: return write_textfile(argument);
    case MODE_PROMETHEUS: return print_exposition();
    case MODE_SNMP: return serve_snmp();
    default: break;
    }
    show(mode, count);
    while (mode == MODE_WATCH) {
        sleep(unsigned(count));
        if (isatty(STDOUT_FILENO))
            fputs("\033[H\033[2J", stdout);
        else
            fputs("\n", stdout);
        show(mode, count);
    }
    return 0;
}
