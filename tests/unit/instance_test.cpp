// Instance names at their bounds, and the segment key they choose (which
// readers derive too: the FNV-1a hash of the name).
#include <gtest/gtest.h>

#include "core/instance.h"

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
