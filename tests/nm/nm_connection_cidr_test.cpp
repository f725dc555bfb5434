#include <NetworkManager.h>
#include <gtest/gtest.h>

#include <string>

#include "nm/nm_connection.h"

namespace {

struct CidrCase {
    const char* name;
    const char* text;
    const char* address;  // null: no address object
    unsigned prefix;
};

const CidrCase kCases[] = {
    {"AddressAndPrefix", "2001:db8::2/64", "2001:db8::2", 64},
    {"LongestPrefix", "2001:db8::2/128", "2001:db8::2", 128},
    {"ShortestPrefix", "2001:db8::/1", "2001:db8::", 1},
    {"TrailingTextAfterThePrefixIsIgnored", "2001:db8::2/64xyz", "2001:db8::2", 64},
    {"PrefixZero", "2001:db8::2/0", nullptr, 0},
    {"PrefixNotANumber", "2001:db8::2/abc", nullptr, 0},
    {"NotAnIpv6Address", "192.0.2.1/24", nullptr, 0},
    {"GarbageAddress", "2001:db8::zz/64", nullptr, 0},
    {"NullText", nullptr, nullptr, 0},
};

class Ip6Cidr : public testing::TestWithParam<CidrCase> {};

TEST_P(Ip6Cidr, Parses) {
    const CidrCase& c = GetParam();
    NMIPAddress* address = create_ip6_address_from_cidr(c.text);
    if (!c.address) {
        EXPECT_EQ(address, nullptr);
        return;
    }
    ASSERT_NE(address, nullptr);
    EXPECT_STREQ(nm_ip_address_get_address(address), c.address);
    EXPECT_EQ(nm_ip_address_get_prefix(address), c.prefix);
    EXPECT_EQ(nm_ip_address_get_family(address), AF_INET6);
    nm_ip_address_unref(address);
}

INSTANTIATE_TEST_SUITE_P(CreateIp6Address, Ip6Cidr, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
