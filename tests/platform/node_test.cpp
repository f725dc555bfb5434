#include "platform/node.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/platform/sandbox.h"
#include "tests/platform/temp_dir.h"

namespace {

std::string shown(const char* text) {
    return text != nullptr ? text : "<null>";
}

struct FactCase {
    const char* file;
    char* (*query)();
    std::string content;  // "<none>": no file, "<dir>": a directory
    std::string expected;
};

TEST(NodeFacts, AreReadTrimmedFromTheirOwnFileWithDefaultsWhenMissing) {
    LK_REQUIRE_SANDBOX();
    const std::string longText = "  " + std::string(150, 'a') + "  " + std::string(46, 'b');
    const FactCase cases[] = {
        {"nodeName", yebNodeName, "<none>", "<null>"},
        {"nodeName", yebNodeName, "  \tnode-1 \n", "node-1"},
        {"nodeName", yebNodeName, "  \n \n", "<null>"},
        {"nodeType", yebNodeType, "", "<null>"},
        {"nodeType", yebNodeType, "gateway\n", "gateway"},
        {"arch", yebArch, "<none>", "unknown"},
        {"arch", yebArch, "<dir>", "unknown"},
        {"arch", yebArch, "", "unknown"},
        {"arch", yebArch, "aarch64", "aarch64"},
        {"authority", yebVendorAuthority, "<none>", ""},
        {"authority", yebVendorAuthority, std::string(" ab\0cd", 6), "ab"},
        {"authority", yebVendorAuthority, "vendor\r\n", "vendor"},
        {"mfgAuthority", yebMfgAuthority, " mfg", "mfg"},
        {"somType", yebSomType, "som\n\n", "som"},
        {"primaryNodeId", yebPrimaryNodeId, "n0\n", "n0"},
        // The first 79 bytes, then trimmed.
        {"boardType", yebBoardType, longText, std::string(77, 'a')},
    };
    for (const FactCase& c : cases) {
        emptyDir("/run/yeb");
        std::string path = std::string("/run/yeb/") + c.file;
        if (c.content == "<dir>") std::filesystem::create_directory(path);
        if (c.content[0] != '<') writeText(path, c.content);
        EXPECT_EQ(shown(c.query()), c.expected) << c.file << " holding " << c.content;
    }
    writeText("/run/yeb/nodeName", "n");
    char* name = yebNodeName();
    ASSERT_NE(yebBoardType(), nullptr);  // still the long text of the last case
    EXPECT_STREQ(name, "n") << "each fact keeps its own buffer";
}

TEST(NodeFacts, FlagsCountByExistenceWhateverTheContent) {
    LK_REQUIRE_SANDBOX();
    const std::pair<const char*, int (*)()> flags[] = {
        {"primary", yebIsPrimary},       {"simulator", yebIsSimulator},   {"dev", yebIsDev},
        {"nodeType", yebNodeTypeExists}, {"nodeName", yebNodeNameExists},
    };
    emptyDir("/run/yeb");
    EXPECT_EQ(yebIsProdMode(), 1);
    for (const auto& [file, flag] : flags) EXPECT_EQ(flag(), 0) << file;
    writeText("/run/yeb/testMode", "0");
    EXPECT_EQ(yebIsProdMode(), 0);
    for (const auto& [file, flag] : flags) {
        writeText(std::string("/run/yeb/") + file, "0");
        EXPECT_EQ(flag(), 1) << file;
    }
}

TEST(FactFiles, WriteTruncatesWithMode0644OrRemoves) {
    TempDir dir;
    std::string path = dir.path("fact");
    writeText(path, "a much longer old content");
    mode_t previous = umask(022);
    EXPECT_EQ(yebWriteFile(path.c_str(), "new"), 0);
    EXPECT_EQ(yebWriteFile(dir.path("fresh").c_str(), "x"), 0);
    umask(previous);
    EXPECT_EQ(readText(path), "new");
    struct stat info {};
    ASSERT_EQ(stat(dir.path("fresh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(yebWriteFile(path.c_str(), nullptr), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(yebWriteFile(path.c_str(), nullptr), 0) << "also when there was no file";
    EXPECT_EQ(yebWriteFile(dir.path("absent/fact").c_str(), "x"), -1);
}

}  // namespace
