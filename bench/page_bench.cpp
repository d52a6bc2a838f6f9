// The status page with a full ring of 10000 samples (a day of 9-second
// cycles, a loss every 37th): the time to build it and its size, as a
// browser on the router's network receives it.
#include <cstdio>
#include <memory>

#include <benchmark/benchmark.h>

#include "rules/settings.h"
#include "tolvinstat/format/report.h"

namespace {

char page[262144];

void BM_PageFullRing(benchmark::State& state)
{
    auto snapshot = std::make_unique<Snapshot>();
    snapshot->status = SNAPSHOT_OK;
    snapshot->now = 1796693083;
    snapshot->attachments = 1;
    link_stats_reset(&snapshot->block);
    for (uint32_t i = 0; i < LINK_SAMPLES; ++i)
        link_stats_record(&snapshot->block, int32_t(snapshot->now - 9 * (LINK_SAMPLES - i)),
                          i % 37 == 0 ? -1 : int32_t(8000 + (i * 7919) % 25000), 100);
    snapshot->window = link_window_from_ring(snapshot->block, 100);
    snapshot->has_availability = true;
    snapshot->availability = {1796000000, 693083, 693000, 692500};
    ModuleSettings settings;
    settings_empty(settings);
    settings.address[0] = "192.0.2.1";
    const ReportLine line = {"", snapshot.get(), &settings};
    long size = 0;
    for (auto _ : state) {
        FILE* out = fmemopen(page, sizeof page, "w");
        report_page(out, &line, 1, "");
        size = ftell(out);
        fclose(out);
        benchmark::DoNotOptimize(page);
    }
    state.counters["page_bytes"] = double(size);
}
BENCHMARK(BM_PageFullRing)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
