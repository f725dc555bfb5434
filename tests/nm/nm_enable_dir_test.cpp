#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "nm/nm_enable.h"

namespace {

// A scratch directory with a profile directory and a file outside it; removed at the end.
class ProfileDirectory : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lk-reset-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        dir_ = root_ + "/system-connections";
        ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    }
    void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

    void write(const std::string& path) { std::ofstream(path) << "[connection]\n"; }
    std::set<std::string> entries(const std::string& dir) {
        std::set<std::string> names;
        DIR* d = opendir(dir.c_str());
        for (dirent* e; d && (e = readdir(d));) names.insert(e->d_name);
        if (d) closedir(d);
        names.erase(".");
        names.erase("..");
        return names;
    }

    std::string root_;
    std::string dir_;
};

TEST_F(ProfileDirectory, RemovesFilesAndLinksButSparesTheListedFileAndSubdirectories) {
    for (const char* name : {"/wg-internal.nmconnection", "/a.nmconnection", "/b.nmconnection"})
        write(dir_ + name);
    write(root_ + "/elsewhere.nmconnection");
    ASSERT_EQ(
        symlink((root_ + "/elsewhere.nmconnection").c_str(), (dir_ + "/link.nmconnection").c_str()),
        0);
    ASSERT_EQ(mkdir((dir_ + "/subdir").c_str(), 0700), 0);
    write(dir_ + "/subdir/inner.nmconnection");

    const char* spare[] = {"wg-internal.nmconnection", nullptr};
    EXPECT_EQ(remove_files_and_symlinks_in_directory(dir_.c_str(), spare), 0);
    EXPECT_EQ(entries(dir_), (std::set<std::string>{"wg-internal.nmconnection", "subdir"}));
    EXPECT_EQ(entries(root_),
              (std::set<std::string>{"elsewhere.nmconnection", "system-connections"}))
        << "a link's target must stay";
    EXPECT_EQ(entries(dir_ + "/subdir"), std::set<std::string>{"inner.nmconnection"})
        << "no descent into subdirectories";
}

TEST_F(ProfileDirectory, AMissingDirectoryFailsWithMinus1) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(remove_files_and_symlinks_in_directory((dir_ + "/missing").c_str(), nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error opening directory: No such file or directory\n");
}

}  // namespace
