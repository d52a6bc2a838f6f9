#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "alarm/runner.h"
#include "host/fake_host.h"
#include <syslog.h>
#include "tests/unit/temp_file.h"

#ifndef FD_REPORT_PATH
#error "FD_REPORT_PATH must name the fd_report helper"
#endif

namespace {

class RunProgram : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(report.empty()); }

    std::vector<std::string> lines(const char* prefix)
    {
        std::ifstream in(report);
        std::vector<std::string> found;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line.substr(strlen(prefix)));
        }
        return found;
    }
    TempFile file{"tolvin-runner"};
    const std::string& report = file.path;
};

TEST_F(RunProgram, ArgumentsArriveAsTheyWereGiven)
{
    const char* tricky = "-c darnoq";
    const char* code = "R1 \"main\"; $(touch /tmp/tolvin-pwned) `id` && rm -rf x | y > z";
    int32_t status = run_program(FD_REPORT_PATH, report.c_str(), tricky, code, "", "*",
                                 static_cast<const char*>(nullptr));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(lines("arg "), (std::vector<std::string>{FD_REPORT_PATH, report, tricky, code, "", "*"}));
    EXPECT_NE(access("/tmp/tolvin-pwned", F_OK), 0);
}

TEST_F(RunProgram, AtMost62ArgumentsArePassed)
{
    std::vector<std::string> numbers;
    for (int i = 0; i < 70; ++i)
        numbers.push_back(std::to_string(i));
    const char* a[70];
    for (int i = 0; i < 70; ++i)
        a[i] = numbers[i].c_str();
    // 1 report path + 69 more given; 62 arguments survive: the path and 0..60.
    run_program(FD_REPORT_PATH, report.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                a[9], a[10], a[11], a[12], a[13], a[14], a[15], a[16], a[17], a[18], a[19], a[20], a[21],
                a[22], a[23], a[24], a[25], a[26], a[27], a[28], a[29], a[30], a[31], a[32], a[33], a[34],
                a[35], a[36], a[37], a[38], a[39], a[40], a[41], a[42], a[43], a[44], a[45], a[46], a[47],
                a[48], a[49], a[50], a[51], a[52], a[53], a[54], a[55], a[56], a[57], a[58], a[59], a[60],
                a[61], a[62], a[63], a[64], a[65], a[66], a[67], a[68],
                static_cast<const char*>(nullptr));
    std::vector<std::string> args = lines("arg ");
    ASSERT_EQ(args.size(), 63u);
    EXPECT_EQ(args[2], "0");
    EXPECT_EQ(args[62], "60");
}

TEST_F(RunProgram, ChildHoldsOnlyDevNullOnItsStandardDescriptors)
{
    int leaky = open("/dev/zero", O_RDONLY);         // no close-on-exec
    ASSERT_NE(leaky, -1);
    ASSERT_NE(dup2(leaky, 200), -1);
    int32_t status = run_program(FD_REPORT_PATH, report.c_str(), static_cast<const char*>(nullptr));
    close(leaky);
    close(200);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(lines("fd "), (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
}

TEST_F(RunProgram, ClosesEverythingUpToALargeDescriptorLimit)
{
    // 1048576 where this process may raise its limit that far, else as far
    // as its hard limit goes.
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit large = {1048576, 1048576};
    if (setrlimit(RLIMIT_NOFILE, &large) != 0) {
        large = {saved.rlim_max, saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &large), 0);
    }
    const int top = int(large.rlim_cur) - 1;
    int high = dup2(STDERR_FILENO, top);
    ASSERT_EQ(high, top);
    int32_t status = run_program(FD_REPORT_PATH, report.c_str(), static_cast<const char*>(nullptr));
    close(high);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(lines("fd ").size(), 3u);
}

TEST_F(RunProgram, OutputNeverReachesTheCallersDescriptors)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int saved_out = dup(STDOUT_FILENO);
    int saved_err = dup(STDERR_FILENO);
    fflush(stdout);
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    int32_t status = run_program("/bin/sh", "-c", "echo out; echo err >&2; exit 7",
                                 static_cast<const char*>(nullptr));
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    close(pipe_fds[1]);
    char buffer[64];
    EXPECT_EQ(read(pipe_fds[0], buffer, sizeof buffer), 0);
    close(pipe_fds[0]);
    EXPECT_EQ(status, 7 << 8);                        // the raw wait status
}

TEST_F(RunProgram, MissingProgramExitsWith1)
{
    EXPECT_EQ(run_program("/nonexistent/tolvin-tool", "x", static_cast<const char*>(nullptr)), 256);
    EXPECT_EQ(run_program("tolvin-no-such-tool-on-path", static_cast<const char*>(nullptr)), 256);
}

TEST_F(RunProgram, PathWithoutSlashIsLookedUpAlongPath)
{
    EXPECT_EQ(run_program("true", static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(run_program("false", static_cast<const char*>(nullptr)), 256);
}

// Gone, or ended and waiting for its parent (init, for an orphan).
bool ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
}

bool ends_within_seconds(pid_t pid, int seconds)
{
    for (int i = 0; i < seconds * 100 && !ended(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ended(pid);
}

// A tool that never returns is stopped at the limit with what it started;
// one that ignores SIGTERM is killed 5 s later. The next runs get their time.
TEST_F(RunProgram, AProgramPastItsTimeIsStoppedWithItsGroup)
{
    fake_host_reset(0);
    run_program_limit(1);
    const std::string script = "sleep 300 & echo $! >" + report + "; exec sleep 300";
    auto began = std::chrono::steady_clock::now();
    const int32_t status = run_program("/bin/sh", "-c", script.c_str(), static_cast<const char*>(nullptr));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_GE(seconds, 1.0);
    EXPECT_LT(seconds, 4.0);
    std::ifstream in(report);
    pid_t background = 0;
    in >> background;
    ASSERT_GT(background, 0);
    EXPECT_TRUE(ends_within_seconds(background, 5));
    EXPECT_EQ(fake_host.log, (std::vector<LoggedLine>{{LOG_WARNING, "/bin/sh did not end within 1 s: stopped"}}));

    began = std::chrono::steady_clock::now();
    EXPECT_EQ(run_program("/bin/sh", "-c", "trap '' TERM; exec sleep 300", static_cast<const char*>(nullptr)) & 0x7f,
              SIGKILL);
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 6.0);
    EXPECT_EQ(run_program("/bin/sh", "-c", "exit 3", static_cast<const char*>(nullptr)), 3 << 8);
    run_program_limit(0);
}

} // namespace
