#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "availability/availability.h"
#include "host/fake_host.h"

namespace {

constexpr time_t T0 = 1800000000;

struct Ledger {
    AvailabilityRecord record{};
    AvailabilityRun run{};
    void begin(bool continuation, time_t now) { availability_setup(record, run, continuation, now); }
    void update(uint32_t streak, time_t now) { availability_account(record, run, streak, now); }
};

TEST(AvailabilityAccounting, FreshRecordFirstSuccessCountsFromStart)
{
    Ledger l;
    l.begin(false, T0);
    EXPECT_EQ(l.record.start_time, T0);
    l.update(0, T0 + 30);
    EXPECT_EQ(l.record.available, 30u);
    EXPECT_EQ(l.record.monitored, 30u);
    EXPECT_EQ(l.record.elapsed, 30u);
    l.update(0, T0 + 90);
    EXPECT_EQ(l.record.available, 90u);
    EXPECT_EQ(l.run.avail_since, T0);
}

TEST(AvailabilityAccounting, OutageBanksThePeriodAndRecoveryOpensANewOne)
{
    Ledger l;
    l.begin(false, T0);
    l.update(0, T0 + 10);
    l.update(1, T0 + 20);                // outage: the period T0..T0+20 is banked
    EXPECT_EQ(l.record.available, 20u);
    EXPECT_EQ(l.run.avail_since, 0);
    l.update(2, T0 + 40);
    EXPECT_EQ(l.record.available, 20u);
    EXPECT_EQ(l.record.monitored, 40u);
    l.update(0, T0 + 50);                // recovery: a period opens now
    EXPECT_EQ(l.record.available, 20u);
    EXPECT_EQ(l.run.avail_since, T0 + 50);
    l.update(0, T0 + 65);
    EXPECT_EQ(l.record.available, 35u);
    EXPECT_EQ(l.record.monitored, 65u);
}

TEST(AvailabilityAccounting, ACycleSavedByFailoverKeepsThePeriodClosed)
{
    Ledger l;
    l.begin(false, T0);
    l.update(0, T0 + 10);
    l.update(1, T0 + 20);
    l.update(1, T0 + 30);                // saved by the fail-over probe: streak stays 1
    EXPECT_EQ(l.record.available, 20u);
    EXPECT_EQ(l.run.avail_since, 0);
}

TEST(AvailabilityAccounting, RestartWithoutContinuationSkipsTheGap)
{
    Ledger l;
    l.record = {T0, 1000, 900, 800};
    l.begin(false, T0 + 5000);           // down for 4000 s
    l.update(0, T0 + 5010);              // a period opens at this first success
    EXPECT_EQ(l.record.available, 800u);
    EXPECT_EQ(l.record.monitored, 910u);
    EXPECT_EQ(l.record.elapsed, 5010u);
    l.update(0, T0 + 5030);
    EXPECT_EQ(l.record.available, 820u);
    EXPECT_EQ(l.record.monitored, 930u);
}

TEST(AvailabilityAccounting, RestartWithContinuationCountsTheGap)
{
    Ledger l;
    l.record = {T0, 1000, 900, 800};
    l.begin(true, T0 + 5000);            // the last write was at T0 + 1000
    EXPECT_EQ(l.run.run_ref, T0 + 1000);
    l.update(0, T0 + 5010);
    EXPECT_EQ(l.record.available, 800u + 4010u);
    EXPECT_EQ(l.record.monitored, 900u + 4010u);
}

TEST(AvailabilityAccounting, AFailedCycleRightAfterAContinuationStartBanksTheGap)
{
    Ledger l;
    l.record = {T0, 1000, 900, 800};
    l.begin(true, T0 + 1100);
    l.update(1, T0 + 1110);
    EXPECT_EQ(l.record.available, 800u + 110u);
    EXPECT_EQ(l.run.avail_since, 0);
}

TEST(AvailabilityAccounting, AClockSetBackNeverWrapsACounter)
{
    Ledger l;
    l.begin(false, T0);
    l.update(0, T0 + 100);
    l.update(0, T0 - 3600);               // stepped back an hour
    EXPECT_EQ(l.record.available, 0u);
    EXPECT_EQ(l.record.monitored, 0u);
    EXPECT_EQ(l.record.elapsed, 0u);
    l.update(1, T0 - 3500);
    EXPECT_EQ(l.record.available, 0u);
    EXPECT_LT(l.record.monitored, 1000000u);
    // A record from the future (start after now) counts nothing either.
    Ledger future;
    future.record = {T0 + 86400, 10, 10, 10};
    future.begin(true, T0);
    future.update(0, T0 + 5);
    EXPECT_EQ(future.record.elapsed, 0u);
    EXPECT_EQ(future.record.monitored, 10u);
    EXPECT_EQ(future.record.available, 10u);
}

class AvailabilityFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/tolvin-avail-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        dir = root + "/tolvin";
        path = dir + "/availability.dat";
        fake_host_reset(T0);
    }
    void TearDown() override
    {
        unlink(path.c_str());
        rmdir(dir.c_str());
        rmdir(root.c_str());
    }
    std::string contents() const
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void write(const std::string& text) const
    {
        mkdir(dir.c_str(), 0700);
        std::ofstream(path) << text;
    }
    std::string root, dir, path;
};

TEST_F(AvailabilityFile, FirstStartCreatesDirectoryAndFile)
{
    ASSERT_TRUE(availability_open(dir.c_str(), path.c_str()));
    EXPECT_EQ(contents(), "0\n0\n0\n0\n");
    availability_begin(false, T0);
    availability_update(0, T0 + 42);
    EXPECT_EQ(contents(), "1800000000\n42\n42\n42\n");
    EXPECT_TRUE(fake_host.log.empty());
}

TEST_F(AvailabilityFile, ReadsTheStoredNumbersAndRewritesInPlace)
{
    write("1700000000\n123456789\n99999\n88888\n");
    struct stat before;
    stat(path.c_str(), &before);
    ASSERT_TRUE(availability_open(dir.c_str(), path.c_str()));
    EXPECT_EQ(availability_record().monitored, 99999u);
    availability_begin(false, T0);
    availability_update(1, T0 + 1);
    // Shorter than before: cut to its own length; the same file (inode).
    EXPECT_EQ(contents(), "1700000000\n100000001\n100000\n88888\n");
    struct stat after;
    stat(path.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(AvailabilityFile, ShortRecordIsLoggedAndTheRestIsZero)
{
    write("1700000000\n77\n");
    ASSERT_TRUE(availability_open(dir.c_str(), path.c_str()));
    EXPECT_EQ(availability_record().start_time, 1700000000);
    EXPECT_EQ(availability_record().elapsed, 77u);
    EXPECT_EQ(availability_record().monitored, 0u);
    ASSERT_EQ(fake_host.log.size(), 1u);
    EXPECT_EQ(fake_host.log[0].priority, LOG_ERR);
    EXPECT_EQ(fake_host.log[0].text.rfind("Can not read data about availability from \"" + path + "\": ", 0), 0u);
}

TEST_F(AvailabilityFile, ASecondHolderStopsAtTheLock)
{
    write("1\n2\n3\n4\n");
    FILE* other = fopen(path.c_str(), "r");
    ASSERT_EQ(flock(fileno(other), LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(availability_open(dir.c_str(), path.c_str()));
    fclose(other);
    ASSERT_EQ(fake_host.log.size(), 1u);
    EXPECT_EQ(fake_host.log[0].text,
              "Can not get exclusive access to file \"" + path +
                  "\" (an instance alread running?): Resource temporarily unavailable");
}

TEST_F(AvailabilityFile, UncreatableDirectoryIsLoggedThenTheFileFails)
{
    std::string blocked = root + "/file-not-dir";
    std::ofstream(blocked) << "x";
    std::string inside = blocked + "/tolvin";
    std::string file = inside + "/availability.dat";
    EXPECT_FALSE(availability_open(inside.c_str(), file.c_str()));
    ASSERT_EQ(fake_host.log.size(), 1u);
    EXPECT_EQ(fake_host.log[0].text,
              "Can not open file \"" + file +
                  "\" with data about availability for reading/writing: Not a directory");
    unlink(blocked.c_str());

    fake_host.log.clear();
    std::string missing_parent = root + "/a/b";
    std::string missing_file = missing_parent + "/availability.dat";
    EXPECT_FALSE(availability_open(missing_parent.c_str(), missing_file.c_str()));
    ASSERT_EQ(fake_host.log.size(), 2u);
    EXPECT_EQ(fake_host.log[0].text, "Can not create folder \"" + missing_parent +
                                         "\" for data about availability: No such file or directory");
    EXPECT_EQ(fake_host.log[1].text, "Can not create file \"" + missing_file +
                                         "\" for data about availability: No such file or directory");
}

} // namespace
