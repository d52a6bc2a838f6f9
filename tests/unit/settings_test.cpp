#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <unistd.h>

#include <gtest/gtest.h>

#include "rules/settings.h"
#include "tests/unit/temp_file.h"

static_assert(std::is_standard_layout_v<ModuleSettings>);

namespace {

// A settings file in memory, for the getters.
struct SettingsFile {
    std::string held;
    FILE* file;
    explicit SettingsFile(const std::string& text)
        : held(text), file(fmemopen(held.data(), held.size(), "r")) {}
    ~SettingsFile() { fclose(file); }
};

std::string find(const std::string& text, const char* key)
{
    SettingsFile f(text);
    const char* value = settings_find(f.file, key);
    return value == nullptr ? "<absent>" : value;
}

uint32_t get_uint(const std::string& text, const char* key)
{
    SettingsFile f(text);
    return settings_get_uint(f.file, key);
}

TEST(SettingsScan, BareQuotedAndLowerCaseKeysGiveTheBareValue)
{
    EXPECT_EQ(find("MOD_TOLVIN_IPADDR=10.0.0.1\n", "MOD_TOLVIN_IPADDR"), "10.0.0.1");
    EXPECT_EQ(find("MOD_TOLVIN_IPADDR=\"10.0.0.1\"\n", "MOD_TOLVIN_IPADDR"), "10.0.0.1");
    EXPECT_EQ(find("mod_tolvin_ipaddr=\"10.0.0.1\"\n", "MOD_TOLVIN_IPADDR"), "10.0.0.1");
}

TEST(SettingsScan, FirstMatchWinsAndKeysAreTakenWhole)
{
    EXPECT_EQ(find("A=1\nA=2\n", "A"), "1");
    EXPECT_EQ(find(" A=1\nA=2\n", "A"), "2");           // a blank before the key
    EXPECT_EQ(find("A =1\n", "A"), "<absent>");          // a blank after it
    EXPECT_EQ(find("AB=1\nA=3\n", "A"), "3");            // no prefix match
    EXPECT_EQ(find("MOD_TOLVIN_LOSTSMS2=x\n", "MOD_TOLVIN_LOSTSMS"), "<absent>");
    EXPECT_EQ(find("# comment\nno equals sign\nA=1\n", "A"), "1");
}

TEST(SettingsScan, LineEndingsAndQuotes)
{
    EXPECT_EQ(find("A=1\r\nB=2\r\n", "B"), "2");
    EXPECT_EQ(find("A=x\ry\n", "A"), "x");               // cut at the first CR
    EXPECT_EQ(find("A=last line", "A"), "last line");   // no newline at the end
    EXPECT_EQ(find("A=\n", "A"), "");
    EXPECT_EQ(find("A=\"say \"hi\"\"\n", "A"), "say \"hi\"");  // inner quote kept
    EXPECT_EQ(find("A=\"open\n", "A"), "");              // cut falls on the opening quote
    EXPECT_EQ(find("A=x=y\n", "A"), "x=y");
    EXPECT_EQ(find("\"A\"=1\n", "A"), "<absent>");       // the cut at the last quote takes the = away
    EXPECT_EQ(find("A=\" padded \"\n", "A"), " padded ");
}

TEST(SettingsScan, LongLinesAreReadInPiecesOfMaxLength)
{
    // 16383 characters fill the buffer; the rest of the line is a piece of its own.
    std::string filler(SETTINGS_LINE_BYTES - 1, 'x');
    EXPECT_EQ(find(filler + "A=piece\n", "A"), "piece");
    EXPECT_EQ(find(filler + "A=piece\n", "xA"), "<absent>");
    EXPECT_EQ(find(std::string(SETTINGS_LINE_BYTES - 2, 'x') + "A=no\n", "xA"), "<absent>");
    std::string long_value = "A=" + std::string(20000, 'v') + "\n";
    std::string value = find(long_value, "A");
    EXPECT_EQ(value.size(), SETTINGS_LINE_BYTES - 1 - 2);
}

TEST(SettingsScan, NumbersConvertAsPercentU)
{
    EXPECT_EQ(get_uint("N=30\n", "N"), 30u);
    EXPECT_EQ(get_uint("N=30s\n", "N"), 30u);
    EXPECT_EQ(get_uint("N=  7\n", "N"), 7u);
    EXPECT_EQ(get_uint("N=\"12\"\n", "N"), 12u);
    EXPECT_EQ(get_uint("N=-1\n", "N"), 4294967295u);
    EXPECT_EQ(get_uint("N=+5\n", "N"), 5u);
    EXPECT_EQ(get_uint("N=abc\n", "N"), 0u);
    EXPECT_EQ(get_uint("N=\n", "N"), 0u);
    EXPECT_EQ(get_uint("M=3\n", "N"), 0u);
    EXPECT_EQ(get_uint("N=4294967295\n", "N"), 4294967295u);
}

TEST(SettingsScan, NullFileGivesDefaults)
{
    EXPECT_EQ(settings_find(nullptr, "A"), nullptr);
    EXPECT_STREQ(settings_get_string(nullptr, "A"), "");
    EXPECT_EQ(settings_get_uint(nullptr, "A"), 0u);
}

TEST(SettingsKeys, SeventySixDistinctKeysEachWithItsOwnField)
{
    std::set<std::string> keys;
    std::set<size_t> offsets;
    for (const SettingKey& entry : settings_keys) {
        EXPECT_EQ(std::strncmp(entry.key, "MOD_TOLVIN_", 11), 0) << entry.key;
        keys.insert(entry.key);
        offsets.insert(entry.offset);
        size_t width = entry.kind == SETTING_UINT ? sizeof(uint32_t) : sizeof(const char*);
        EXPECT_LE(entry.offset + width, sizeof(ModuleSettings)) << entry.key;
    }
    EXPECT_EQ(keys.size(), 76u);
    EXPECT_EQ(offsets.size(), 76u);
    EXPECT_TRUE(keys.count("MOD_TOLVIN_LOSTSMS") && keys.count("MOD_TOLVIN_REESTSMS12"));
    EXPECT_TRUE(keys.count("MOD_TOLVIN_IFACE") && keys.count("MOD_TOLVIN_SRCADDR") &&
                keys.count("MOD_TOLVIN_RSTSERVICE"));
    EXPECT_FALSE(keys.count("MOD_TOLVIN_LOSTSMS1"));
}

class ReadSettings : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(path.empty()); }
    void write(const std::string& text)
    {
        FILE* f = fopen(path.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
    }
    TempFile file{"tolvin-settings"};
    const std::string& path = file.path;
};

TEST_F(ReadSettings, FillsEveryFieldFromItsKey)
{
    std::string text;
    for (size_t i = 0; i < SETTINGS_KEY_COUNT; ++i) {
        const SettingKey& entry = settings_keys[i];
        text += std::string(entry.key) + "=" + std::to_string(1000 + i) + "\n";
    }
    write(text);
    // Held like the daemon's own record: its strings live as long as the process.
    static ModuleSettings settings;
    read_settings_from(path.c_str(), settings);
    const auto* base = reinterpret_cast<const unsigned char*>(&settings);
    for (size_t i = 0; i < SETTINGS_KEY_COUNT; ++i) {
        const SettingKey& entry = settings_keys[i];
        if (entry.kind == SETTING_UINT) {
            uint32_t value;
            memcpy(&value, base + entry.offset, sizeof value);
            EXPECT_EQ(value, 1000 + i) << entry.key;
        } else {
            const char* value;
            memcpy(&value, base + entry.offset, sizeof value);
            EXPECT_EQ(std::string(value), std::to_string(1000 + i)) << entry.key;
        }
    }
    EXPECT_STREQ(settings.address[1], "1002");
    EXPECT_EQ(settings.interval[1], 1004u);
    EXPECT_STREQ(settings.lost_sms[11], "1039");
    EXPECT_EQ(settings.expose_avail, 1059u);
}

TEST_F(ReadSettings, MissingFileGivesZerosAndEmptyStrings)
{
    unlink(path.c_str());
    ModuleSettings settings;
    memset(&settings, 0xAB, sizeof settings);
    read_settings_from(path.c_str(), settings);
    EXPECT_STREQ(settings.address[0], "");
    EXPECT_STREQ(settings.reest_sms[11], "");
    EXPECT_EQ(settings.interval[0], 0u);
    EXPECT_EQ(settings.expose_avail, 0u);
}

TEST(SampleSettings, HoldsEveryKeyOnce)
{
    FILE* file = fopen(SAMPLE_SETTINGS_PATH, "r");
    ASSERT_NE(file, nullptr);
    for (const SettingKey& entry : settings_keys)
        EXPECT_NE(settings_find(file, entry.key), nullptr) << entry.key;
    EXPECT_EQ(settings_get_uint(file, "MOD_TOLVIN_PINGINT"), 10u);
    EXPECT_STREQ(settings_find(file, "MOD_TOLVIN_IPADDR2"), "");
    fclose(file);
}

} // namespace
