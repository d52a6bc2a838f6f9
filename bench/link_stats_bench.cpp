// The cost of recording a sample once the ring is full, beside its floor: the
// 119988-byte move that keeps the ring in time order.
#include <cstring>
#include <memory>

#include <benchmark/benchmark.h>

#include "stats/link_stats.h"

namespace {

void fill(LinkStats* stats, uint32_t window)
{
    link_stats_reset(stats);
    for (uint32_t i = 0; i < LINK_SAMPLES; ++i)
        link_stats_record(stats, int32_t(i), int32_t(1000 + i % 500), window);
}

void BM_MoveFloor(benchmark::State& state)
{
    auto stats = std::make_unique<LinkStats>();
    fill(stats.get(), 100);
    for (auto _ : state) {
        memmove(&stats->samples[0], &stats->samples[1], (LINK_SAMPLES - 1) * sizeof(LinkSample));
        benchmark::ClobberMemory();
    }
}

void BM_RecordFullRing(benchmark::State& state)
{
    auto stats = std::make_unique<LinkStats>();
    const uint32_t window = uint32_t(state.range(0));
    fill(stats.get(), window);
    int32_t t = 0;
    for (auto _ : state) {
        // Mostly replies of varying time, every 10th lost.
        ++t;
        int32_t rtt = t % 10 == 0 ? LINK_RTT_NONE : int32_t(800 + (t * 7919) % 700);
        link_stats_record(stats.get(), t, rtt, window);
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK(BM_MoveFloor);
BENCHMARK(BM_RecordFullRing)->Arg(0)->Arg(100)->Arg(9999);
BENCHMARK_MAIN();
