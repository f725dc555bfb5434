#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nm/nmhelper.h"

namespace {

struct SysfsCase {
    const char* name;
    const char* ifname;
    const char* attribute;
    int size;
    int status;
    const char* text;  // expected output when status is 0
};

// The loopback link exists in every network namespace; its "mtu" file holds "65536\n" and its
// "speed" file fails to read.
const SysfsCase kCases[] = {
    {"ReadsTheLineWithoutItsNewline", "lo", "mtu", 32, 0, "65536"},
    {"TruncatesToTheBufferSize", "lo", "mtu", 3, 0, "65"},
    {"GivesAnEmptyTextInABufferOfOneByte", "lo", "mtu", 1, 0, ""},
    {"KeepsAValueThatExactlyFillsTheBuffer", "lo", "mtu", 6, 0, "65536"},
    {"AnswersMinus5ForAnAttributeTheKernelRefusesToRead", "lo", "speed", 32, -5, nullptr},
    {"AnswersMinus22ForAnUnknownAttribute", "lo", "no_such_attribute", 32, -22, nullptr},
};

class SysfsProperty : public testing::TestWithParam<SysfsCase> {};

TEST_P(SysfsProperty, Reads) {
    const SysfsCase& c = GetParam();
    char out[64];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(nmhelper_querySysFsNetProperty(c.ifname, c.attribute, out, c.size), c.status);
    if (c.status == 0) {
        EXPECT_STREQ(out, c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(Loopback, SysfsProperty, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SysfsPropertyArguments, RefusesOverlongPaths) {
    char out[8];
    // "/sys/class/net/" + "lo/" + 237 characters is 256 bytes: one past the path buffer.
    std::string longName(237, 'a');
    EXPECT_EQ(nmhelper_querySysFsNetProperty("lo", longName.c_str(), out, sizeof out), -22);
}

}  // namespace
