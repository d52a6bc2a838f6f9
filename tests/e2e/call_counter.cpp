// Preloaded into the daemon by the end-to-end tests: counts heap allocations,
// name resolutions and descriptor openings, and at every sendto() writes the
// running counts to standard error, so a test can see what each probe cycle
// costs.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
unsigned long allocations;
unsigned long resolutions;
unsigned long openings;

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);

void* malloc(size_t size)
{
    ++allocations;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    ++allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* old, size_t size)
{
    ++allocations;
    return __libc_realloc(old, size);
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result)
{
    ++resolutions;
    static auto real = next<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>("getaddrinfo");
    return real(node, service, hints, result);
}

int socket(int domain, int type, int protocol)
{
    ++openings;
    static auto real = next<int (*)(int, int, int)>("socket");
    return real(domain, type, protocol);
}

int open(const char* path, int flags, ...)
{
    ++openings;
    va_list args;
    va_start(args, flags);
    int mode = va_arg(args, int);
    va_end(args);
    static auto real = next<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) __attribute__((alias("open")));

FILE* fopen(const char* path, const char* mode)
{
    ++openings;
    static auto real = next<FILE* (*)(const char*, const char*)>("fopen");
    return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode) __attribute__((alias("fopen")));

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to, socklen_t to_length)
{
    char line[128];
    int n = snprintf(line, sizeof line, "sendto allocations=%lu resolutions=%lu openings=%lu\n",
                     allocations, resolutions, openings);
    if (n > 0)
        (void)!write(2, line, size_t(n));
    static auto real = next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
    return real(fd, data, length, flags, to, to_length);
}
}
