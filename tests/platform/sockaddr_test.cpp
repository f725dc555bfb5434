#include "platform/sockaddr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "tests/platform/sandbox.h"
#include "tests/platform/temp_dir.h"

namespace {

const char* kNodes = "/mnt/datafs/peerKeeper/nodes";

using CharPtr = std::unique_ptr<char, FreeDeleter>;

class AddressResolution : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_SANDBOX();
        emptyDir("/mnt/datafs/peerKeeper");
        // Only the hosts file answers, so unknown names fail at once instead of asking DNS.
        writeText("/etc/nsswitch.conf", "hosts: files\n");
        writeText("/etc/hosts", "127.0.0.1 localhost\n::1 localhost ip6-localhost\n");
    }
    static std::string resolve(const char* id) {
        CharPtr address{yebResolveNodeId(id)};
        return address ? address.get() : "<null>";
    }
};

int portOf(const SockAddrInfo& info) {
    if (info.family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(info.address)->sin_port);
    }
    if (info.family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(info.address)->sin6_port);
    }
    return -1;
}

TEST_F(AddressResolution, NodeListLinesAreMatchedByTheirFirstToken) {
    writeText(kNodes,
              "onlyid\n"
              "node1\t192.0.2.1\n"
              "node2   198.51.100.2 extra tokens\n"
              "node1 203.0.113.9\n"
              "\n"
              "# 192.0.2.99\n"
              "node3 192.0.2.3");
    EXPECT_EQ(resolve("node1"), "192.0.2.1") << "the first of two lines wins";
    EXPECT_EQ(resolve("node2"), "198.51.100.2");
    EXPECT_EQ(resolve("node3"), "192.0.2.3") << "a last line without newline counts";
    EXPECT_EQ(resolve("onlyid"), "<null>") << "a line with one token is skipped";
    EXPECT_EQ(resolve("#"), "192.0.2.99") << "there is no comment syntax";
    EXPECT_EQ(resolve("node"), "<null>");
    EXPECT_EQ(resolve(nullptr), "<null>");
}

TEST_F(AddressResolution, MissingNodeListResolvesNothing) {
    EXPECT_EQ(resolve("node1"), "<null>");
}

TEST_F(AddressResolution, ListedNodeIdResolvesToItsAddressWithThePort) {
    writeText(kNodes, "peer 192.0.2.10\n");
    SockAddrInfoPtr info{getSockAddrInfo("peer", 10001)};
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->family, AF_INET);
    EXPECT_EQ(info->length, sizeof(sockaddr_in));
    EXPECT_EQ(reinterpret_cast<char*>(info->address), reinterpret_cast<char*>(info.get() + 1));
    EXPECT_STREQ(info->text, "192.0.2.10");
    EXPECT_EQ(portOf(*info), 10001);
}

TEST_F(AddressResolution, UnlistedHostsResolveThemselves) {
    writeText(kNodes, "peer 192.0.2.10\n");
    SockAddrInfoPtr v4{getSockAddrInfo("198.51.100.7", 80)};
    ASSERT_NE(v4, nullptr);
    EXPECT_STREQ(v4->text, "198.51.100.7");
    EXPECT_EQ(portOf(*v4), 80);
    SockAddrInfoPtr v6{getSockAddrInfo("2001:db8::5", 443)};
    ASSERT_NE(v6, nullptr);
    EXPECT_EQ(v6->family, AF_INET6);
    EXPECT_EQ(v6->length, sizeof(sockaddr_in6));
    EXPECT_STREQ(v6->text, "2001:db8::5");
    EXPECT_EQ(portOf(*v6), 443);
}

TEST_F(AddressResolution, NullHostResolvesLocalhost) {
    SockAddrInfoPtr info{getSockAddrInfo(nullptr, 10001)};
    ASSERT_NE(info, nullptr);
    std::string text = info->text;
    EXPECT_TRUE(text == "127.0.0.1" || text == "::1") << text;
    EXPECT_EQ(portOf(*info), 10001);
}

TEST_F(AddressResolution, UnknownNameGivesNull) {
    EXPECT_EQ(getSockAddrInfo("no-such-host.invalid", 1), nullptr);
}

}  // namespace
