#include "tests/unit/fake_runner.h"

#include <cstdarg>

#include "alarm/runner.h"

FakeRunner fake_runner;

void fake_runner_reset()
{
    fake_runner = FakeRunner{};
}

namespace {

int32_t record(const char* const* environment, const char* path, va_list args)
{
    std::vector<std::string> argv{path};
    for (const char* arg = va_arg(args, const char*); arg != nullptr; arg = va_arg(args, const char*))
        argv.push_back(arg);
    fake_runner.calls.push_back(argv);
    std::vector<std::string> added;
    for (const char* const* variable = environment; variable != nullptr && *variable != nullptr; ++variable)
        added.push_back(*variable);
    fake_runner.environments.push_back(added);
    if (fake_runner.statuses.empty())
        return 1 << 8;
    int32_t status = fake_runner.statuses.front();
    fake_runner.statuses.pop_front();
    return status;
}

} // namespace

void run_program_limit(uint32_t) {}

int32_t run_program(const char* path, ...)
{
    va_list args;
    va_start(args, path);
    const int32_t status = record(nullptr, path, args);
    va_end(args);
    return status;
}

int32_t run_program_with(const char* const* environment, const char* path, ...)
{
    va_list args;
    va_start(args, path);
    const int32_t status = record(environment, path, args);
    va_end(args);
    return status;
}
