// Preloaded into the daemon by the end-to-end tests: a select() that, like
// musl's and libfaketime's, never writes the time left back into its timeout
// (it hands the kernel a copy). Says once on standard error that it is in use.
#include <cstdio>
#include <dlfcn.h>
#include <sys/select.h>
#include <unistd.h>

extern "C" int select(int count, fd_set* read_set, fd_set* write_set, fd_set* error_set,
                      timeval* timeout)
{
    static auto real = reinterpret_cast<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>(
        dlsym(RTLD_NEXT, "select"));
    static bool told = false;
    if (!told) {
        told = true;
        static const char line[] = "select_keeps_timeout: in use\n";
        (void)!write(2, line, sizeof line - 1);
    }
    timeval copy;
    timeval* passed = nullptr;
    if (timeout != nullptr) {
        copy = *timeout;
        passed = &copy;
    }
    return real(count, read_set, write_set, error_set, passed);
}
