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
    bool exists(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    std::set<std::string> entries() {
        std::set<std::string> names;
        for (const char* name : {"wg-internal.nmconnection", "a.nmconnection", "b.nmconnection",
                                 "link.nmconnection", "subdir"}) {
            if (exists(dir_ + "/" + name)) names.insert(name);
        }
        return names;
    }

    std::string root_;
    std::string dir_;
};

TEST_F(ProfileDirectory, RemovesFilesAndLinksButSparesTheListedFileAndSubdirectories) {
    write(dir_ + "/wg-internal.nmconnection");
    write(dir_ + "/a.nmconnection");
    write(dir_ + "/b.nmconnection");
    write(root_ + "/elsewhere.nmconnection");
    ASSERT_EQ(
        symlink((root_ + "/elsewhere.nmconnection").c_str(), (dir_ + "/link.nmconnection").c_str()),
        0);
    ASSERT_EQ(mkdir((dir_ + "/subdir").c_str(), 0700), 0);
    write(dir_ + "/subdir/inner.nmconnection");

    const char* spare[] = {"wg-internal.nmconnection", nullptr};
    EXPECT_EQ(remove_files_and_symlinks_in_directory(dir_.c_str(), spare), 0);

    EXPECT_EQ(entries(), (std::set<std::string>{"wg-internal.nmconnection", "subdir"}));
    EXPECT_TRUE(exists(root_ + "/elsewhere.nmconnection")) << "a link's target must stay";
    EXPECT_TRUE(exists(dir_ + "/subdir/inner.nmconnection")) << "no descent into subdirectories";
}

TEST_F(ProfileDirectory, WithoutASpareListRemovesEveryFile) {
    write(dir_ + "/wg-internal.nmconnection");
    write(dir_ + "/a.nmconnection");
    EXPECT_EQ(remove_files_and_symlinks_in_directory(dir_.c_str(), nullptr), 0);
    EXPECT_TRUE(entries().empty());
}

TEST_F(ProfileDirectory, AnEmptyDirectoryIsACompletedScan) {
    EXPECT_EQ(remove_files_and_symlinks_in_directory(dir_.c_str(), nullptr), 0);
    EXPECT_TRUE(exists(dir_));
}

TEST_F(ProfileDirectory, AMissingDirectoryFailsWithMinus1) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(remove_files_and_symlinks_in_directory((dir_ + "/missing").c_str(), nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error opening directory: No such file or directory\n");
}

}  // namespace
