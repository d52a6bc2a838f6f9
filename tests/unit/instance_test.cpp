// Instance names, the paths and the segment key they choose, and the clash
// of two names over one key.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/instance.h"

TEST(Instance, NamesAndWhatTheyChoose)
{
    for (const char* good : {"a", "0", "wan2", "lte-backup_1", "abcdefghijklmno"})
        EXPECT_TRUE(instance_name_valid(good)) << good;
    for (const char* bad : {"", "abcdefghijklmnop", "-a", "_a", "Wan", "a.b", "a/b", "a b", "..", "ä"})
        EXPECT_FALSE(instance_name_valid(bad)) << bad;

    Instance instance;
    ASSERT_TRUE(instance_from_name(nullptr, instance));
    EXPECT_STREQ(instance.settings_path, "/opt/tolvin/etc/settings");
    EXPECT_STREQ(instance.availability_path, "/var/data/tolvin/availability.dat");
    EXPECT_STREQ(instance.log_ident, "tolvin");
    EXPECT_EQ(instance.key_project, 1);
    ASSERT_TRUE(instance_from_name("abcdefghijklmno", instance));
    EXPECT_STREQ(instance.settings_path, "/opt/tolvin/etc/settings.abcdefghijklmno");
    EXPECT_STREQ(instance.availability_dir, "/var/data/tolvin/abcdefghijklmno");
    EXPECT_STREQ(instance.availability_path, "/var/data/tolvin/abcdefghijklmno/availability.dat");
    EXPECT_STREQ(instance.log_ident, "tolvin-abcdefghijklmno");
    EXPECT_FALSE(instance_from_name("../etc", instance));
    EXPECT_STREQ(instance.log_ident, "tolvin");

    // Every named instance's key is apart from the default's, and the same
    // on every start (readers derive it too).
    for (const char* name : {"a", "wan2", "lte"}) {
        EXPECT_GE(instance_key_project(name), 2) << name;
        EXPECT_LE(instance_key_project(name), 255) << name;
    }
    EXPECT_EQ(instance_key_project("wan2"), 2 + int(0x492ba949u % 254));   // FNV-1a of the name
}

TEST(Instance, TwoNamesOverOneKeyAreRefused)
{
    // Find a name whose key is wan2's.
    const int wanted = instance_key_project("wan2");
    std::string twin;
    for (int i = 0; twin.empty(); ++i) {
        const std::string name = "n" + std::to_string(i);
        if (instance_key_project(name.c_str()) == wanted)
            twin = name;
    }
    char dir[] = "/tmp/tolvin-instances-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    for (const char* file : {"settings", "settings.wan2", "settings.Bad.Name", "settings.x"})
        fclose(fopen((base + "/" + file).c_str(), "w"));
    Instance instance;
    ASSERT_TRUE(instance_from_name(twin.c_str(), instance));
    char other[16] = "";
    EXPECT_TRUE(instance_key_clash(instance, dir, other, sizeof other));
    EXPECT_STREQ(other, "wan2");
    ASSERT_TRUE(instance_from_name("wan2", instance));
    EXPECT_FALSE(instance_key_clash(instance, dir, other, sizeof other));   // itself is no clash
    ASSERT_TRUE(instance_from_name("", instance));
    EXPECT_FALSE(instance_key_clash(instance, dir, other, sizeof other));
    for (const char* file : {"settings", "settings.wan2", "settings.Bad.Name", "settings.x"})
        unlink((base + "/" + file).c_str());
    rmdir(dir);
}
