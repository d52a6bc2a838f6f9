// A file of the test's own under /tmp, removed when it goes out of scope.
#pragma once

#include <cstdlib>
#include <string>
#include <unistd.h>

struct TempFile {
    std::string path;
    explicit TempFile(const char* name)
    {
        std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
        int fd = mkstemp(pattern.data());
        if (fd != -1) {
            close(fd);
            path = pattern;
        }
    }
    ~TempFile()
    {
        if (!path.empty())
            unlink(path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};
