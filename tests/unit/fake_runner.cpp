#include "tests/unit/fake_runner.h"

#include <cstdarg>

#include "alarm/runner.h"

FakeRunner fake_runner;

void fake_runner_reset()
{
    fake_runner = FakeRunner{};
}

int32_t run_program(const char* path, ...)
{
    std::vector<std::string> argv{path};
    va_list args;
    va_start(args, path);
    for (const char* arg = va_arg(args, const char*); arg != nullptr; arg = va_arg(args, const char*))
        argv.push_back(arg);
    va_end(args);
    fake_runner.calls.push_back(argv);
    if (fake_runner.statuses.empty())
        return 1 << 8;
    int32_t status = fake_runner.statuses.front();
    fake_runner.statuses.pop_front();
    return status;
}
