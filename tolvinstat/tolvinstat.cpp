// tolvinstat: shows what tolvind publishes, without ever changing it.
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

#include "core/instance.h"
#include "settings/settings.h"
#include "tolvinstat/cgi.h"
#include "tolvinstat/check.h"
#include "tolvinstat/http.h"
#include "tolvinstat/report.h"
#include "tolvinstat/snmp.h"
#include "tolvinstat/snapshot.h"
#include "tolvinstat/textfile.h"

namespace {

constexpr int EXIT_NO_SEGMENT = 2;
// Every front end that answers a scraper is done within this, whatever the
// client does.
constexpr unsigned SCRAPE_SECONDS_MAX = 10;
constexpr const char* TEXTFILE_NAME = "tolvin.prom";
constexpr const char* EXPOSITION_TYPE = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* PAGE_TYPE = "text/html; charset=utf-8";
constexpr const char* CHART_TYPE = "image/svg+xml";

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

Snapshot snapshot;
ModuleSettings settings;
Instance instance;
// What a scrape shows: the instance named, or without a name every instance
// with a settings file (core/instance.h), each read from its own segment.
bool instance_named;
Instance instances[INSTANCES_MAX];
size_t instance_count;
Snapshot snapshots[INSTANCES_MAX];
ModuleSettings instance_settings[INSTANCES_MAX];
char exposition[65536];
// The page of up to 16 lines with full rings (about 25 KB each).
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

// The settings of every instance a scrape shows: the one named, or every
// one listed.
void read_instances()
{
    if (instance_named) {
        instances[0] = instance;
        instance_count = 1;
    } else {
        instance_count = instance_list(SETTINGS_DIR, instances, INSTANCES_MAX);
    }
    for (size_t i = 0; i < instance_count; ++i)
        read_settings_from(instances[i].settings_path, instance_settings[i]);
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

// What a read of every instance gave.
struct LinesRead {
    size_t read;              // blocks read
    size_t failed;            // blocks there that could not be read, each told
};

// A fresh snapshot of every instance into `lines`. A line whose daemon has
// not run since boot is no problem; one whose block is there but cannot be
// read is told to `sink`, and the others are served all the same.
LinesRead read_snapshots(ReportLine* lines, ProblemSink sink)
{
    LinesRead result = {0, 0};
    for (size_t i = 0; i < instance_count; ++i) {
        snapshot_read(snapshots[i], instances[i].key_project, instance_settings[i].short_term,
                      instances[i].availability_path, instances[i].verdict_path);
        if (snapshots[i].status == SNAPSHOT_OK) {
            ++result.read;
        } else if (snapshots[i].status != SNAPSHOT_NO_SEGMENT) {
            ++result.failed;
            tell_problem(sink, instances[i], snapshots[i]);
        }
        lines[i] = {instances[i].name, &snapshots[i], &instance_settings[i]};
    }
    return result;
}

// Whether a scrape has something to serve: a line read, or none that failed.
bool served(const LinesRead& read)
{
    return read.read > 0 || read.failed == 0;
}

// The exposition of all instances into `out`.
bool report_instances(FILE* out, ProblemSink sink)
{
    ReportLine lines[INSTANCES_MAX];
    if (!served(read_snapshots(lines, sink)))
        return false;
    report_prometheus(out, lines, instance_count);
    return true;
}

// The status page (every line, an unreadable one with its reason) or the
// chart of the first line read, into `page`.
bool make_page(HttpRoute route, const char* base, size_t* length)
{
    ReportLine lines[INSTANCES_MAX];
    FILE* out = fmemopen(page, sizeof page, "w");
    if (out == nullptr)
        return false;
    const LinesRead read = read_snapshots(lines, PROBLEMS_TO_LOG);
    bool answered = true;
    if (route == HTTP_ROUTE_INDEX) {
        report_page(out, lines, instance_count, base);
    } else {
        size_t first = 0;
        while (first < instance_count && snapshots[first].status != SNAPSHOT_OK)
            ++first;
        answered = served(read);
        if (answered)
            report_chart(out, first < instance_count ? snapshots[first].block : no_block);
    }
    const bool whole = answered && !ferror(out) && ftell(out) < long(sizeof page) - 1;
    *length = size_t(ftell(out));
    fclose(out);
    return whole;
}

bool make_exposition(size_t* length, ProblemSink sink);

// The answer to a route of the HTTP and CGI front ends: its status, type and
// body.
int make_answer(HttpRoute route, const char* base, const char** type, const char** body, size_t* length)
{
    if (route == HTTP_ROUTE_METRICS) {
        *type = EXPOSITION_TYPE;
        *body = exposition;
        return make_exposition(length, PROBLEMS_TO_LOG) ? 200 : 500;
    }
    *type = route == HTTP_ROUTE_INDEX ? PAGE_TYPE : CHART_TYPE;
    *body = page;
    return make_page(route, base, length) ? 200 : 500;
}

// The exposition of a fresh snapshot, into `exposition`. Without a block
// (no segment yet) it still says so; false when no line's block was read
// and one could not be.
bool make_exposition(size_t* length, ProblemSink sink)
{
    FILE* out = fmemopen(exposition, sizeof exposition, "w");
    if (out == nullptr)
        return false;
    if (!report_instances(out, sink)) {
        fclose(out);
        return false;
    }
    bool whole = !ferror(out) && ftell(out) < long(sizeof exposition) - 1;
    *length = size_t(ftell(out));
    fclose(out);
    return whole;
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

// The exposition on standard output: exit status 2 when no instance's
// daemon has run since boot, as for every other report.
int print_exposition()
{
    size_t length = 0;
    if (!make_exposition(&length, PROBLEMS_TO_STDERR))
        fail(1, "no line's statistics could be read");
    bool any_block = false;
    for (size_t i = 0; i < instance_count; ++i)
        any_block = any_block || snapshots[i].status == SNAPSHOT_OK;
    if (!any_block)
        fail(EXIT_NO_SEGMENT, "%s", snapshot_problem(snapshots[0]));
    fwrite(exposition, 1, length, stdout);
    return fflush(stdout) == 0 ? 0 : 1;
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

int write_textfile(const char* directory)
{
    size_t length = 0;
    if (!make_exposition(&length, PROBLEMS_TO_STDERR))
        fail(1, "no line's statistics could be read");
    int error = write_file_atomically(directory, TEXTFILE_NAME, exposition, length);
    if (error != 0)
        fail(1, "cannot write %s/%s: %s", directory, TEXTFILE_NAME, strerror(error));
    return 0;
}

void show(Mode mode, unsigned long count)
{
    snapshot_read(snapshot, instance.key_project, settings.short_term, instance.availability_path,
                  instance.verdict_path);
    if (snapshot.status == SNAPSHOT_NO_SEGMENT)
        fail(EXIT_NO_SEGMENT, "%s", snapshot_problem(snapshot));
    if (snapshot.status != SNAPSHOT_OK)
        fail(1, "%s", snapshot_problem(snapshot));
    const LinkStats& block = snapshot.block;
    switch (mode) {
    case MODE_TABLE:
    case MODE_WATCH:
        report_table(stdout, snapshot, instance.name);
        break;
    case MODE_JSON:
        report_json(stdout, snapshot, instance.name);
        break;
    case MODE_PROMETHEUS:
    case MODE_SAMPLES:
        report_samples(stdout, block, count > LINK_SAMPLES ? LINK_SAMPLES : uint32_t(count));
        break;
    case MODE_SVG:
        report_chart(stdout, block);
        break;
    case MODE_HTTP:
    case MODE_TEXTFILE:
    case MODE_SNMP:
    case MODE_CGI:
        break;
    }
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    static const option options[] = {
        {"json", no_argument, nullptr, 'j'},
        {"prometheus", no_argument, nullptr, 'p'},
        {"samples", required_argument, nullptr, 's'},
        {"watch", required_argument, nullptr, 'w'},
        {"http", no_argument, nullptr, 'H'},
        {"textfile", required_argument, nullptr, 't'},
        {"snmp", no_argument, nullptr, 'S'},
        {"svg", no_argument, nullptr, 'g'},
        {"cgi", no_argument, nullptr, 'C'},
        {"instance", required_argument, nullptr, 'i'},
        {"check", no_argument, nullptr, 'c'},
        {"log", no_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Mode mode = MODE_TABLE;
    int modes = 0;
    unsigned long count = 0;
    const char* directory = nullptr;
    const char* instance_name = getenv(INSTANCE_VARIABLE);
    bool check = false, log = false;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (c) {
        case 'j': mode = MODE_JSON; ++modes; break;
        case 'p': mode = MODE_PROMETHEUS; ++modes; break;
        case 's': mode = MODE_SAMPLES; count = number_argument("--samples", optarg); ++modes; break;
        case 'w': mode = MODE_WATCH; count = number_argument("--watch", optarg); ++modes; break;
        case 'H': mode = MODE_HTTP; ++modes; break;
        case 't': mode = MODE_TEXTFILE; directory = optarg; ++modes; break;
        case 'S': mode = MODE_SNMP; ++modes; break;
        case 'g': mode = MODE_SVG; ++modes; break;
        case 'C': mode = MODE_CGI; ++modes; break;
        case 'i': instance_name = optarg; break;
        case 'c': check = true; break;
        case 'l': log = true; break;
        case 'h': fputs(USAGE, stdout); return 0;
        default:
            fprintf(stderr, "tolvinstat: unknown or incomplete option \"%s\"\n%s",
                    argv[optind - 1], USAGE);
            return 1;
        }
    }
    // --check takes the file to check, and --json as its format.
    const char* check_file = nullptr;
    if (check && optind < argc)
        check_file = argv[optind++];
    if (check && mode == MODE_JSON)
        --modes;
    if ((check && modes > 0) || (log && !check)) {
        fprintf(stderr, "tolvinstat: --check goes with --json and --log only, --log with --check\n%s", USAGE);
        return 1;
    }
    if (optind < argc) {
        fprintf(stderr, "tolvinstat: unexpected argument \"%s\"\n%s", argv[optind], USAGE);
        return 1;
    }
    if (modes > 1) {
        fprintf(stderr, "tolvinstat: choose one of --json, --prometheus, --samples, --watch, --http, "
                        "--textfile, --snmp, --svg, --cgi\n%s", USAGE);
        return 1;
    }

    if (!instance_from_name(instance_name, instance))
        fail(1, "\"%.64s\" is not an instance name: 1 to 15 of a-z, 0-9, _ and -, the first a letter "
                "or a digit", instance_name);
    if (check) {
        if (log)
            openlog("tolvinstat", LOG_PID, LOG_DAEMON);
        return check_settings(check_file != nullptr ? check_file : instance.settings_path, instance, stdout,
                              mode == MODE_JSON, log);
    }
    // The daemon's settings, for what the block does not hold: the addresses,
    // the intervals, the daily window.
    read_settings_from(instance.settings_path, settings);
    instance_named = instance.name[0] != '\0';
    if (mode == MODE_PROMETHEUS || mode == MODE_HTTP || mode == MODE_TEXTFILE || mode == MODE_SNMP ||
        mode == MODE_CGI)
        read_instances();
    // A front end's standard error is silenced: a line it cannot read goes
    // to the system log.
    if (mode == MODE_HTTP || mode == MODE_CGI)
        openlog("tolvinstat", LOG_PID, LOG_DAEMON);
    if (mode == MODE_HTTP)
        return serve_http();
    if (mode == MODE_TEXTFILE)
        return write_textfile(directory);
    if (mode == MODE_CGI)
        return serve_cgi();
    if (mode == MODE_PROMETHEUS)
        return print_exposition();
    if (mode == MODE_SNMP) {
        // snmpd's handler lives as long as snmpd keeps it; it ends with its input.
        silence_standard_error();
        signal(SIGPIPE, SIG_IGN);
        SnmpLine lines[INSTANCES_MAX];
        for (size_t i = 0; i < instance_count; ++i)
            lines[i] = {instances[i].name[0] != '\0' ? instances[i].name : "line", instances[i].key_project,
                        &instance_settings[i]};
        snmp_serve(stdin, stdout, lines, instance_count, snapshot);
        return 0;
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
