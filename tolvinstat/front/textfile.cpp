#include "tolvinstat/front/textfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int write_file_atomically(const char* directory, const char* name, const char* data, size_t length)
{
    char final_path[4096];
    char temporary[4096];
    if (snprintf(final_path, sizeof final_path, "%s/%s", directory, name) >= int(sizeof final_path)
        || snprintf(temporary, sizeof temporary, "%s/.%s.XXXXXX", directory, name) >= int(sizeof temporary))
        return ENAMETOOLONG;
    int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd == -1)
        return errno;
    int error = 0;
    if (fchmod(fd, 0644) == -1)
        error = errno;
    for (size_t done = 0; error == 0 && done < length;) {
        ssize_t written = write(fd, data + done, length - done);
        if (written < 0 && errno != EINTR)
            error = errno;
        else if (written > 0)
            done += size_t(written);
    }
    if (error == 0 && fsync(fd) == -1)
        error = errno;
    if (close(fd) == -1 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary, final_path) == -1)
        error = errno;
    if (error != 0)
        unlink(temporary);
    return error;
}
