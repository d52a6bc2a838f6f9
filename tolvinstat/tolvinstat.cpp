// tolvinstat: shows what tolvind publishes, without ever changing it.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "tolvinstat/report.h"

namespace {

constexpr int EXIT_NO_SEGMENT = 2;
constexpr int SNAPSHOT_ATTEMPTS = 50;
constexpr int AVAILABILITY_ATTEMPTS = 20;

const char* const USAGE =
    "Usage: tolvinstat [--json | --prometheus | --samples N | --watch SECONDS]\n"
    "Shows the link statistics and availability that tolvind publishes.\n"
    "\n"
    "  (no option)        a table of the long-term and short-term figures\n"
    "  --json             one JSON object, times in microseconds and seconds\n"
    "  --prometheus       Prometheus text exposition format\n"
    "  --samples N        the newest N probe samples as CSV (time,rtt_us,jitter_us)\n"
    "  --watch SECONDS    repeat the table every SECONDS until interrupted\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 shown, 1 error, 2 no statistics (tolvind has not run since boot).\n";

enum Mode { MODE_TABLE, MODE_JSON, MODE_PROMETHEUS, MODE_SAMPLES, MODE_WATCH };

const char* const PERMISSION_DENIED =
    "permission denied: the statistics belong to the user tolvind runs as";
const char* const NOT_THE_BLOCK = "the segment under tolvind's key is not its statistics block";

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
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value == 0) {
        fprintf(stderr, "tolvinstat: %s wants a positive whole number, not \"%s\"\n", option, text);
        exit(1);
    }
    return value;
}

const LinkStats* attach_read_only()
{
    key_t key = ftok(LINK_STATS_KEY_PATH, LINK_STATS_KEY_PROJECT);
    if (key == -1)
        fail(EXIT_NO_SEGMENT, "no statistics: %s does not exist", LINK_STATS_KEY_PATH);
    int id = shmget(key, 0, 0);
    if (id == -1) {
        if (errno == ENOENT)
            fail(EXIT_NO_SEGMENT, "no statistics: tolvind has not run since boot");
        if (errno == EACCES)
            fail(1, "%s", PERMISSION_DENIED);
        fail(1, "cannot find the statistics: %s", strerror(errno));
    }
    shmid_ds info;
    if (shmctl(id, IPC_STAT, &info) == -1) {
        if (errno == EACCES)
            fail(1, "%s", PERMISSION_DENIED);
        fail(1, "cannot examine the statistics: %s", strerror(errno));
    }
    if (info.shm_segsz < sizeof(LinkStats))
        fail(1, "%s", NOT_THE_BLOCK);
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) {
        if (errno == EACCES)
            fail(1, "%s", PERMISSION_DENIED);
        fail(1, "cannot attach the statistics: %s", strerror(errno));
    }
    return static_cast<const LinkStats*>(address);
}

// The availability file read whole; a rewrite caught half way is read again.
// False when there is no file or it never held a whole record.
bool read_availability(AvailabilityRecord* record)
{
    for (int attempt = 0; attempt < AVAILABILITY_ATTEMPTS; ++attempt) {
        int fd = open(AVAILABILITY_PATH, O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            return false;
        char text[256];
        ssize_t length = read(fd, text, sizeof text - 1);
        close(fd);
        if (length >= 0) {
            text[length] = '\0';
            if (parse_availability(text, record))
                return true;
        }
        usleep(1000);
    }
    return false;
}

void show(Mode mode, const LinkStats* shared, LinkStats* block, LinkStats* scratch, unsigned long count)
{
    if (!snapshot_block(shared, block, scratch, SNAPSHOT_ATTEMPTS))
        fail(1, "the statistics kept changing while being read; try again");
    if (block->tag != LINK_STATS_TAG)
        fail(1, "%s", NOT_THE_BLOCK);
    AvailabilityRecord availability;
    const AvailabilityRecord* avail = read_availability(&availability) ? &availability : nullptr;
    time_t now = time(nullptr);
    switch (mode) {
    case MODE_TABLE:
    case MODE_WATCH:
        report_table(stdout, *block, avail, now);
        break;
    case MODE_JSON:
        report_json(stdout, *block, avail, now);
        break;
    case MODE_PROMETHEUS:
        report_prometheus(stdout, *block, avail, now);
        break;
    case MODE_SAMPLES:
        report_samples(stdout, *block, count > LINK_SAMPLES ? LINK_SAMPLES : uint32_t(count));
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
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Mode mode = MODE_TABLE;
    int modes = 0;
    unsigned long count = 0;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (c) {
        case 'j': mode = MODE_JSON; ++modes; break;
        case 'p': mode = MODE_PROMETHEUS; ++modes; break;
        case 's': mode = MODE_SAMPLES; count = number_argument("--samples", optarg); ++modes; break;
        case 'w': mode = MODE_WATCH; count = number_argument("--watch", optarg); ++modes; break;
        case 'h': fputs(USAGE, stdout); return 0;
        default:
            fprintf(stderr, "tolvinstat: unknown or incomplete option \"%s\"\n%s",
                    argv[optind - 1], USAGE);
            return 1;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "tolvinstat: unexpected argument \"%s\"\n%s", argv[optind], USAGE);
        return 1;
    }
    if (modes > 1) {
        fprintf(stderr, "tolvinstat: choose one of --json, --prometheus, --samples, --watch\n%s", USAGE);
        return 1;
    }

    const LinkStats* shared = attach_read_only();
    // Two copies of the block for the snapshot; too large for the stack.
    static LinkStats block, scratch;
    show(mode, shared, &block, &scratch, count);
    while (mode == MODE_WATCH) {
        sleep(unsigned(count));
        if (isatty(STDOUT_FILENO))
            fputs("\033[H\033[2J", stdout);
        else
            fputs("\n", stdout);
        show(mode, shared, &block, &scratch, count);
    }
    return 0;
}
