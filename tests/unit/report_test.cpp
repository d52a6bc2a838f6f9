#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tolvinstat/format/report.h"

namespace {

constexpr time_t NOW = 1796693083;   // 2026-12-08 01:24:43 UTC

struct Block {
    std::unique_ptr<LinkStats> stats = std::make_unique<LinkStats>();
    Block() { link_stats_reset(stats.get()); }
};

// The live block of a short run: 26 probes, the newest two kept in view.
Block live()
{
    Block b;
    LinkStats& s = *b.stats;
    s.probes = 26; s.replies = 12; s.rtt_min = 3; s.rtt_max = 6; s.rtt_sum = 57; s.rtt_avg = 4;
    s.jitter_sum = 8; s.jitter_avg = 0;
    s.window_probes = 10; s.window_replies = 4; s.window_rtt_min = 3; s.window_rtt_max = 6;
    s.window_rtt_sum = 19; s.window_rtt_avg = 4; s.window_jitter_sum = 5; s.window_jitter_avg = 1;
    s.sample_count = 3;
    s.samples[0] = {int32_t(NOW - 5), 2500, -1};
    s.samples[1] = {int32_t(NOW - 4), -1, -1};
    s.samples[2] = {int32_t(NOW - 3), 1234567, 1232067};
    return b;
}

const AvailabilityRecord AVAILABILITY = {1796000000, 693083, 650000, 649000};

// The daemon's verdicts: working since 01:20, and degraded since 01:22.
constexpr Verdict WORKING = {4321, VERDICT_WORKING, false, NOW - 283, 0, 0, -1};
constexpr Verdict DEGRADED = {4321, VERDICT_WORKING, true, NOW - 163, 10, 5, 3149};

// The snapshot a reader takes of `stats` at NOW, its window S probes long.
const Snapshot& snapshot_of(const LinkStats& stats, const AvailabilityRecord* availability,
                            const Verdict* verdict = nullptr, uint32_t S = 10)
{
    static Snapshot snapshot;
    snapshot.has_verdict = verdict != nullptr;
    if (verdict != nullptr)
        snapshot.verdict = *verdict;
    snapshot.status = SNAPSHOT_OK;
    snapshot.now = NOW;
    snapshot.attachments = 1;
    snapshot.block = stats;
    snapshot.window = link_window_from_ring(stats, S);
    snapshot.has_availability = availability != nullptr;
    if (availability != nullptr)
        snapshot.availability = *availability;
    return snapshot;
}

template <typename F>
std::string capture(F&& write)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    write(out);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

class Report : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
    }
};

TEST_F(Report, TableOfALiveBlockWithAvailability)
{
    Block b = live();
    EXPECT_EQ(capture([&](FILE* out) { report_table(out, snapshot_of(*b.stats, &AVAILABILITY, &DEGRADED)); }),
              "line working but degraded since 2026-12-08 01:22:00: loss 50 % and median round-trip time 3.1 ms "
              "over the last 10 probes\n"
              "tolvind link statistics, newest sample 3 s ago (3 samples kept)\n"
              "\n"
              "                   since start     last 3 probes\n"
              "probes                      26                 3\n"
              "replies                     12                 2\n"
              "loss                   53.85 %           33.33 %\n"
              "rtt min               0.003 ms          2.500 ms\n"
              "rtt mean              0.004 ms        618.533 ms\n"
              "rtt max               0.006 ms       1234.567 ms\n"
              "jitter mean           0.000 ms       1232.067 ms\n"
              "\n"
              "availability since 2026-11-30 00:53:20\n"
              "monitored            7 d 12 h 33 min\n"
              "available            7 d 12 h 16 min   (99.85 %)\n");
}

TEST_F(Report, TableOfAnEmptyBlockShowsNoValues)
{
    Block b;
    EXPECT_EQ(capture([&](FILE* out) { report_table(out, snapshot_of(*b.stats, nullptr)); }),
              "line state unknown\n"
              "tolvind link statistics: no samples yet\n"
              "\n"
              "                   since start    window (empty)\n"
              "probes                       0                 0\n"
              "replies                      0                 0\n"
              "loss                  no value          no value\n"
              "rtt min               no value          no value\n"
              "rtt mean              no value          no value\n"
              "rtt max               no value          no value\n"
              "jitter mean           no value          no value\n");
}

TEST_F(Report, JsonCarriesRawFiguresAndNullForNoValue)
{
    Block b = live();
    b.stats->window_rtt_min = -1;
    b.stats->window_jitter_avg = LINK_STATS_NONE;
    EXPECT_EQ(capture([&](FILE* out) { report_json(out, snapshot_of(*b.stats, &AVAILABILITY, &DEGRADED)); }),
              "{\"version\":1,\"line\":{\"state\":\"working\",\"degraded\":true,\"since\":1796692920},"
              "\"samples_kept\":3,\"newest_sample_time\":1796693080,"
              "\"newest_sample_age_seconds\":3,"
              "\"long_term\":{\"probes\":26,\"replies\":12,\"rtt_min_us\":3,\"rtt_max_us\":6,"
              "\"rtt_avg_us\":4,\"rtt_sum_us\":57,\"jitter_avg_us\":0,\"jitter_sum_us\":8},"
              "\"window\":{\"probes\":3,\"replies\":2,\"rtt_min_us\":2500,\"rtt_max_us\":1234567,"
              "\"rtt_avg_us\":618533,\"rtt_sum_us\":1237067,\"jitter_avg_us\":1232067,\"jitter_sum_us\":1232067},"
              "\"block_window_counters\":{\"probes\":10,\"replies\":4,\"rtt_min_us\":null,\"rtt_max_us\":6,"
              "\"rtt_avg_us\":4,\"rtt_sum_us\":19,\"jitter_avg_us\":null,\"jitter_sum_us\":5},"
              "\"availability\":{\"start_time\":1796000000,\"elapsed_seconds\":693083,"
              "\"monitored_seconds\":650000,\"available_seconds\":649000}}\n");
    Block empty;
    EXPECT_EQ(capture([&](FILE* out) { report_json(out, snapshot_of(*empty.stats, nullptr)); }),
              "{\"version\":1,\"line\":{\"state\":\"unknown\",\"degraded\":false,\"since\":null},"
              "\"samples_kept\":0,\"newest_sample_time\":null,"
              "\"newest_sample_age_seconds\":null,"
              "\"long_term\":{\"probes\":0,\"replies\":0,\"rtt_min_us\":null,\"rtt_max_us\":null,"
              "\"rtt_avg_us\":null,\"rtt_sum_us\":0,\"jitter_avg_us\":null,\"jitter_sum_us\":0},"
              "\"window\":{\"probes\":0,\"replies\":0,\"rtt_min_us\":null,\"rtt_max_us\":null,"
              "\"rtt_avg_us\":null,\"rtt_sum_us\":0,\"jitter_avg_us\":null,\"jitter_sum_us\":0},"
              "\"block_window_counters\":{\"probes\":0,\"replies\":0,\"rtt_min_us\":null,\"rtt_max_us\":null,"
              "\"rtt_avg_us\":null,\"rtt_sum_us\":0,\"jitter_avg_us\":null,\"jitter_sum_us\":0},"
              "\"availability\":null}\n");
}

int occurrences(const std::string& text, const std::string& what)
{
    int found = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++found;
    return found;
}

ModuleSettings settings_for(const char* first, const char* second)
{
    ModuleSettings settings;
    settings_empty(settings);
    settings.address[0] = first;
    settings.address[1] = second;
    settings.interval[0] = 10;
    settings.interval[1] = 30;
    return settings;
}

const char* const SETTINGS_SERIES =
    "# HELP tolvin_build_info The version of tolvinstat, always 1.\n"
    "# TYPE tolvin_build_info gauge\n"
    "tolvin_build_info{version=\"1.0\"} 1\n"
    "# HELP tolvin_probe_target_info The addresses the daemon probes (settings MOD_TOLVIN_IPADDR, "
    "MOD_TOLVIN_IPADDR2), always 1.\n"
    "# TYPE tolvin_probe_target_info gauge\n"
    "tolvin_probe_target_info{target=\"first\",address=\"192.0.2.1\"} 1\n"
    "# HELP tolvin_probe_interval_seconds Seconds between probe cycles while probing the address "
    "(MOD_TOLVIN_PINGINT, MOD_TOLVIN_PINGINT2).\n"
    "# TYPE tolvin_probe_interval_seconds gauge\n"
    "tolvin_probe_interval_seconds{target=\"first\"} 10\n"
    "# HELP tolvin_monitoring_active Whether the daily monitoring window of the settings is open now "
    "(1) or the daemon waits (0).\n"
    "# TYPE tolvin_monitoring_active gauge\n"
    "tolvin_monitoring_active 1\n";

// Whether the block was read, whether the daemon runs, and its verdict.
std::string state_series(int read, int running, const char* state = "unknown", int degraded = -1)
{
    std::string states;
    for (const char* name : {"working", "failed", "lost", "unknown"})
        states += std::string("tolvin_line_state{state=\"") + name + "\"} " + (strcmp(name, state) ? "0" : "1") + "\n";
    return "# HELP tolvin_read_success Whether tolvinstat read the line's statistics block (1) or not (0): not "
           "when the daemon has not run since boot, its segment is not readable by this user, holds something "
           "else, or kept changing while read.\n"
           "# TYPE tolvin_read_success gauge\n"
           "tolvin_read_success " + std::to_string(read) + "\n"
           "# HELP tolvin_daemon_running Whether tolvind holds its statistics segment (1) or not (0): it "
           "keeps it attached while it runs.\n"
           "# TYPE tolvin_daemon_running gauge\n"
           "tolvin_daemon_running " + std::to_string(running) + "\n"
           "# HELP tolvin_line_state The line's state as tolvind judges it, 1 for the current one: working, "
           "failed, lost, or unknown while tolvind does not run.\n"
           "# TYPE tolvin_line_state gauge\n" + states +
           (degraded < 0 ? "" : "# HELP tolvin_line_degraded Whether tolvind judges the working line's quality "
                                "degraded (1) or not (0): its loss or median round-trip time over its newest "
                                "probes (MOD_TOLVIN_DEGRCHECK).\n"
                                "# TYPE tolvin_line_degraded gauge\n"
                                "tolvin_line_degraded " + std::to_string(degraded) + "\n");
}

TEST_F(Report, PrometheusExposition)
{
    const Snapshot& snapshot = snapshot_of(*live().stats, &AVAILABILITY, &WORKING);
    const ModuleSettings settings = settings_for("192.0.2.1", "");
    EXPECT_EQ(capture([&](FILE* out) { report_prometheus(out, snapshot, settings); }),
              SETTINGS_SERIES + state_series(1, 1, "working", 0) +
              "# HELP tolvin_probes_total Echo probes since the daemon started.\n"
              "# TYPE tolvin_probes_total counter\n"
              "tolvin_probes_total 26\n"
              "# HELP tolvin_replies_total Echo probes answered since the daemon started.\n"
              "# TYPE tolvin_replies_total counter\n"
              "tolvin_replies_total 12\n"
              "# HELP tolvin_rtt_seconds Round-trip times of the answered probes since the daemon started.\n"
              "# TYPE tolvin_rtt_seconds summary\n"
              "tolvin_rtt_seconds_sum 0.000057\n"
              "tolvin_rtt_seconds_count 12\n"
              "# HELP tolvin_jitter_seconds Jitter between successive answered probes since the daemon "
              "started.\n"
              "# TYPE tolvin_jitter_seconds summary\n"
              "tolvin_jitter_seconds_sum 0.000008\n"
              "tolvin_jitter_seconds_count 11\n"
              "# HELP tolvin_last_probe_timestamp_seconds When the newest probe was made, seconds since "
              "the epoch.\n"
              "# TYPE tolvin_last_probe_timestamp_seconds gauge\n"
              "tolvin_last_probe_timestamp_seconds 1796693080\n"
              "# HELP tolvin_last_probe_success Whether the newest probe was answered (1) or not (0).\n"
              "# TYPE tolvin_last_probe_success gauge\n"
              "tolvin_last_probe_success 1\n"
              "# HELP tolvin_window_probes Probes in the short-term window: the newest MOD_TOLVIN_SHORTTERM "
              "probes of the ring, fewer after a start.\n"
              "# TYPE tolvin_window_probes gauge\n"
              "tolvin_window_probes 3\n"
              "# HELP tolvin_window_replies Answered probes in the short-term window.\n"
              "# TYPE tolvin_window_replies gauge\n"
              "tolvin_window_replies 2\n"
              "# HELP tolvin_window_rtt_min_seconds Smallest round-trip time of the answered probes in the "
              "short-term window.\n"
              "# TYPE tolvin_window_rtt_min_seconds gauge\n"
              "tolvin_window_rtt_min_seconds 0.002500\n"
              "# HELP tolvin_window_rtt_mean_seconds Mean round-trip time of the answered probes in the "
              "short-term window.\n"
              "# TYPE tolvin_window_rtt_mean_seconds gauge\n"
              "tolvin_window_rtt_mean_seconds 0.618533\n"
              "# HELP tolvin_window_rtt_max_seconds Largest round-trip time of the answered probes in the "
              "short-term window.\n"
              "# TYPE tolvin_window_rtt_max_seconds gauge\n"
              "tolvin_window_rtt_max_seconds 1.234567\n"
              "# HELP tolvin_window_jitter_mean_seconds Mean jitter of the answered probes in the short-term "
              "window that have one.\n"
              "# TYPE tolvin_window_jitter_mean_seconds gauge\n"
              "tolvin_window_jitter_mean_seconds 1.232067\n"
              "# HELP tolvin_availability_start_timestamp_seconds When availability monitoring began, "
              "seconds since the epoch.\n"
              "# TYPE tolvin_availability_start_timestamp_seconds gauge\n"
              "tolvin_availability_start_timestamp_seconds 1796000000\n"
              "# HELP tolvin_availability_update_timestamp_seconds When the daemon last wrote the "
              "availability counters, seconds since the epoch.\n"
              "# TYPE tolvin_availability_update_timestamp_seconds gauge\n"
              "tolvin_availability_update_timestamp_seconds 1796693083\n"
              "# HELP tolvin_monitored_seconds_total Time the line has been monitored, over the daemon's "
              "runs.\n"
              "# TYPE tolvin_monitored_seconds_total counter\n"
              "tolvin_monitored_seconds_total 650000\n"
              "# HELP tolvin_available_seconds_total Monitored time with the line available.\n"
              "# TYPE tolvin_available_seconds_total counter\n"
              "tolvin_available_seconds_total 649000\n");
}

TEST_F(Report, PrometheusWithoutTheDaemon)
{
    // No segment yet: what the settings say, and that the daemon does not run.
    static Snapshot snapshot;
    snapshot.status = SNAPSHOT_NO_SEGMENT;
    snapshot.now = NOW;
    const ModuleSettings settings = settings_for("192.0.2.1", "");
    EXPECT_EQ(capture([&](FILE* out) { report_prometheus(out, snapshot, settings); }),
              SETTINGS_SERIES + state_series(0, 0));

    // The segment outlives the daemon: its last figures, the daemon not running.
    snapshot.status = SNAPSHOT_OK;
    snapshot.attachments = 0;
    link_stats_reset(&snapshot.block);
    snapshot.window = link_window_from_ring(snapshot.block, 10);
    snapshot.has_availability = false;
    std::string text = capture([&](FILE* out) { report_prometheus(out, snapshot, settings); });
    EXPECT_NE(text.find("\ntolvin_daemon_running 0\n"), std::string::npos);
    // Nothing without a value: no last probe, no window extremes, no -1 anywhere.
    for (const char* absent : {"tolvin_last_probe", "tolvin_window_rtt", "tolvin_window_jitter",
                               "tolvin_availability", "-1"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    EXPECT_NE(text.find("tolvin_jitter_seconds_count 0\n"), std::string::npos);
}

TEST_F(Report, PrometheusLabelValuesAreEscaped)
{
    static Snapshot snapshot;
    snapshot.status = SNAPSHOT_NO_SEGMENT;
    snapshot.now = NOW;
    const ModuleSettings settings = settings_for("a\"b\\c\nd", "::1");
    std::string text = capture([&](FILE* out) { report_prometheus(out, snapshot, settings); });
    EXPECT_NE(text.find("tolvin_probe_target_info{target=\"first\",address=\"a\\\"b\\\\c\\nd\"} 1\n"
                        "tolvin_probe_target_info{target=\"second\",address=\"::1\"} 1\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("tolvin_probe_interval_seconds{target=\"first\"} 10\n"
                        "tolvin_probe_interval_seconds{target=\"second\"} 30\n"),
              std::string::npos) << text;
}

TEST_F(Report, PrometheusEveryLineInItsFamilies)
{
    // The default line with its block, wan2 whose daemon has not run: each
    // family once, wan2's samples labeled, the default's as they always were.
    static Snapshot running, absent;
    running.status = SNAPSHOT_OK;
    running.now = absent.now = NOW;
    running.attachments = 1;
    running.block = *live().stats;
    running.window = link_window_from_ring(running.block, 10);
    absent.status = SNAPSHOT_NO_SEGMENT;
    const ModuleSettings one = settings_for("192.0.2.1", ""), two = settings_for("198.51.100.1", "::1");
    const ReportLine lines[2] = {{"", &running, &one}, {"wan2", &absent, &two}};
    std::string text = capture([&](FILE* out) { report_prometheus(out, lines, 2); });
    for (const char* family : {"tolvin_probe_target_info", "tolvin_daemon_running", "tolvin_probes_total"})
        EXPECT_EQ(occurrences(text, std::string("# TYPE ") + family + " "), 1) << family;
    EXPECT_NE(text.find("tolvin_probe_target_info{target=\"first\",address=\"192.0.2.1\"} 1\n"
                        "tolvin_probe_target_info{line=\"wan2\",target=\"first\",address=\"198.51.100.1\"} 1\n"
                        "tolvin_probe_target_info{line=\"wan2\",target=\"second\",address=\"::1\"} 1\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("tolvin_monitoring_active 1\ntolvin_monitoring_active{line=\"wan2\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("tolvin_daemon_running 1\ntolvin_daemon_running{line=\"wan2\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("tolvin_read_success 1\ntolvin_read_success{line=\"wan2\"} 0\n"), std::string::npos);
    EXPECT_EQ(occurrences(text, "wan2"), 11);   // its settings and state, no figures for a daemon not running
}

TEST_F(Report, PrometheusMonitoringWindow)
{
    static Snapshot snapshot;
    snapshot.status = SNAPSHOT_NO_SEGMENT;
    ModuleSettings settings = settings_for("192.0.2.1", "");
    settings.start_time = "08:00";
    settings.stop_time = "17:00";
    for (auto [now, active] : {std::pair{time_t(1796724000), "1"},     // 10:00 UTC
                               std::pair{time_t(1796752800), "0"}}) {  // 18:00 UTC
        snapshot.now = now;
        std::string text = capture([&](FILE* out) { report_prometheus(out, snapshot, settings); });
        EXPECT_NE(text.find(std::string("\ntolvin_monitoring_active ") + active + "\n"), std::string::npos)
            << now;
    }
}

TEST_F(Report, SamplesAsCsvNewestLast)
{
    Block b = live();
    EXPECT_EQ(capture([&](FILE* out) { report_samples(out, *b.stats, 2); }),
              "time,rtt_us,jitter_us\n"
              "2026-12-08T01:24:39Z,,\n"
              "2026-12-08T01:24:40Z,1234567,1232067\n");
    // More than are kept: all of them.
    std::string all = capture([&](FILE* out) { report_samples(out, *b.stats, 10000); });
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 4);
}

TEST_F(Report, AWrappedRingShowsItsNewestEntries)
{
    Block b;
    for (int32_t i = 0; i < 10005; ++i)
        link_stats_record(b.stats.get(), int32_t(NOW) - 10005 + i, i % 3 == 0 ? -1 : 1000 + i, 100);
    std::string csv = capture([&](FILE* out) { report_samples(out, *b.stats, 3); });
    // i = 10002 failed; 10003 and 10004 replied, jitter against 10001 and 10003.
    EXPECT_EQ(csv, "time,rtt_us,jitter_us\n"
                   "2026-12-08T01:24:40Z,,\n"
                   "2026-12-08T01:24:41Z,11003,2\n"
                   "2026-12-08T01:24:42Z,11004,1\n");
    std::string table = capture([&](FILE* out) { report_table(out, snapshot_of(*b.stats, nullptr, &WORKING)); });
    EXPECT_EQ(table.substr(0, table.find('\n')), "line working since 2026-12-08 01:20:00");
    table.erase(0, table.find('\n') + 1);
    EXPECT_EQ(table.substr(0, table.find('\n')),
              "tolvind link statistics, newest sample 1 s ago (10000 samples kept)");
}

TEST_F(Report, ACorruptSampleCountNeverReadsBeyondTheRing)
{
    Block b = live();
    b.stats->sample_count = 0xFFFFFFFF;
    std::string csv = capture([&](FILE* out) { report_samples(out, *b.stats, 1); });
    EXPECT_EQ(csv.rfind("time,rtt_us,jitter_us\n", 0), 0u);
    EXPECT_NE(capture([&](FILE* out) { report_table(out, snapshot_of(*b.stats, nullptr)); })
                  .find("(10000 samples kept)"), std::string::npos);
}

TEST(ParseAvailability, ExactlyFourLines)
{
    AvailabilityRecord r;
    EXPECT_TRUE(parse_availability("1796000000\n1\n2\n3\n", &r));
    EXPECT_EQ(r.start_time, 1796000000);
    EXPECT_EQ(r.available, 3u);
    EXPECT_FALSE(parse_availability("", &r));
    EXPECT_FALSE(parse_availability("1796000000\n1\n", &r));
    EXPECT_FALSE(parse_availability("1796000000\n1\n2\n3", &r));         // cut short
    EXPECT_FALSE(parse_availability("1796000000\n1\n2\n3\n5\n", &r));    // a longer record's tail
}

TEST(Snapshot, AStillBlockIsCopiedAtTheFirstAttempt)
{
    auto shared = std::make_unique<LinkStats>();
    memset(shared.get(), 0x3C, sizeof(LinkStats));
    link_stats_reset(shared.get());
    auto out = std::make_unique<LinkStats>();
    auto scratch = std::make_unique<LinkStats>();
    EXPECT_TRUE(snapshot_block(shared.get(), out.get(), scratch.get(), 10, true, 1));
    EXPECT_EQ(memcmp(out.get(), shared.get(), sizeof(LinkStats)), 0);
}

// The writer is another process that takes no lock; here it records a sample
// right after the copies whose numbers are in `record_after`.
std::set<int> record_after;
int copies = 0;
LinkStats* written_block = nullptr;

void copy_then_maybe_record(LinkStats* to, const volatile LinkStats* from)
{
    copy_block(to, from);
    if (record_after.count(++copies) != 0)
        link_stats_record(written_block, 1796693000 + copies, 1000 + copies, 10);
}

bool snapshot_while_recording(std::set<int> after, int attempts, LinkStats* shared, LinkStats* out)
{
    auto scratch = std::make_unique<LinkStats>();
    record_after = std::move(after);
    copies = 0;
    written_block = shared;
    return snapshot_block(shared, out, scratch.get(), 10, true, attempts, copy_then_maybe_record);
}

TEST(Snapshot, ABlockChangingBetweenCopiesIsReadAgainAndRefusedWhenItKeepsChanging)
{
    auto shared = std::make_unique<LinkStats>();
    link_stats_reset(shared.get());
    auto out = std::make_unique<LinkStats>();

    // A record between the first two copies: the second pair agrees on it.
    EXPECT_TRUE(snapshot_while_recording({1}, 2, shared.get(), out.get()));
    EXPECT_EQ(out->probes, 1u);
    EXPECT_EQ(out->samples[0].rtt, 1001);
    EXPECT_EQ(memcmp(out.get(), shared.get(), sizeof(LinkStats)), 0);

    // The same with one attempt only: refused.
    EXPECT_FALSE(snapshot_while_recording({1}, 1, shared.get(), out.get()));

    // Changes within the first and the second pair: the third agrees.
    EXPECT_TRUE(snapshot_while_recording({1, 3}, 3, shared.get(), out.get()));
    EXPECT_EQ(out->probes, 4u);
    EXPECT_EQ(out->samples[3].rtt, 1003);
    EXPECT_FALSE(snapshot_while_recording({1, 3}, 2, shared.get(), out.get()));
}

// The daemon pre-empted between counting a sample and growing its window:
// both copies agree on a half-done record. The reader pauses and looks
// again; once the record is done the block is taken. A block that stays so
// with its daemon gone is taken as it was left.
int copies_until_done = 0;

void copy_then_finish_the_record(LinkStats* to, const volatile LinkStats* from)
{
    copy_block(to, from);
    if (++copies == copies_until_done)
        ++written_block->window_probes;
}

TEST(Snapshot, AHalfDoneRecordIsReadAgainUntilItIsDone)
{
    auto shared = std::make_unique<LinkStats>();
    link_stats_reset(shared.get());
    for (int32_t i = 0; i < 4; ++i)
        link_stats_record(shared.get(), 1796693000 + i, 1000 + i, 10);
    ++shared->probes;
    ++shared->sample_count;
    shared->samples[4] = {1796693004, -1, -1};
    auto out = std::make_unique<LinkStats>();
    auto scratch = std::make_unique<LinkStats>();
    written_block = shared.get();
    copies = 0;
    copies_until_done = 2;     // done just after the first pair: the second sees it so
    EXPECT_TRUE(snapshot_block(shared.get(), out.get(), scratch.get(), 10, true, 3, copy_then_finish_the_record));
    EXPECT_EQ(copies, 4);
    EXPECT_EQ(out->window_probes, 5u);

    --shared->window_probes;
    copies = 0;
    copies_until_done = 0;     // never done
    EXPECT_FALSE(snapshot_block(shared.get(), out.get(), scratch.get(), 10, true, 3, copy_then_finish_the_record));
    EXPECT_TRUE(snapshot_block(shared.get(), out.get(), scratch.get(), 10, false, 3, copy_then_finish_the_record));
    EXPECT_EQ(out->window_probes, 4u);
}

} // namespace
