#include "rules/verdict.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* FORMAT = "pid=%" SCNd32 "\nstate=%7[a-z]\ndegraded=%d\nsince=%" SCNd64
                               "\njudged_probes=%" SCNu32 "\nlost=%" SCNu32 "\nmedian_rtt_us=%" SCNd64 "\n%n";

} // namespace

size_t verdict_format(char* text, size_t size, const Verdict& v)
{
    const int length = snprintf(text, size,
                                "pid=%" PRId32 "\nstate=%s\ndegraded=%d\nsince=%" PRId64 "\njudged_probes=%" PRIu32
                                "\nlost=%" PRIu32 "\nmedian_rtt_us=%" PRId64 "\n",
                                v.pid, VERDICT_STATE_NAMES[v.state], v.degraded ? 1 : 0, v.since, v.judged_probes,
                                v.lost, v.median_rtt_usec);
    return length < 0 ? 0 : size_t(length);
}

bool verdict_parse(const char* text, Verdict* verdict)
{
    Verdict v = {};
    char state[8];
    int degraded = 0, consumed = 0;
    if (sscanf(text, FORMAT, &v.pid, state, &degraded, &v.since, &v.judged_probes, &v.lost, &v.median_rtt_usec,
               &consumed) != 7
        || consumed == 0 || text[consumed] != '\0' || v.pid <= 0 || (degraded != 0 && degraded != 1))
        return false;
    size_t i = 0;
    while (i < 3 && strcmp(state, VERDICT_STATE_NAMES[i]) != 0)
        ++i;
    if (i == 3)
        return false;
    v.state = VerdictState(i);
    v.degraded = degraded == 1;
    *verdict = v;
    return true;
}

int verdict_write(const char* path, const Verdict& verdict)
{
    char text[256], temporary[96];
    const size_t length = verdict_format(text, sizeof text, verdict);
    snprintf(temporary, sizeof temporary, "%s.new", path);
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1)
        return errno;
    errno = 0;
    const bool written = write(fd, text, length) == ssize_t(length);
    int error = written ? 0 : (errno != 0 ? errno : ENOSPC);      // a short write: the file system is full
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary, path) != 0)
        error = errno;
    if (error != 0)
        unlink(temporary);
    return error;
}

bool verdict_read(const char* path, Verdict* verdict)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    char text[257];
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    return verdict_parse(text, verdict);
}

void verdict_loss_text(char (&text)[16], uint32_t probes, uint32_t lost)
{
    text[0] = '\0';
    if (probes != 0)
        snprintf(text, sizeof text, "%" PRIu32, uint32_t((uint64_t(lost) * 200 + probes) / (2 * uint64_t(probes))));
}

void verdict_rtt_text(char (&text)[16], uint32_t probes, int64_t median_usec)
{
    text[0] = '\0';
    if (probes != 0 && median_usec >= 0)
        snprintf(text, sizeof text, "%.1f", double(median_usec) / 1000.0);
}

void verdict_describe_quality(char* text, size_t size, uint32_t probes, uint32_t lost, int64_t median_usec)
{
    char loss[16], rtt[16];
    verdict_loss_text(loss, probes, lost);
    verdict_rtt_text(rtt, probes, median_usec);
    if (rtt[0] != '\0')
        snprintf(text, size, "loss %s %% and median round-trip time %s ms over the last %" PRIu32 " probes", loss, rtt,
                 probes);
    else
        snprintf(text, size, "loss %s %% and no reply over the last %" PRIu32 " probes", loss, probes);
}
