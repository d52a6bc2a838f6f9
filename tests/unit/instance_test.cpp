// Instance names at their bounds, and the segment key they choose (which
// readers derive too: the FNV-1a hash of the name).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "rules/instance.h"

TEST(Instance, NamesAtTheirBoundsAndTheirKeys)
{
    for (const char* good : {"a", "0", "lte-backup_1", "abcdefghijklmno"})
        EXPECT_TRUE(instance_name_valid(good)) << good;
    for (const char* bad : {"", "abcdefghijklmnop", "-a", "_a", "Wan", "a.b", "../etc", "a b", "\xc3\xa4"})
        EXPECT_FALSE(instance_name_valid(bad)) << bad;
    Instance instance;
    EXPECT_FALSE(instance_from_name("../etc", instance));
    EXPECT_STREQ(instance.settings_path, "/opt/tolvin/etc/settings");   // the default's, never a path of the name
    EXPECT_EQ(instance.key_project, 1);
    EXPECT_EQ(instance_key_project("wan2"), 2 + int(0x492ba949u % 254));
}

TEST(Instance, TheInstancesAReaderShows)
{
    char dir[] = "/tmp/instances-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    auto make = [&](std::string name) { fclose(fopen((std::string(dir) + "/settings" + name).c_str(), "w")); };
    auto list = [&] {
        Instance found[INSTANCES_MAX];
        std::string names;
        for (size_t i = 0, n = instance_list(dir, found, INSTANCES_MAX); i < n; ++i)
            names += std::string(found[i].name) + ",";
        return names;
    };
    EXPECT_EQ(list(), ",");                                // a router of one line: the default
    for (const char* name : {".wan2", ".Bad", ".x.y", ".", ".lte~"})
        make(name);
    EXPECT_EQ(list(), "wan2,");                            // named lines only
    make(".lte");
    make("");
    EXPECT_EQ(list(), ",lte,wan2,");
    for (int i = 0; i < 20; ++i)
        make(".l" + std::to_string(100 + i));              // the first by name, no more than kept
    EXPECT_EQ(list(), ",l100,l101,l102,l103,l104,l105,l106,l107,l108,l109,l110,l111,l112,l113,l114,");
    EXPECT_EQ(system((std::string("rm -r ") + dir).c_str()), 0);
}
