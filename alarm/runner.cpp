#include "alarm/runner.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Closes every descriptor from `lowest` up. close_range() does it in one call
// whatever the descriptor limit; the loop is for kernels without it.
void close_from(int lowest)
{
    if (syscall(SYS_close_range, unsigned(lowest), ~0u, 0u) == 0)
        return;
    for (int fd = getdtablesize() - 1; fd >= lowest; --fd)
        close(fd);
}

[[noreturn]] void run_child(const char* argv[])
{
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
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(1);
}

} // namespace

int32_t run_program(const char* path, ...)
{
    const char* argv[RUN_PROGRAM_MAX_ARGS + 2];
    int count = 0;
    argv[count++] = path;
    va_list args;
    va_start(args, path);
    for (const char* arg = va_arg(args, const char*); arg != nullptr; arg = va_arg(args, const char*)) {
        if (count <= RUN_PROGRAM_MAX_ARGS)
            argv[count++] = arg;
    }
    va_end(args);
    argv[count] = nullptr;

    pid_t pid = fork();
    if (pid == -1)
        return -1;
    if (pid == 0)
        run_child(argv);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}
