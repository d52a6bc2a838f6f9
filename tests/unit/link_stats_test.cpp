#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "stats/link_stats.h"
#include "stats/link_stats_reader.h"

namespace {

constexpr int32_t NONE = -1;

struct Block {
    std::unique_ptr<LinkStats> stats = std::make_unique<LinkStats>();
    Block()
    {
        memset(stats.get(), 0x5A, sizeof(LinkStats));   // what an earlier run left
        link_stats_reset(stats.get());
    }
    LinkStats* operator->() { return stats.get(); }
    void record(int32_t rtt, uint32_t s, int32_t time = 1000) { link_stats_record(stats.get(), time, rtt, s); }
};

TEST(LinkStats, ResetValuesAndTagBytes)
{
    Block b;
    EXPECT_EQ(b->probes, 0u);
    EXPECT_EQ(b->replies, 0u);
    EXPECT_EQ(b->rtt_min, NONE);
    EXPECT_EQ(b->rtt_max, NONE);
    EXPECT_EQ(b->rtt_sum, 0u);
    EXPECT_EQ(b->rtt_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->jitter_sum, 0u);
    EXPECT_EQ(b->jitter_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->window_probes, 0u);
    EXPECT_EQ(b->window_replies, 0u);
    EXPECT_EQ(b->window_rtt_min, NONE);
    EXPECT_EQ(b->window_rtt_max, NONE);
    EXPECT_EQ(b->window_rtt_sum, 0u);
    EXPECT_EQ(b->window_rtt_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->window_jitter_sum, 0u);
    EXPECT_EQ(b->window_jitter_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->sample_count, 0u);
    // "data" from the most significant byte down, in native order.
    const auto* bytes = reinterpret_cast<const uint8_t*>(b.stats.get());
    const uint8_t tag[4] = {'d', 'a', 't', 'a'};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(bytes[76 + i], std::endian::native == std::endian::little ? tag[3 - i] : tag[i]) << i;
    // Padding and ring entries are left as they were.
    EXPECT_EQ(b->padding_28, 0x5A5A5A5Au);
    EXPECT_EQ(b->padding_120084, 0x5A5A5A5Au);
    EXPECT_EQ(b->samples[0].rtt, 0x5A5A5A5A);
}

// The bytes a reader finds at an offset: the value in the machine's order.
template <typename T>
void expect_native_at(const LinkStats& stats, size_t offset, T value)
{
    uint8_t expected[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) {
        size_t shift = std::endian::native == std::endian::little ? i : sizeof(T) - 1 - i;
        expected[i] = uint8_t(uint64_t(value) >> (8 * shift));
    }
    EXPECT_EQ(memcmp(reinterpret_cast<const uint8_t*>(&stats) + offset, expected, sizeof(T)), 0)
        << "offset " << offset;
}

TEST(LinkStats, FieldsSitAtTheirOffsetsInNativeOrder)
{
    Block b;
    b.record(0x01020304, 0, 0x0A0B0C0D);
    b.record(0x01020310, 0, 0x0A0B0C0E);
    const LinkStats& s = *b.stats;
    expect_native_at<uint32_t>(s, 0, 2);                       // probes
    expect_native_at<uint32_t>(s, 4, 2);                       // replies
    expect_native_at<int32_t>(s, 8, 0x01020304);               // rtt_min
    expect_native_at<int32_t>(s, 12, 0x01020310);              // rtt_max
    expect_native_at<uint64_t>(s, 16, 0x02040614ull);          // rtt_sum
    expect_native_at<uint32_t>(s, 24, 0x0102030A);             // rtt_avg
    expect_native_at<uint64_t>(s, 32, 12);                     // jitter_sum
    expect_native_at<uint32_t>(s, 40, 12);                     // jitter_avg
    expect_native_at<uint32_t>(s, 52, 0xFFFFFFFF);             // window_rtt_min, S = 0
    expect_native_at<uint32_t>(s, 76, 0x64617461);             // tag
    expect_native_at<uint32_t>(s, 80, 2);                      // sample_count
    expect_native_at<int32_t>(s, 84, 0x0A0B0C0D);              // samples[0].timestamp
    expect_native_at<int32_t>(s, 88, 0x01020304);              // samples[0].rtt
    expect_native_at<int32_t>(s, 92, -1);                      // samples[0].jitter
    expect_native_at<int32_t>(s, 96 + 8, 12);                  // samples[1].jitter
}

TEST(LinkStats, FirstAndSecondSuccessAcrossFailures)
{
    Block b;
    b.record(500, 10, 1);
    EXPECT_EQ(b->samples[0].timestamp, 1);
    EXPECT_EQ(b->samples[0].rtt, 500);
    EXPECT_EQ(b->samples[0].jitter, NONE);
    EXPECT_EQ(b->rtt_min, 500);
    EXPECT_EQ(b->rtt_max, 500);
    EXPECT_EQ(b->rtt_avg, 500u);
    EXPECT_EQ(b->jitter_avg, 0xFFFFFFFFu);
    b.record(NONE, 10, 2);
    b.record(NONE, 10, 3);
    b.record(200, 10, 4);
    EXPECT_EQ(b->samples[3].jitter, 300);      // the failed entries are skipped
    EXPECT_EQ(b->jitter_sum, 300u);
    EXPECT_EQ(b->jitter_avg, 300u);
    EXPECT_EQ(b->rtt_avg, 350u);
    EXPECT_EQ(b->rtt_min, 200);
    EXPECT_EQ(b->probes, 4u);
    EXPECT_EQ(b->replies, 2u);
    EXPECT_EQ(b->sample_count, 4u);
}

TEST(LinkStats, OnlyFailuresChangeOnlyCounts)
{
    Block b;
    for (int i = 0; i < 7; ++i)
        b.record(NONE, 5);
    EXPECT_EQ(b->probes, 7u);
    EXPECT_EQ(b->sample_count, 7u);
    EXPECT_EQ(b->window_probes, 5u);
    EXPECT_EQ(b->replies, 0u);
    EXPECT_EQ(b->rtt_min, NONE);
    EXPECT_EQ(b->rtt_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->jitter_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->window_rtt_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->window_rtt_max, NONE);
}

TEST(LinkStats, TheRingMovesDownOnceFull)
{
    Block b;
    for (int32_t i = 0; i < 10001; ++i)
        b.record(i, 0, i);
    EXPECT_EQ(b->sample_count, 10000u);
    EXPECT_EQ(b->samples[0].timestamp, 1);       // the former entry 1
    EXPECT_EQ(b->samples[9999].timestamp, 10000);
    EXPECT_EQ(b->samples[9999].rtt, 10000);
    EXPECT_EQ(b->samples[9999].jitter, 1);
    EXPECT_EQ(b->probes, 10001u);
}

TEST(LinkStats, ASuccessAfter9999FailuresFindsNoEarlierSuccess)
{
    Block b;
    b.record(100, 0);
    b.record(300, 0);                             // jitter 200
    for (int i = 0; i < 9999; ++i)
        b.record(NONE, 0);
    ASSERT_EQ(b->sample_count, 10000u);
    b.record(50, 0);                              // both successes have left the ring
    EXPECT_EQ(b->samples[9999].jitter, NONE);
    EXPECT_EQ(b->jitter_sum, 200u);
    EXPECT_EQ(b->jitter_avg, 100u);               // 200 / (3 - 1)
    EXPECT_EQ(b->rtt_avg, 150u);
}

TEST(LinkStats, WindowOfThree)
{
    Block b;
    b.record(10, 3);
    b.record(20, 3);
    b.record(30, 3);
    EXPECT_EQ(b->window_rtt_avg, 20u);
    EXPECT_EQ(b->window_rtt_min, 10);
    EXPECT_EQ(b->window_rtt_max, 30);
    EXPECT_EQ(b->window_jitter_avg, 10u);
    EXPECT_EQ(b->window_rtt_sum, 60u);
    b.record(NONE, 3);                            // the 10 leaves the window
    EXPECT_EQ(b->window_probes, 3u);
    EXPECT_EQ(b->window_replies, 2u);
    EXPECT_EQ(b->window_rtt_sum, 50u);
    EXPECT_EQ(b->window_rtt_avg, 25u);
    EXPECT_EQ(b->window_rtt_min, 20);
    EXPECT_EQ(b->window_rtt_max, 30);
    EXPECT_EQ(b->window_jitter_sum, 20u);
    EXPECT_EQ(b->window_jitter_avg, 10u);
}

TEST(LinkStats, WindowOfOne)
{
    Block b;
    b.record(40, 1);
    b.record(70, 1);
    EXPECT_EQ(b->window_replies, 1u);
    EXPECT_EQ(b->window_rtt_min, 70);
    EXPECT_EQ(b->window_rtt_max, 70);
    EXPECT_EQ(b->window_rtt_avg, 70u);
    EXPECT_EQ(b->window_jitter_avg, 30u);
    b.record(NONE, 1);
    EXPECT_EQ(b->window_replies, 0u);
    EXPECT_EQ(b->window_rtt_min, NONE);
    EXPECT_EQ(b->window_rtt_max, NONE);
    EXPECT_EQ(b->window_rtt_avg, 0xFFFFFFFFu);
    EXPECT_EQ(b->window_jitter_avg, 0xFFFFFFFFu);
    b.record(NONE, 1);
    b.record(55, 1);                              // jitter against the 70, still in the ring
    EXPECT_EQ(b->window_rtt_avg, 55u);
    EXPECT_EQ(b->window_jitter_avg, 15u);
}

TEST(LinkStats, WindowOfOneWithoutJitterAveragesZero)
{
    Block b;
    b.record(NONE, 1);
    b.record(NONE, 1);
    b.record(80, 1);                              // first success: no jitter
    EXPECT_EQ(b->window_replies, 1u);
    EXPECT_EQ(b->window_rtt_avg, 80u);
    EXPECT_EQ(b->window_jitter_avg, 0u);
}

TEST(LinkStats, EmptyWindow)
{
    Block b;
    for (int32_t rtt : {10, NONE, 30, 0, 25}) {
        b.record(rtt, 0);
        EXPECT_EQ(b->window_probes, 0u);
        EXPECT_EQ(b->window_replies, 0u);
        EXPECT_EQ(b->window_rtt_sum, 0u);
        EXPECT_EQ(b->window_jitter_sum, 0u);     // also after the 0 us reply with jitter 30
        EXPECT_EQ(b->window_rtt_avg, 0xFFFFFFFFu);
        EXPECT_EQ(b->window_rtt_min, NONE);
        EXPECT_EQ(b->window_rtt_max, NONE);
    }
}

TEST(LinkStats, AReplyOf0usTakesItsJitterAlongWhenItLeaves)
{
    Block b;
    b.record(40, 2);
    b.record(0, 2);                               // jitter 40
    b.record(10, 2);                              // jitter 10; the 40 leaves
    b.record(10, 2);                              // jitter 0; the 0 us reply leaves
    EXPECT_EQ(b->window_jitter_sum, 10u);         // 10 + 0, not 50
    EXPECT_EQ(b->window_jitter_avg, 5u);
}

TEST(LinkStats, WindowSuccessCountIgnoresTheLeavingSample)
{
    Block b;
    b.record(NONE, 3);
    b.record(10, 3);
    b.record(20, 3);
    b.record(NONE, 3);                            // a failure leaves, a failure comes
    EXPECT_EQ(b->window_replies, 1u);             // counted down all the same
    b.record(30, 3);
    b.record(40, 3);
    b.record(50, 3);
    b.record(60, 3);
    EXPECT_EQ(b->window_replies, 3u);             // never above S
}

TEST(LinkStats, MinimumRescanIgnoresFailuresAndTheCeiling)
{
    Block b;
    b.record(3000000, 2);
    b.record(3000000, 2);
    EXPECT_EQ(b->window_rtt_min, 3000000);        // copied from the long-term minimum
    b.record(3000000, 2);                         // a 3000000 leaves: both rescanned
    EXPECT_EQ(b->window_rtt_max, 3000000);
    EXPECT_EQ(b->window_rtt_min, NONE);           // the rescan cannot tell 3000000 from none
    b.record(NONE, 2);
    b.record(NONE, 2);                            // no success left
    EXPECT_EQ(b->window_rtt_min, NONE);
    EXPECT_EQ(b->window_rtt_max, NONE);
}

TEST(LinkStats, WindowLargerThanTheRing)
{
    Block b;
    const uint32_t s = 12000;
    for (uint32_t i = 0; i < s; ++i)
        b.record(int32_t(i % 100), s);
    EXPECT_EQ(b->window_probes, s);
    EXPECT_EQ(b->window_replies, s);              // copy phase over all 12000
    EXPECT_EQ(b->window_rtt_avg, b->rtt_avg);
    b.record(NONE, s);                            // past S: the newest 9999 samples
    EXPECT_EQ(b->window_probes, 9999u);
    EXPECT_EQ(b->window_replies, 9998u);
    uint32_t sum = 0;
    for (uint32_t i = 10000 - 9999; i < 10000; ++i)
        sum += b->samples[i].rtt == NONE ? 0 : uint32_t(b->samples[i].rtt);
    EXPECT_EQ(b->window_rtt_sum, sum);
    EXPECT_EQ(b->window_rtt_min, 0);
    EXPECT_EQ(b->window_rtt_max, 99);
    for (int i = 0; i < 20000; ++i)
        b.record(i % 7 == 0 ? NONE : 500, s);
    EXPECT_EQ(b->window_probes, 9999u);
    EXPECT_EQ(b->window_rtt_min, 500);
    EXPECT_EQ(b->window_rtt_max, 500);
}

// A reference kept beside the block: every sample ever recorded, and the
// figures recomputed from them by plain loops.
struct Reference {
    uint32_t s;
    std::deque<LinkSample> ring;                  // the newest 10000
    uint64_t probes = 0, replies = 0, rtt_sum = 0, jitter_sum = 0;
    int32_t rtt_min = NONE, rtt_max = NONE;
    uint32_t window_replies = 0;
    bool extremes_exact = true;

    void record(int32_t time, int32_t rtt)
    {
        int32_t jitter = NONE;
        if (ring.size() == LINK_SAMPLES)
            ring.pop_front();
        if (rtt != NONE) {
            for (auto it = ring.rbegin(); it != ring.rend(); ++it) {
                if (it->rtt != NONE) {
                    jitter = std::abs(rtt - it->rtt);
                    break;
                }
            }
        }
        ring.push_back({time, rtt, jitter});
        ++probes;
        if (rtt != NONE) {
            ++replies;
            rtt_sum += uint64_t(rtt);
            if (jitter != NONE)
                jitter_sum += uint64_t(jitter);
            rtt_max = std::max(rtt_max, rtt);
            rtt_min = rtt_min == NONE ? rtt : std::min(rtt_min, rtt);
        }
        uint32_t w = effective_window();
        if (probes <= w) {
            window_replies = uint32_t(replies);
        } else if (s > LINK_WINDOW_MAX && probes == uint64_t(s) + 1) {
            window_replies = 0;
            for (auto e = window_begin(); e != ring.end(); ++e)
                window_replies += e->rtt != NONE;
        } else if (rtt != NONE) {
            window_replies = std::min(window_replies + 1, w);
        } else if (window_replies > 0) {
            --window_replies;
        }
    }
    uint32_t effective_window() const
    {
        return s > LINK_WINDOW_MAX && probes > s ? LINK_WINDOW_MAX : s;
    }
    std::deque<LinkSample>::const_iterator window_begin() const
    {
        return ring.end() - std::min<uint64_t>(effective_window(), probes);
    }
};

void check_against(const LinkStats& b, Reference& r, uint64_t step, bool whole_ring)
{
    SCOPED_TRACE(::testing::Message() << "S " << r.s << " step " << step);
    ASSERT_EQ(b.sample_count, r.ring.size());
    for (size_t i = whole_ring ? 0 : r.ring.size() - 1; i < r.ring.size(); ++i) {
        ASSERT_EQ(b.samples[i].timestamp, r.ring[i].timestamp) << i;
        ASSERT_EQ(b.samples[i].rtt, r.ring[i].rtt) << i;
        ASSERT_EQ(b.samples[i].jitter, r.ring[i].jitter) << i;
    }
    ASSERT_EQ(b.probes, r.probes);
    ASSERT_EQ(b.replies, r.replies);
    ASSERT_EQ(b.rtt_sum, r.rtt_sum);
    ASSERT_EQ(b.jitter_sum, r.jitter_sum);
    ASSERT_EQ(b.rtt_min, r.rtt_min);
    ASSERT_EQ(b.rtt_max, r.rtt_max);
    ASSERT_EQ(b.rtt_avg, r.replies ? uint32_t(r.rtt_sum / r.replies) : 0xFFFFFFFFu);
    if (r.replies > 1)
        ASSERT_EQ(b.jitter_avg, uint32_t(r.jitter_sum / (r.replies - 1)));
    else
        ASSERT_EQ(b.jitter_avg, 0xFFFFFFFFu);

    const uint32_t w = r.effective_window();
    ASSERT_EQ(b.window_probes, std::min<uint64_t>(r.probes, w));
    if (r.probes <= w) {                          // copy phase
        ASSERT_EQ(b.window_replies, b.replies);
        ASSERT_EQ(b.window_rtt_sum, uint32_t(b.rtt_sum));
        ASSERT_EQ(b.window_jitter_sum, uint32_t(b.jitter_sum));
        ASSERT_EQ(b.window_rtt_avg, b.rtt_avg);
        ASSERT_EQ(b.window_jitter_avg, b.jitter_avg);
        ASSERT_EQ(b.window_rtt_min, b.rtt_min);
        ASSERT_EQ(b.window_rtt_max, b.rtt_max);
        return;
    }
    uint32_t rtt_sum = 0, jitter_sum = 0;
    int32_t max = NONE, min = NONE;
    std::vector<int32_t> rtts;
    for (auto e = r.window_begin(); e != r.ring.end(); ++e) {
        if (e->rtt == NONE)
            continue;
        rtt_sum += uint32_t(e->rtt);
        if (e->jitter != NONE)
            jitter_sum += uint32_t(e->jitter);
        max = std::max(max, e->rtt);
        min = min == NONE ? e->rtt : std::min(min, e->rtt);
        rtts.push_back(e->rtt);
    }
    ASSERT_EQ(b.window_replies, r.window_replies);
    ASSERT_EQ(b.window_rtt_sum, rtt_sum);
    ASSERT_EQ(b.window_jitter_sum, jitter_sum);
    if (r.window_replies == 0) {
        ASSERT_EQ(b.window_rtt_avg, 0xFFFFFFFFu);
        ASSERT_EQ(b.window_jitter_avg, 0xFFFFFFFFu);
        ASSERT_EQ(b.window_rtt_min, NONE);
        ASSERT_EQ(b.window_rtt_max, NONE);
        // The success count can reach 0 while successes remain in the window;
        // from then on the extremes only follow what enters or is rescanned.
        if (!rtts.empty())
            r.extremes_exact = false;
        return;
    }
    ASSERT_EQ(b.window_rtt_avg, rtt_sum / r.window_replies);
    ASSERT_EQ(b.window_jitter_avg, jitter_sum / r.window_replies);
    if (r.extremes_exact) {
        ASSERT_EQ(b.window_rtt_max, max);
        ASSERT_EQ(b.window_rtt_min, min);
    } else {
        // Always a value from the window, never beyond its true extremes.
        auto held = [&](int32_t v) { return v == NONE || std::count(rtts.begin(), rtts.end(), v) > 0; };
        ASSERT_TRUE(held(b.window_rtt_max) && b.window_rtt_max <= max);
        ASSERT_TRUE(held(b.window_rtt_min) && (b.window_rtt_min == NONE || b.window_rtt_min >= min));
    }
}

class LinkStatsRandom : public ::testing::TestWithParam<uint32_t> {};

TEST_P(LinkStatsRandom, AgreesWithAReferenceAfterEveryRecord)
{
    const uint32_t s = GetParam();
    std::mt19937 random(20261208 + s);
    Block b;
    Reference r;
    r.s = s;
    const uint64_t steps = s > 100 ? 2 * uint64_t(std::min<uint32_t>(s, 12000)) + 3000 : 14000;
    for (uint64_t step = 0; step < steps; ++step) {
        // Phases of good and bad lines, so that windows fill, empty and refill.
        uint32_t phase = uint32_t(step / 700) % 4;
        uint32_t loss_percent = phase == 0 ? 2 : phase == 1 ? 40 : phase == 2 ? 100 : 10;
        int32_t rtt = random() % 100 < loss_percent ? NONE : int32_t(random() % 5000);
        if (random() % 50 == 0)
            rtt = rtt == NONE ? NONE : 0;
        int32_t time = int32_t(1800000000 + step);
        link_stats_record(b.stats.get(), time, rtt, s);
        r.record(time, rtt);
        // The whole ring is compared for the first steps and then at every
        // 97th; in between its newest entry.
        check_against(*b.stats, r, step, step < 3000 || step % 97 == 0);
        if (::testing::Test::HasFatalFailure())
            return;
        // A reader takes every whole record as whole.
        ASSERT_TRUE(link_stats_whole(*b.stats, s)) << "step " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, LinkStatsRandom,
                         ::testing::Values(0u, 1u, 3u, 100u, 9999u, 10000u, 11500u));

// A lossy line with S = 10: the block's own success count goes down after
// every loss whatever leaves the window, the ring's window is what happened.
TEST(RingWindow, ALossyLineAsTheRingHoldsIt)
{
    Block b;
    for (int32_t rtt : {3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000,
                        NONE, NONE, NONE, 3500, NONE, 3700, NONE, NONE, 3600, NONE})
        b.record(rtt, 10);
    const RingWindow w = link_window_from_ring(*b.stats, 10);
    EXPECT_EQ(w.probes, 10u);
    EXPECT_EQ(w.replies, 3u);
    EXPECT_EQ(w.rtt_min, 3500);
    EXPECT_EQ(w.rtt_max, 3700);
    EXPECT_EQ(w.rtt_mean, 3600);
    EXPECT_EQ(w.jitters, 3u);              // 500 after the 3000 that has left, 200, 100
    EXPECT_EQ(w.jitter_mean, 266);
    EXPECT_EQ(b->window_replies, 6u);       // 10, less 7 losses, plus 3 replies
    EXPECT_NE(b->window_replies, w.replies);
    // Fewer samples than S, and S = 0.
    EXPECT_EQ(link_window_from_ring(*b.stats, 100).probes, 20u);
    const RingWindow none = link_window_from_ring(*b.stats, 0);
    EXPECT_EQ(none.probes, 0u);
    EXPECT_EQ(none.rtt_mean, -1);
    EXPECT_EQ(none.jitter_mean, -1);
}

// What a reader may catch while the daemon, pre-empted, is half way through a
// record: each is refused; the block the record leaves is taken.
TEST(WholeBlock, EveryHalfDoneRecordIsRefused)
{
    Block b;
    for (int32_t rtt : {10, 20})
        b.record(rtt, 3, 1000);
    const LinkStats whole = *b.stats;
    ASSERT_TRUE(link_stats_whole(whole, 3));
    auto refused = [&](auto change) {
        auto copy = std::make_unique<LinkStats>(whole);
        change(*copy);
        return !link_stats_whole(*copy, 3);
    };
    EXPECT_TRUE(refused([](LinkStats& s) { s.sample_count = 3; }));               // entry added, not counted
    EXPECT_TRUE(refused([](LinkStats& s) { s.probes = 3; s.sample_count = 3; }));  // window not grown yet
    EXPECT_TRUE(refused([](LinkStats& s) { s.replies = 3; }));                     // more replies than probes
    EXPECT_TRUE(refused([](LinkStats& s) { s.window_replies = 1; }));              // copy not made yet
    EXPECT_TRUE(refused([](LinkStats& s) { s.rtt_sum += 30; }));                   // sum before the count
    EXPECT_TRUE(refused([](LinkStats& s) { s.jitter_avg = LINK_STATS_NONE; }));    // mean not yet taken
    EXPECT_TRUE(refused([](LinkStats& s) { s.rtt_min = -1; s.window_rtt_min = -1; }));
    EXPECT_TRUE(refused([](LinkStats& s) { s.samples[1].timestamp = 999; }));      // an earlier run's entry
    EXPECT_TRUE(refused([](LinkStats& s) { s.window_probes = 3; }));               // more than the probes

    // Sliding: the window's mean taken before its count.
    for (int32_t rtt : {30, NONE, 40})
        b.record(rtt, 3, 1001);
    ASSERT_TRUE(link_stats_whole(*b.stats, 3));
    b->window_rtt_avg += 1;
    EXPECT_FALSE(link_stats_whole(*b.stats, 3));
    b->window_rtt_avg -= 1;

    // Settings edited since the daemon started: a window of 3 read with S = 5
    // is no half-done record once it has slid more than once...
    EXPECT_TRUE(link_stats_whole(*b.stats, 5));
    // ...and a clock set back leaves the oldest sample newer than the newest.
    b->samples[0].timestamp = 5000;
    EXPECT_TRUE(link_stats_whole(*b.stats, 3));
}

} // namespace
