#include "host/host.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/reboot.h>
#include <sys/select.h>
#include <syslog.h>
#include <unistd.h>

time_t host_time()
{
    return time(nullptr);
}

uint64_t host_monotonic_nsec()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

int host_wait_readable(int fd, uint64_t wait_usec)
{
    // select() may or may not write the time left back into its timeout
    // (Linux's does, musl's and libfaketime's do not); this copy is thrown
    // away either way.
    timeval timeout = {time_t(wait_usec / 1000000u), suseconds_t(wait_usec % 1000000u)};
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(fd, &read_set);
    int ready = select(fd + 1, &read_set, nullptr, nullptr, &timeout);
    if (ready <= 0)
        return ready < 0 ? -1 : 0;
    return FD_ISSET(fd, &read_set) ? 1 : 0;
}

void host_sleep(unsigned seconds)
{
    sleep(seconds);
}

void host_log(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

bool host_process_alive(int32_t pid)
{
    if (pid <= 0)
        return false;                       // 0 and below name process groups
    if (kill(pid, 0) == -1 && errno != EPERM)
        return false;
    // It exists; a zombie is listed until its parent reaps it, but has ended.
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return true;                        // no /proc: existing is running
    char stat[512];
    ssize_t length = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (length <= 0)
        return true;
    stat[length] = '\0';
    // "pid (comm) S ...": the state follows the last ')', since comm may hold one.
    const char* end_of_name = strrchr(stat, ')');
    if (end_of_name == nullptr || end_of_name[1] != ' ')
        return true;
    char state = end_of_name[2];
    return state != 'Z' && state != 'X';
}

void host_reboot()
{
    sync();
    reboot(RB_AUTOBOOT);
}
