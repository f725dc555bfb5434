#include "platform/node.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "tests/platform/sandbox.h"
#include "tests/platform/temp_dir.h"

namespace {

class NodeFacts : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_SANDBOX();
        emptyDir("/run/yeb");
    }
    static void fact(const char* name, const std::string& text) {
        writeText(std::string("/run/yeb/") + name, text);
    }
};

TEST_F(NodeFacts, MissingFilesGiveTheDefaults) {
    EXPECT_EQ(yebIsProdMode(), 1);
    EXPECT_EQ(yebIsPrimary(), 0);
    EXPECT_EQ(yebIsSimulator(), 0);
    EXPECT_EQ(yebIsDev(), 0);
    EXPECT_EQ(yebNodeTypeExists(), 0);
    EXPECT_EQ(yebNodeNameExists(), 0);
    EXPECT_STREQ(yebArch(), "unknown");
    EXPECT_STREQ(yebVendorAuthority(), "");
    EXPECT_STREQ(yebMfgAuthority(), "");
    EXPECT_STREQ(yebBoardType(), "");
    EXPECT_STREQ(yebSomType(), "");
    EXPECT_STREQ(yebPrimaryNodeId(), "");
    EXPECT_EQ(yebNodeType(), nullptr);
    EXPECT_EQ(yebNodeName(), nullptr);
}

TEST_F(NodeFacts, FlagsCountByExistenceWhateverTheContent) {
    fact("testMode", "");
    fact("primary", "0");
    std::filesystem::create_directory("/run/yeb/simulator");
    fact("dev", "no");
    fact("nodeType", "");
    EXPECT_EQ(yebIsProdMode(), 0);
    EXPECT_EQ(yebIsPrimary(), 1);
    EXPECT_EQ(yebIsSimulator(), 1);
    EXPECT_EQ(yebIsDev(), 1);
    EXPECT_EQ(yebNodeTypeExists(), 1);
    EXPECT_EQ(yebNodeType(), nullptr) << "an empty type file exists but gives no type";
}

TEST_F(NodeFacts, TextFactsAreTrimmedFromEachOwnFile) {
    fact("nodeName", "  \tnode-1 \n");
    fact("nodeType", "gateway\n");
    fact("arch", "aarch64");
    fact("authority", "vendor\r\n");
    fact("mfgAuthority", " mfg");
    fact("boardType", "board a\n");
    fact("somType", "som\n\n");
    fact("primaryNodeId", "n0\n");
    EXPECT_STREQ(yebNodeName(), "node-1");
    EXPECT_STREQ(yebNodeType(), "gateway");
    EXPECT_STREQ(yebArch(), "aarch64");
    EXPECT_STREQ(yebVendorAuthority(), "vendor");
    EXPECT_STREQ(yebMfgAuthority(), "mfg");
    EXPECT_STREQ(yebBoardType(), "board a");
    EXPECT_STREQ(yebSomType(), "som");
    EXPECT_STREQ(yebPrimaryNodeId(), "n0");
}

TEST_F(NodeFacts, BlankOnlyNameIsNull) {
    fact("nodeName", "  \n \n");
    EXPECT_EQ(yebNodeNameExists(), 1);
    EXPECT_EQ(yebNodeName(), nullptr);
}

TEST_F(NodeFacts, EachQueryKeepsItsOwnStaticBuffer) {
    fact("nodeName", "first");
    fact("nodeType", "type");
    char* name = yebNodeName();
    char* type = yebNodeType();
    ASSERT_NE(name, nullptr);
    ASSERT_NE(type, nullptr);
    EXPECT_NE(name, type);
    EXPECT_STREQ(name, "first");
    fact("nodeName", "second");
    EXPECT_EQ(yebNodeName(), name) << "the same buffer is returned and overwritten";
    EXPECT_STREQ(name, "second");
}

TEST_F(NodeFacts, LongFactGivesItsFirst79BytesTrimmed) {
    std::string text = "  " + std::string(150, 'a') + "  " + std::string(46, 'b');
    ASSERT_EQ(text.size(), 200u);
    fact("boardType", text);
    EXPECT_EQ(std::string(yebBoardType()), std::string(77, 'a'));
    fact("somType", std::string(77, 's') + "  tail");
    EXPECT_EQ(std::string(yebSomType()), std::string(77, 's'));
}

TEST(NodeEndian, IsLittle) {
    EXPECT_EQ(yebEndian(), 0);
}

TEST(ReadFile, StopsAtTheFirstNulAndUsesTheFallbackWhenNothingIsLeft) {
    TempDir dir;
    char buffer[16];
    writeText(dir.path("nul"), std::string(" ab\0cd", 6));
    EXPECT_STREQ(yebReadFile(dir.path("nul").c_str(), buffer, sizeof buffer, "fb"), "ab");
    writeText(dir.path("empty"), "");
    EXPECT_STREQ(yebReadFile(dir.path("empty").c_str(), buffer, sizeof buffer, "fb"), "fb");
    EXPECT_STREQ(yebReadFile(dir.path("absent").c_str(), buffer, sizeof buffer, "fb"), "fb");
    EXPECT_STREQ(yebReadFile(dir.path("absent").c_str(), buffer, sizeof buffer, nullptr), "");
    EXPECT_STREQ(yebReadFile(dir.path().c_str(), buffer, sizeof buffer, "dir"), "dir");
}

TEST(WriteFile, WritesTheTextWithoutNewlineAndNullRemoves) {
    TempDir dir;
    std::string path = dir.path("fact");
    writeText(path, "a much longer old content");
    ASSERT_EQ(yebWriteFile(path.c_str(), "new"), 0);
    EXPECT_EQ(readText(path), "new");
    EXPECT_EQ(yebWriteFile(path.c_str(), nullptr), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(yebWriteFile(path.c_str(), nullptr), 0) << "also when there was no file";
    EXPECT_EQ(yebWriteFile(dir.path("absent/fact").c_str(), "x"), -1);
}

TEST(WriteFile, CreatesWithMode0644LessTheUmask) {
    TempDir dir;
    mode_t previous = umask(022);
    ASSERT_EQ(yebWriteFile(dir.path("fact").c_str(), "x"), 0);
    umask(previous);
    struct stat info {};
    ASSERT_EQ(stat(dir.path("fact").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

}  // namespace
