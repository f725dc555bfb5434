#include "platform/ifclasses.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/platform/sandbox.h"
#include "tests/platform/temp_dir.h"

namespace {

struct ClassApi {
    int (*count)();
    const char* (*entry)(int);
    int (*member)(const char*);
};
const ClassApi kClasses[] = {
    {yebExternalIfaceCnt, yebExternalIface, yebIsExternalIface},
    {yebIntegrationIfaceCnt, yebIntegrationIface, yebIsIntegrationIface},
    {yebInternalIfaceCnt, yebInternalIface, yebIsInternalIface},
};

// "[a][b]" per class, external|integration|internal; flags entries that are not members of their
// own class, non-null entries out of range, and any class that takes a name none of the cases
// should list.
std::string describeClasses() {
    std::string out;
    for (const ClassApi& c : kClasses) {
        if (&c != kClasses) out += "|";
        for (int i = 0; i < c.count(); ++i) {
            out += "[" + std::string(c.entry(i)) + "]";
            if (c.member(c.entry(i)) != 1) out += "<not a member>";
        }
        if (c.entry(-1) != nullptr || c.entry(c.count()) != nullptr) out += "<out of range>";
        for (const char* outsider : {"", "ETH0", "wlan0", "if8", "eth9", "eth8"})
            if (c.member(outsider) != 0) out += std::string("<member ") + outsider + ">";
    }
    return out;
}

void clearBootLists() {
    for (const char* dir : {"/run/yeb/boot", "/mnt/datafs/boot", "/usr/share/yeb/boot"})
        emptyDir(dir);
}

TEST(InterfaceClasses, LoadFromTheFirstDirectoryThatHasTheFile) {
    LK_REQUIRE_SANDBOX();
    const std::string nine = "if0\nif1\n\nif2\nif3\nif4\nif5\nif6\nif7\nif8\n";
    const struct {
        const char* what;
        std::map<std::string, std::string> files;
        std::string expected;
    } cases[] = {
        {"no files give empty classes", {}, "||"},
        {"an empty file in an earlier directory hides later ones",
         {{"/run/yeb/boot/netif_external", ""},
          {"/usr/share/yeb/boot/netif_external", "eth9\n"},
          {"/mnt/datafs/boot/netif_integration", "eth1\n"},
          {"/usr/share/yeb/boot/netif_integration", "eth8\n"},
          {"/usr/share/yeb/boot/netif_internal", "eth2\neth3\n"}},
         "|[eth1]|[eth2][eth3]"},
        {"lines are trimmed on the right only and blank ones skipped",
         {{"/run/yeb/boot/netif_external", "eth0  \r\n\n \t \n  wlan0\ntwo names\nlast\tline"}},
         "[eth0][  wlan0][two names][last\tline]||"},
        {"only the first eight entries count",
         {{"/run/yeb/boot/netif_internal", nine}},
         "||[if0][if1][if2][if3][if4][if5][if6][if7]"},
        {"long lines arrive in 31-character pieces",
         {{"/mnt/datafs/boot/netif_integration", std::string(31, 'a') + "bbbbbbbbb\n"}},
         "|[" + std::string(31, 'a') + "][bbbbbbbbb]|"},
    };
    for (const auto& c : cases) {
        clearBootLists();
        for (const auto& [path, text] : c.files) writeText(path, text);
        EXPECT_EQ(inChildProcess(describeClasses), c.expected) << c.what;
    }
}

TEST(InterfaceClasses, EditsAfterTheFirstQueryChangeNothing) {
    LK_REQUIRE_SANDBOX();
    clearBootLists();
    writeText("/run/yeb/boot/netif_external", "eth0\n");
    EXPECT_EQ(inChildProcess([] {
                  std::string before = describeClasses();
                  writeText("/run/yeb/boot/netif_external", "eth5\neth6\n");
                  return before == describeClasses() ? "same" : "changed: " + before;
              }),
              "same");
}

}  // namespace
