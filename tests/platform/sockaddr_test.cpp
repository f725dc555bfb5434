#include "platform/sockaddr.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

#include "tests/platform/sandbox.h"
#include "tests/platform/temp_dir.h"

namespace {

class AddressResolution : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_SANDBOX();
        emptyDir("/mnt/datafs/peerKeeper");
        // Only the hosts file answers, so unknown names fail at once instead of asking DNS.
        writeText("/etc/nsswitch.conf", "hosts: files\n");
        writeText("/etc/hosts", "127.0.0.1 localhost\n");
    }
};

// Node ids come from the first token of a line of the node list; anything else resolves itself.
TEST_F(AddressResolution, GivesFamilyAddressTextAndPortOfNodeIdsAndHosts) {
    EXPECT_EQ(yebResolveNodeId("node1"), nullptr) << "no node list";
    writeText("/mnt/datafs/peerKeeper/nodes",
              "onlyid\nnode1\t192.0.2.1\nnode2   198.51.100.2 extra\nnode1 203.0.113.9\n\n"
              "# 192.0.2.99\nnode3 192.0.2.3");
    EXPECT_EQ(yebResolveNodeId(nullptr), nullptr);
    const struct {
        const char* host;
        int family;
        const char* text;
    } cases[] = {
        {"node1", AF_INET, "192.0.2.1"},  // the first of two lines wins
        {"node2", AF_INET, "198.51.100.2"},
        {"node3", AF_INET, "192.0.2.3"},
        {"#", AF_INET, "192.0.2.99"},  // no comment syntax
        {"onlyid", 0, nullptr},
        {"node", 0, nullptr},
        {"198.51.100.7", AF_INET, "198.51.100.7"},
        {"2001:db8::5", AF_INET6, "2001:db8::5"},
        {nullptr, AF_INET, "127.0.0.1"},
    };
    int port = 1000;
    for (const auto& c : cases) {
        SockAddrInfoPtr info{getSockAddrInfo(c.host, ++port)};
        ASSERT_EQ(info != nullptr, c.text != nullptr) << (c.host ? c.host : "null host");
        if (!info) continue;
        EXPECT_EQ(info->family, c.family);
        EXPECT_STREQ(info->text, c.text);
        EXPECT_EQ(reinterpret_cast<char*>(info->address), reinterpret_cast<char*>(info.get() + 1));
        auto* v4 = reinterpret_cast<sockaddr_in*>(info->address);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(info->address);
        bool isV4 = c.family == AF_INET;
        EXPECT_EQ(info->length, isV4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        EXPECT_EQ(ntohs(isV4 ? v4->sin_port : v6->sin6_port), port) << c.text;
    }
}

}  // namespace
