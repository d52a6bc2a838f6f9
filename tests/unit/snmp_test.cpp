// The DISMAN-PING-MIB handler: OIDs and their order, every object made from
// a block, and the pass_persist conversation.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tolvinstat/front/snmp.h"

namespace {

constexpr time_t NOW = 1796693083;   // 2026-12-08 01:24:43 UTC
const std::string INDEX = ".6.116.111.108.118.105.110.4.108.105.110.101";   // "tolvin", "line"

Oid oid(const char* text)
{
    Oid parsed;
    EXPECT_TRUE(oid_parse(text, &parsed)) << text;
    return parsed;
}

std::string text(const Oid& o)
{
    std::string result;
    for (uint32_t i = 0; i < o.length; ++i)
        result += "." + std::to_string(o.ids[i]);
    return result;
}

TEST(Oid, NumericDottedOnly)
{
    EXPECT_EQ(text(oid(".1.3.6.1.2.1.80")), ".1.3.6.1.2.1.80");
    EXPECT_EQ(text(oid("1.3.6")), ".1.3.6");
    EXPECT_EQ(text(oid(".0")), ".0");
    EXPECT_EQ(text(oid(".4294967295.0")), ".4294967295.0");
    std::string longest;
    for (int i = 0; i < 128; ++i)
        longest += ".1";
    EXPECT_EQ(oid(longest.c_str()).length, 128u);
    Oid parsed;
    for (const char* bad : {"", ".", "..1", ".1.", ".1..2", "1.2 ", " 1.2", ".1.x", "iso.3.6", ".4294967296",
                            ".-1", ".1.3.6.1.2.1.80\n", ".1,3"})
        EXPECT_FALSE(oid_parse(bad, &parsed)) << bad;
    EXPECT_FALSE(oid_parse((longest + ".1").c_str(), &parsed));
}

TEST(Oid, NumericOrderPrefixesFirst)
{
    EXPECT_LT(oid_compare(oid(".1.3.6.1.9"), oid(".1.3.6.1.10")), 0);        // not text order
    EXPECT_LT(oid_compare(oid(".1.3.6"), oid(".1.3.6.0")), 0);
    EXPECT_GT(oid_compare(oid(".1.4"), oid(".1.3.6.1.2")), 0);
    EXPECT_EQ(oid_compare(oid(".1.3.6"), oid("1.3.6")), 0);
    EXPECT_GT(oid_compare(oid(".4294967295"), oid(".4294967294.9")), 0);
    // Index strings of different lengths sort by their length first.
    EXPECT_LT(oid_compare(oid(".4.122.122.122.122"), oid(".5.97.97.97.97.97")), 0);
}

ModuleSettings settings_for(const char* first, uint32_t interval)
{
    ModuleSettings settings;
    settings_empty(settings);
    settings.address[0] = first;
    settings.interval[0] = interval;
    settings.lost_snmp = "nms";
    return settings;
}

class Objects : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        snapshot->status = SNAPSHOT_OK;
        snapshot->attachments = 1;
        snapshot->now = NOW;
        LinkStats& s = snapshot->block;
        link_stats_reset(&s);
        s.probes = 26;
        s.replies = 12;
        s.sample_count = 4;
        s.samples[0] = {int32_t(NOW - 6), 2500, -1};
        s.samples[1] = {int32_t(NOW - 5), 3, -1};
        s.samples[2] = {int32_t(NOW - 4), -1, -1};
        s.samples[3] = {int32_t(NOW - 3), 1234567, 1234564};
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
    }
    // name -> (type, value) of every object made, checked to be in strict order.
    std::vector<std::pair<std::string, std::string>> make(const ModuleSettings& settings)
    {
        snapshot->window = link_window_from_ring(snapshot->block, window_length);
        uint32_t count = snmp_objects(*snapshot, settings, objects.get(), SNMP_OBJECTS_MAX);
        std::vector<std::pair<std::string, std::string>> made;
        for (uint32_t i = 0; i < count; ++i) {
            if (i > 0) {
                EXPECT_LT(oid_compare(objects[i - 1].oid, objects[i].oid), 0) << text(objects[i].oid);
            }
            made.emplace_back(text(objects[i].oid), std::string(objects[i].type) + " " + objects[i].value);
        }
        return made;
    }
    std::unique_ptr<Snapshot> snapshot = std::make_unique<Snapshot>();
    uint32_t window_length = 3;      // S: the newest three samples
    std::unique_ptr<SnmpObject[]> objects = std::make_unique<SnmpObject[]>(SNMP_OBJECTS_MAX);
};

TEST_F(Objects, EveryObjectOfALiveBlock)
{
    const std::string ctl = ".1.3.6.1.2.1.80.1.2.1.";
    const std::string results = ".1.3.6.1.2.1.80.1.3.1.";
    const std::string history = ".1.3.6.1.2.1.80.1.4.1.";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {".1.3.6.1.2.1.80.1.1.0", "unsigned 1"},
        {ctl + "3" + INDEX, "integer 1"},                    // ipv4
        {ctl + "4" + INDEX, "octet C0 00 02 01"},
        {ctl + "5" + INDEX, "unsigned 56"},
        {ctl + "6" + INDEX, "unsigned 3"},                   // the interval, capped at 3 s
        {ctl + "7" + INDEX, "unsigned 1"},
        {ctl + "8" + INDEX, "integer 1"},
        {ctl + "10" + INDEX, "unsigned 10"},
        {ctl + "11" + INDEX, "unsigned 50"},
        {ctl + "12" + INDEX, "integer 5"},
        {ctl + "13" + INDEX, "octet 40"},                    // testFailure: the line lost trap
        {ctl + "15" + INDEX, "unsigned 5"},                  // lost after 5 failed cycles, no time
        {ctl + "16" + INDEX, "objectid .1.3.6.1.2.1.80.3.1"},
        {ctl + "17" + INDEX, "string tolvind: ICMP echo to 192.0.2.1 every 10 s"},
        {ctl + "18" + INDEX, "integer 0"},
        {ctl + "19" + INDEX, "string "},
        {ctl + "20" + INDEX, "integer 0"},
        {ctl + "21" + INDEX, "integer 2"},
        {ctl + "22" + INDEX, "integer 0"},
        {ctl + "23" + INDEX, "integer 1"},
        {results + "1" + INDEX, "integer 1"},
        {results + "2" + INDEX, "integer 1"},
        {results + "3" + INDEX, "octet C0 00 02 01"},
        {results + "4" + INDEX, "unsigned 1"},               // 3 us rounds up, never to 0
        {results + "5" + INDEX, "unsigned 1235"},
        {results + "6" + INDEX, "unsigned 618"},
        {results + "7" + INDEX, "gauge 2"},
        {results + "8" + INDEX, "gauge 3"},
        {results + "9" + INDEX, "unsigned 1525226"},         // 1^2 + 1235^2 over the window
        {results + "10" + INDEX, "octet 07 EA 0C 08 01 18 28 00 2B 00 00"},
        {history + "2" + INDEX + ".23", "unsigned 3"},
        {history + "2" + INDEX + ".24", "unsigned 1"},
        {history + "2" + INDEX + ".25", "unsigned 3000"},    // a lost probe: the time waited
        {history + "2" + INDEX + ".26", "unsigned 1235"},
        {history + "3" + INDEX + ".23", "integer 1"},
        {history + "3" + INDEX + ".24", "integer 1"},
        {history + "3" + INDEX + ".25", "integer 4"},
        {history + "3" + INDEX + ".26", "integer 1"},
        {history + "4" + INDEX + ".23", "integer 0"},
        {history + "4" + INDEX + ".24", "integer 0"},
        {history + "4" + INDEX + ".26", "integer 0"},
        {history + "5" + INDEX + ".23", "octet 07 EA 0C 08 01 18 25 00 2B 00 00"},
        {history + "5" + INDEX + ".24", "octet 07 EA 0C 08 01 18 26 00 2B 00 00"},
        {history + "5" + INDEX + ".25", "octet 07 EA 0C 08 01 18 27 00 2B 00 00"},
        {history + "5" + INDEX + ".26", "octet 07 EA 0C 08 01 18 28 00 2B 00 00"},
    };
    ModuleSettings settings = settings_for("192.0.2.1", 10);
    settings.size[0] = 56;
    settings.fail_num = 3;
    settings.fail_time = 60;      // a time decides too: no probe-failure filter
    settings.lost_num = 5;
    EXPECT_EQ(make(settings), expected);
}

TEST_F(Objects, HistoryRowsKeepTheirIndexWhileTheRingMoves)
{
    LinkStats& s = snapshot->block;
    s.probes = 20000;
    s.sample_count = LINK_SAMPLES;
    for (uint32_t i = 0; i < LINK_SAMPLES; ++i)
        s.samples[i] = {int32_t(NOW - 10000 + i), int32_t(1000 * (i % 7)), -1};
    auto before = make(settings_for("192.0.2.1", 1));
    // One probe more: the ring moves down by one, the rows do not renumber.
    memmove(&s.samples[0], &s.samples[1], sizeof(LinkSample) * (LINK_SAMPLES - 1));
    s.samples[LINK_SAMPLES - 1] = {int32_t(NOW), 5000, -1};
    s.probes = 20001;
    auto after = make(settings_for("192.0.2.1", 1));
    const std::string row = ".1.3.6.1.2.1.80.1.4.1.2" + INDEX;
    auto value = [](const auto& made, const std::string& name) {
        for (const auto& [oid, v] : made)
            if (oid == name)
                return v;
        return std::string("absent");
    };
    // The oldest of the 50 rows, probe 19951, is ring entry 9950.
    EXPECT_EQ(value(before, row + ".19951"), "unsigned " + std::to_string(9950 % 7));
    EXPECT_EQ(value(before, row + ".20000"), value(after, row + ".20000"));
    EXPECT_EQ(value(after, row + ".19951"), "absent");
    EXPECT_EQ(value(after, row + ".20001"), "unsigned 5");
    EXPECT_EQ(after.size(), before.size());
}

TEST_F(Objects, WithoutASegmentOnlyTheControlRow)
{
    snapshot->status = SNAPSHOT_NO_SEGMENT;
    ModuleSettings settings = settings_for("router.example", 0);
    settings.size[0] = 70000;     // above the MIB's data size
    auto made = make(settings);
    ASSERT_EQ(made.size(), 17u);    // the scalar and 16 control columns: no size, no time-out for 0 s
    EXPECT_EQ(made[1].second, "integer 16");                      // dns
    EXPECT_EQ(made[2].second, "string router.example");
    EXPECT_EQ(made[3].first, ".1.3.6.1.2.1.80.1.2.1.7" + INDEX);
    for (const auto& [name, _] : made)
        EXPECT_EQ(name.find(".1.3.6.1.2.1.80.1.3."), std::string::npos) << name;
}

TEST_F(Objects, AHostNameIsNotResolvedAndTextsStayOnOneLine)
{
    ModuleSettings settings = settings_for("evil\nname", 5);
    settings.address[1] = "::1";
    auto made = make(settings);
    EXPECT_EQ(made[2].second, "string evil name");
    EXPECT_EQ(made[12].second, "string tolvind: ICMP echo to evil name every 5 s, fail-over to ::1");
    for (const auto& [name, _] : made) {   // no resolved address for a name
        EXPECT_NE(name, ".1.3.6.1.2.1.80.1.3.1.2" + INDEX);
        EXPECT_NE(name, ".1.3.6.1.2.1.80.1.3.1.3" + INDEX);
    }
    window_length = 0;
    made = make(settings_for("2001:db8::1", 5));
    EXPECT_EQ(made[2].second, "octet 20 01 0D B8 00 00 00 00 00 00 00 00 00 00 00 01");
    bool seen = false;
    for (const auto& [name, value] : made) {
        if (name == ".1.3.6.1.2.1.80.1.3.1.4" + INDEX) {   // no reply in the window: 0
            EXPECT_EQ(value, "unsigned 0");
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
}

// The conversation with the default line, or with every line named.
std::string converse(const std::string& input, std::vector<const char*> names = {"line"})
{
    FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
    char* output = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&output, &size);
    ModuleSettings settings = settings_for("192.0.2.1", 10);
    std::vector<SnmpLine> lines;
    for (const char* name : names)
        lines.push_back({name, 200, &settings});
    snmp_serve(in, out, lines.data(), lines.size());
    fclose(in);
    fclose(out);
    std::string result(output, size);
    free(output);
    return result;
}

TEST(PassPersist, TheConversation)
{
    const std::string first_ctl = ".1.3.6.1.2.1.80.1.2.1.3" + INDEX;
    EXPECT_EQ(converse("PING\n"), "PONG\n");
    EXPECT_EQ(converse("get\n.1.3.6.1.2.1.80.1.1.0\n"), ".1.3.6.1.2.1.80.1.1.0\nunsigned\n1\n");
    EXPECT_EQ(converse("getnext\n.1.3.6.1.2.1.80\n"), ".1.3.6.1.2.1.80.1.1.0\nunsigned\n1\n");
    EXPECT_EQ(converse("getnext\n.1.3.6.1.2.1.80.1.1.0\n"), first_ctl + "\ninteger\n1\n");
    EXPECT_EQ(converse("get\n.1.3.6.1.2.1.80.1.1\n"), "NONE\n");                  // not an object
    EXPECT_EQ(converse("getnext\n.1.3.6.1.2.1.80.1.5\n"), "NONE\n");              // past the end
    EXPECT_EQ(converse("set\n.1.3.6.1.2.1.80.1.1.0\nunsigned 5\n\nPING\n"), "not-writable\nPONG\n");
    EXPECT_EQ(converse("\n\nPING\r\n"), "PONG\n");

    // One row per line, in index order (a shorter name first), column by
    // column: lte, line, wan2 whatever order they come in.
    const std::string ctl = ".1.3.6.1.2.1.80.1.2.1.";
    const std::string lte = ".6.116.111.108.118.105.110.3.108.116.101";
    const std::string wan2 = ".6.116.111.108.118.105.110.4.119.97.110.50";
    const std::vector<const char*> three = {"wan2", "line", "lte"};
    EXPECT_EQ(converse("getnext\n.1.3.6.1.2.1.80.1.1.0\n", three), ctl + "3" + lte + "\ninteger\n1\n");
    EXPECT_EQ(converse("getnext\n" + ctl + "3" + lte + "\n", three), first_ctl + "\ninteger\n1\n");
    EXPECT_EQ(converse("getnext\n" + first_ctl + "\n", three), ctl + "3" + wan2 + "\ninteger\n1\n");
    EXPECT_EQ(converse("getnext\n" + ctl + "3" + wan2 + "\n", three), ctl + "4" + lte + "\noctet\nC0 00 02 01\n");
    EXPECT_EQ(converse("get\n" + ctl + "23" + wan2 + "\n", three), ctl + "23" + wan2 + "\ninteger\n1\n");
}

TEST(PassPersist, GarbageGetsNoneAndChangesNothing)
{
    EXPECT_EQ(converse("hello\nPING\n"), "NONE\nPONG\n");
    EXPECT_EQ(converse("get\niso.3.6.1\nget\n.1.3.6.1.2.1.80.1.1.0\n"), "NONE\n.1.3.6.1.2.1.80.1.1.0\nunsigned\n1\n");
    EXPECT_EQ(converse("getnext\n\nPING\n"), "NONE\nPONG\n");                      // an empty OID
    const std::string long_line(5000, '7');
    EXPECT_EQ(converse(long_line + "\nPING\n"), "NONE\nPONG\n");
    EXPECT_EQ(converse("get\n." + long_line + "\nPING\n"), "NONE\nPONG\n");
    EXPECT_EQ(converse(std::string("PI\0NG\nPING\n", 11)), "NONE\nPONG\n");
    // The end of input ends the handler wherever it comes.
    EXPECT_EQ(converse("get\n"), "");
    EXPECT_EQ(converse("set\n.1.3\n"), "");
    EXPECT_EQ(converse("PING"), "PONG\n");
}

} // namespace
