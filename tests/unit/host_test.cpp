// The real host seam: the process check, the readiness wait and the clock.
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host/host.h"

namespace {

TEST(HostProcessAlive, ARunningChildAZombieAndAReapedOne)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        char c;
        while (read(ready[0], &c, 1) == -1) {}   // runs until the parent writes
        _exit(0);
    }
    close(ready[0]);
    EXPECT_TRUE(host_process_alive(child));
    ASSERT_EQ(write(ready[1], "x", 1), 1);
    close(ready[1]);
    // Ended but not reaped: listed as a zombie, not running.
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(host_process_alive(child));
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_FALSE(host_process_alive(child));
}

TEST(HostProcessAlive, GroupsAreNoProcesses)
{
    EXPECT_TRUE(host_process_alive(int32_t(getpid())));
    EXPECT_FALSE(host_process_alive(0));     // kill() would reach the process group
    EXPECT_FALSE(host_process_alive(-1));    // and every process
    EXPECT_FALSE(host_process_alive(int32_t(-getpgrp())));
}

TEST(HostWaitReadable, ReportsQueuedDataAndTimesOut)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends), 0);
    EXPECT_EQ(host_wait_readable(ends[0], 0), 0);              // a poll, nothing queued
    const uint64_t before_nsec = host_monotonic_nsec();
    EXPECT_EQ(host_wait_readable(ends[0], 20000), 0);
    EXPECT_GE(host_monotonic_nsec() - before_nsec, 20000000u); // it waited the time asked
    ASSERT_EQ(send(ends[1], "x", 1, 0), 1);
    EXPECT_EQ(host_wait_readable(ends[0], 0), 1);
    EXPECT_EQ(host_wait_readable(ends[0], 5000000), 1);
    close(ends[1]);
    close(ends[0]);
}

} // namespace
