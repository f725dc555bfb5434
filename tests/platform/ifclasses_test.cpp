#include "platform/ifclasses.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/platform/sandbox.h"
#include "tests/platform/temp_dir.h"

namespace {

// The classes load once per process, so every case writes its files and then queries them in a
// fresh child process.

using Count = int (*)();
using Entry = const char* (*)(int);
using Member = int (*)(const char*);

struct ClassApi {
    const char* key;
    Count count;
    Entry entry;
    Member member;
};

const ClassApi kClasses[] = {
    {"netif_external", yebExternalIfaceCnt, yebExternalIface, yebIsExternalIface},
    {"netif_integration", yebIntegrationIfaceCnt, yebIntegrationIface, yebIsIntegrationIface},
    {"netif_internal", yebInternalIfaceCnt, yebInternalIface, yebIsInternalIface},
};

// "key: [a][b]" per class, read through count and position; checks that the bounds yield null
// and every entry is a member of its own class.
std::string describeClasses() {
    std::string out;
    for (const ClassApi& c : kClasses) {
        out += std::string(c.key) + ":";
        int count = c.count();
        for (int i = 0; i < count; ++i) {
            const char* entry = c.entry(i);
            out += "[" + std::string(entry != nullptr ? entry : "<null>") + "]";
            if (entry != nullptr && c.member(entry) != 1) out += "<not a member>";
        }
        if (c.entry(-1) != nullptr || c.entry(count) != nullptr) out += "<out of range not null>";
        out += "\n";
    }
    return out;
}

class InterfaceClasses : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_SANDBOX();
        for (const char* dir : {"/run/yeb/boot", "/mnt/datafs/boot", "/usr/share/yeb/boot"}) {
            emptyDir(dir);
        }
    }
};

TEST_F(InterfaceClasses, NoFilesAnywhereGiveEmptyClasses) {
    EXPECT_EQ(inChildProcess(describeClasses),
              "netif_external:\nnetif_integration:\nnetif_internal:\n");
    EXPECT_EQ(inChildProcess([] {
                  return std::to_string(yebIsExternalIface("eth0")) +
                         std::to_string(yebIsIntegrationIface("")) +
                         std::to_string(yebIsInternalIface("lo"));
              }),
              "000");
}

TEST_F(InterfaceClasses, EachClassTakesTheFirstDirectoryThatHasItsFile) {
    writeText("/run/yeb/boot/netif_external", "");
    writeText("/usr/share/yeb/boot/netif_external", "eth9\n");
    writeText("/mnt/datafs/boot/netif_integration", "eth1\n");
    writeText("/usr/share/yeb/boot/netif_integration", "eth8\n");
    writeText("/usr/share/yeb/boot/netif_internal", "eth2\neth3\n");
    EXPECT_EQ(inChildProcess(describeClasses),
              "netif_external:\n"
              "netif_integration:[eth1]\n"
              "netif_internal:[eth2][eth3]\n");
}

TEST_F(InterfaceClasses, LinesAreTrimmedOnTheRightOnlyAndBlankLinesSkipped) {
    writeText("/run/yeb/boot/netif_external",
              "eth0  \r\n"
              "\n"
              " \t \n"
              "  wlan0\n"
              "two names\n"
              "last\tno newline");
    EXPECT_EQ(inChildProcess(describeClasses),
              "netif_external:[eth0][  wlan0][two names][last\tno newline]\n"
              "netif_integration:\nnetif_internal:\n");
    EXPECT_EQ(inChildProcess([] {
                  return std::to_string(yebIsExternalIface("eth0")) +
                         std::to_string(yebIsExternalIface("wlan0")) +
                         std::to_string(yebIsExternalIface("ETH0")) +
                         std::to_string(yebIsInternalIface("eth0"));
              }),
              "1000");
}

TEST_F(InterfaceClasses, OnlyTheFirstEightEntriesAreKept) {
    std::string lines;
    for (int i = 0; i < 10; ++i) lines += "if" + std::to_string(i) + "\n\n";
    writeText("/run/yeb/boot/netif_internal", lines);
    EXPECT_EQ(inChildProcess(describeClasses),
              "netif_external:\nnetif_integration:\n"
              "netif_internal:[if0][if1][if2][if3][if4][if5][if6][if7]\n");
    EXPECT_EQ(inChildProcess([] { return std::to_string(yebIsInternalIface("if8")); }), "0");
}

TEST_F(InterfaceClasses, LongLinesArriveIn31CharacterPieces) {
    std::string name = std::string(31, 'a') + std::string(9, 'b');
    writeText("/run/yeb/boot/netif_integration", name + "\n");
    EXPECT_EQ(inChildProcess(describeClasses),
              "netif_external:\n"
              "netif_integration:[" +
                  std::string(31, 'a') + "][bbbbbbbbb]\n" + "netif_internal:\n");
}

TEST_F(InterfaceClasses, EditsAfterTheFirstQueryChangeNothing) {
    writeText("/run/yeb/boot/netif_external", "eth0\n");
    EXPECT_EQ(inChildProcess([] {
                  std::string before = describeClasses();
                  writeText("/run/yeb/boot/netif_external", "eth5\neth6\n");
                  return before == describeClasses() ? std::string("same") : "changed";
              }),
              "same");
}

}  // namespace
