// The wait for an echo reply against a scripted monotonic clock and readiness
// wait; the datagrams come through a real socket pair.
#include <array>
#include <cstring>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "probe/echo.h"
#include "probe/reply_wait.h"
#include "host/fake_host.h"

namespace {

constexpr uint64_t MS = 1000000;  // nanoseconds
constexpr uint32_t PAYLOAD = 4;

class ReplyWaitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_host_reset(1796693000);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends), 0);
        request.fill(0);
        echo_request_init(request.data(), uint32_t(request.size()), ECHO_REQUEST_TYPE_V4, 0x4321, 0x67);
        echo_request_next(request.data(), uint32_t(request.size()), true);   // sequence 1
        echo_request_next(request.data(), uint32_t(request.size()), true);   // sequence 2
        sent_nsec = fake_host.monotonic_nsec;
    }
    void TearDown() override
    {
        close(ends[0]);
        close(ends[1]);
    }

    // An IPv4 datagram as the raw socket delivers it: a 20-byte header, then
    // an echo reply carrying `sequence` and `payload` bytes.
    void queue_reply(uint16_t sequence, uint32_t payload = PAYLOAD)
    {
        std::vector<uint8_t> datagram(20 + ECHO_HEADER_BYTES + payload, 0x67);
        datagram[0] = 0x45;
        uint8_t* icmp = datagram.data() + 20;
        icmp[0] = 0;
        icmp[1] = 0;
        memcpy(icmp + 4, request.data() + 4, 2);
        icmp[6] = uint8_t(sequence >> 8);
        icmp[7] = uint8_t(sequence);
        ASSERT_EQ(send(ends[1], datagram.data(), datagram.size(), 0), ssize_t(datagram.size()));
    }
    void queue_empty_datagram() { ASSERT_EQ(send(ends[1], "", 0, 0), 0); }

    ProbeResult wait_for_reply(uint32_t timeout_seconds, uint32_t* rtt)
    {
        const ReplyWait wait = {ends[0], receive.data(), uint32_t(receive.size()), true,
                                request.data(), uint32_t(request.size()), PAYLOAD};
        return await_echo_reply(wait, timeout_seconds, sent_nsec, rtt);
    }
    uint64_t waited_nsec() const { return fake_host.monotonic_nsec - sent_nsec; }

    int ends[2] = {-1, -1};
    std::array<uint8_t, ECHO_HEADER_BYTES + PAYLOAD> request;
    std::array<uint8_t, 20 + ECHO_HEADER_BYTES + PAYLOAD> receive;
    uint64_t sent_nsec = 0;
};

TEST_F(ReplyWaitTest, TheReplyTimesFromTheSendToTheEndOfItsWait)
{
    queue_reply(2);
    fake_host.waits = {{5 * MS + 123456, 1}};
    uint32_t rtt = 0;
    EXPECT_EQ(wait_for_reply(1, &rtt), PROBE_REPLY);
    EXPECT_EQ(rtt, 5123u);                                  // truncated to microseconds
    EXPECT_EQ(fake_host.waits_asked_usec, (std::vector<uint64_t>{1000000}));
    EXPECT_TRUE(fake_host.log.empty());
}

TEST_F(ReplyWaitTest, ALateReplyIsDroppedAndTheWaitGoesOnWithWhatIsLeft)
{
    queue_reply(1);                                         // answers the request before
    queue_reply(2);
    fake_host.waits = {{300 * MS, 1}, {200 * MS + 999, 1}};
    uint32_t rtt = 0;
    EXPECT_EQ(wait_for_reply(1, &rtt), PROBE_REPLY);
    EXPECT_EQ(rtt, 500000u);
    EXPECT_EQ(fake_host.waits_asked_usec, (std::vector<uint64_t>{1000000, 700000}));
}

TEST_F(ReplyWaitTest, AStreamOfLateRepliesEndsAtTheDeadline)
{
    // A late reply every 150 ms: the waits shrink to the deadline, one more
    // that came in at the deadline is polled through, and the call ends 3 s
    // after the send.
    for (int i = 0; i < 20; ++i) {
        queue_reply(1);
        fake_host.waits.push_back({150 * MS, 1});
    }
    queue_reply(1);
    fake_host.waits.push_back({0, 1});
    uint32_t rtt = 7;
    EXPECT_EQ(wait_for_reply(3, &rtt), PROBE_NO_REPLY);
    EXPECT_EQ(rtt, 7u);                                     // untouched
    std::vector<uint64_t> expected;
    for (uint64_t left = 3000000; left > 0; left -= 150000)
        expected.push_back(left);
    expected.push_back(0);
    expected.push_back(0);                                  // the last poll finds the queue empty
    EXPECT_EQ(fake_host.waits_asked_usec, expected);
    EXPECT_EQ(waited_nsec(), 3000 * MS);
}

TEST_F(ReplyWaitTest, ATimeoutOf0PollsAndTimesAQueuedReplyAs0)
{
    queue_reply(1);
    queue_reply(2);
    fake_host.waits = {{20000, 1}, {20000, 1}};             // a poll still takes a little time
    uint32_t rtt = 7;
    EXPECT_EQ(wait_for_reply(0, &rtt), PROBE_REPLY);
    EXPECT_EQ(rtt, 0u);
    EXPECT_EQ(fake_host.waits_asked_usec, (std::vector<uint64_t>{0, 0}));

    rtt = 7;
    EXPECT_EQ(wait_for_reply(0, &rtt), PROBE_NO_REPLY);     // nothing queued: at once
    EXPECT_EQ(rtt, 7u);
}

TEST_F(ReplyWaitTest, AWaitThatEndsLateNeverMakesTheRoundTripExceedTheTimeout)
{
    queue_reply(2);
    fake_host.waits = {{2000 * MS + 400 * MS, 1}};          // the host was busy
    uint32_t rtt = 0;
    EXPECT_EQ(wait_for_reply(2, &rtt), PROBE_REPLY);
    EXPECT_EQ(rtt, 2000000u);
}

TEST_F(ReplyWaitTest, AnEmptyDatagramOrAFailedWaitChangesNoDeadline)
{
    queue_empty_datagram();
    fake_host.waits = {{100 * MS, 1}, {50 * MS, -1}};
    uint32_t rtt = 7;
    EXPECT_EQ(wait_for_reply(1, &rtt), PROBE_NO_REPLY);
    EXPECT_EQ(fake_host.waits_asked_usec, (std::vector<uint64_t>{1000000, 900000}));
    EXPECT_EQ(rtt, 7u);
}

TEST_F(ReplyWaitTest, AShortReplyCountsWithTheSizeWarning)
{
    queue_reply(2, 1);
    fake_host.waits = {{MS, 1}};
    uint32_t rtt = 0;
    EXPECT_EQ(wait_for_reply(1, &rtt), PROBE_REPLY);
    EXPECT_EQ(rtt, 1000u);
    EXPECT_EQ(fake_host.log, (std::vector<LoggedLine>{{LOG_WARNING,
        "ping reply has different size: send was 4 data bytes, received was 1 data bytes"}}));
}

} // namespace
