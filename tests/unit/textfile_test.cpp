// Writing a file that readers never find half written.
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tolvinstat/front/textfile.h"

namespace {

class TextFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tolvin-textfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override
    {
        for (const std::string& name : names())
            unlink((directory + "/" + name).c_str());
        rmdir(directory.c_str());
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> found;
        DIR* dir = opendir(directory.c_str());
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                found.push_back(name);
        }
        closedir(dir);
        return found;
    }
    std::string text(const char* name) const
    {
        std::ifstream in(directory + "/" + name);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::string directory;
};

TEST_F(TextFile, ReplacesTheFileWholeAndLeavesNothingElse)
{
    ASSERT_EQ(write_file_atomically(directory.c_str(), "tolvin.prom", "a 1\n", 4), 0);
    struct stat first;
    ASSERT_EQ(stat((directory + "/tolvin.prom").c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 07777, 0644u);
    EXPECT_EQ(text("tolvin.prom"), "a 1\n");

    ASSERT_EQ(write_file_atomically(directory.c_str(), "tolvin.prom", "b 2\nc 3\n", 8), 0);
    struct stat second;
    ASSERT_EQ(stat((directory + "/tolvin.prom").c_str(), &second), 0);
    EXPECT_NE(first.st_ino, second.st_ino);     // a new file renamed over the old
    EXPECT_EQ(text("tolvin.prom"), "b 2\nc 3\n");
    EXPECT_EQ(names(), std::vector<std::string>{"tolvin.prom"});
}

TEST_F(TextFile, ADirectoryThatIsNotThereIsReported)
{
    EXPECT_EQ(write_file_atomically((directory + "/missing").c_str(), "tolvin.prom", "a 1\n", 4), ENOENT);
    EXPECT_TRUE(names().empty());
}

} // namespace
