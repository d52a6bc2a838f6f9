#include "alarm/runner.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "host/host.h"

namespace {

uint32_t limit_seconds = RUN_PROGRAM_SECONDS_DEFAULT;

// Closes every descriptor from `lowest` up. close_range() does it in one call
// whatever the descriptor limit; the loop is for kernels without it.
void close_from(int lowest)
{
    if (syscall(SYS_close_range, unsigned(lowest), ~0u, 0u) == 0)
        return;
    for (int fd = getdtablesize() - 1; fd >= lowest; --fd)
        close(fd);
}

[[noreturn]] void run_child(const char* argv[], const char* const* environment, const sigset_t& mask)
{
    // A group of its own: a program that hangs is stopped with everything it
    // started.
    setpgid(0, 0);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != -1 && null_fd < 3) {
        // Keep it clear of the standard descriptors it is about to replace.
        int moved = fcntl(null_fd, F_DUPFD, 3);
        close(null_fd);
        null_fd = moved;
    }
    for (int fd = 0; fd < 3; ++fd) {
        if (null_fd != -1)
            dup2(null_fd, fd);
        else
            close(fd);
    }
    close_from(3);
    for (const char* const* variable = environment; variable != nullptr && *variable != nullptr; ++variable)
        putenv(const_cast<char*>(*variable));
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(1);
}

uint64_t monotonic_nsec()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

// Waits for the child until `deadline_nsec` (monotonic), woken by SIGCHLD,
// which the caller holds blocked. True, with its status, when it ended (or
// is no child to wait for: status -1).
bool wait_until(pid_t pid, uint64_t deadline_nsec, const sigset_t& child_signal, int* status)
{
    for (;;) {
        const pid_t ended = waitpid(pid, status, WNOHANG);
        if (ended == pid)
            return true;
        if (ended == -1 && errno != EINTR) {
            *status = -1;
            return true;
        }
        const uint64_t now = monotonic_nsec();
        if (now >= deadline_nsec)
            return false;
        const uint64_t left = deadline_nsec - now;
        const timespec wait = {time_t(left / 1000000000u), long(left % 1000000000u)};
        sigtimedwait(&child_signal, nullptr, &wait);
    }
}

int32_t run(const char* const* environment, const char* path, va_list args)
{
    const char* argv[RUN_PROGRAM_MAX_ARGS + 2];
    int count = 0;
    argv[count++] = path;
    for (const char* arg = va_arg(args, const char*); arg != nullptr; arg = va_arg(args, const char*)) {
        if (count <= RUN_PROGRAM_MAX_ARGS)
            argv[count++] = arg;
    }
    argv[count] = nullptr;

    // SIGCHLD held back from before the fork, so that its end is never missed.
    sigset_t child_signal, previous;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_signal, &previous);
    const uint64_t started = monotonic_nsec();
    pid_t pid = fork();
    if (pid == 0)
        run_child(argv, environment, previous);
    int status = -1;
    if (pid != -1) {
        setpgid(pid, pid);    // as the child does, whichever comes first
        if (!wait_until(pid, started + uint64_t(limit_seconds) * 1000000000u, child_signal, &status)) {
            host_log(LOG_WARNING, "%s did not end within %u s: stopped", path, limit_seconds);
            kill(-pid, SIGTERM);
            if (!wait_until(pid, monotonic_nsec() + uint64_t(RUN_PROGRAM_GRACE_SECONDS) * 1000000000u,
                            child_signal, &status)) {
                kill(-pid, SIGKILL);
                while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
                }
            }
            // What it left running in its group goes too.
            kill(-pid, SIGKILL);
        }
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

} // namespace

void run_program_limit(uint32_t seconds)
{
    limit_seconds = seconds != 0 ? seconds : RUN_PROGRAM_SECONDS_DEFAULT;
}

int32_t run_program(const char* path, ...)
{
    va_list args;
    va_start(args, path);
    const int32_t status = run(nullptr, path, args);
    va_end(args);
    return status;
}

int32_t run_program_with(const char* const* environment, const char* path, ...)
{
    va_list args;
    va_start(args, path);
    const int32_t status = run(environment, path, args);
    va_end(args);
    return status;
}
