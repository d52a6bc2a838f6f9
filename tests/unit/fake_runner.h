// A recording run_program: every call's argument vector and added
// environment are kept, and the wait status comes from a script (exit code 1
// when the script is empty).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct FakeRunner {
    std::vector<std::vector<std::string>> calls;
    std::vector<std::vector<std::string>> environments;    // what each call added
    std::deque<int32_t> statuses;
};

extern FakeRunner fake_runner;

void fake_runner_reset();
