#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nm/nmjson_unmarshal.h"

namespace {

// The text as the dispatch loop hands it over: the payload, then one NUL of its own.
template <typename Out>
int decode(const std::string& text, Out* out, int (*unmarshal)(Decoder*, Out*)) {
    Decoder dec;
    decoderWrap(&dec, text.c_str(), static_cast<int>(text.size()));
    return unmarshal(&dec, out);
}

int decode(const std::string& text, nmaConnection* out) {
    return decode(text, out, nmjson_unmarshal_nmaConnection);
}

bool allZero(const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

struct RefusedCase {
    const char* name;
    const char* text;
};

// Refusals that the end-to-end tests do not reach (they check invalid JSON, missing members,
// over-long lists and unknown modes with the profile list before and after).
const RefusedCase kRefused[] = {
    {"Ip4GivenAsNull", R"({"interface":"eth0","ip4":null})"},
    {"Ip6WithoutMethod", R"({"interface":"eth0","ip6":{"gateway":"2001:db8::1"}})"},
    {"WifiWithoutSsid", R"({"interface":"wlan0","wifi":{"mode":"ap"}})"},
    {"WifiModeInOtherCase", R"({"interface":"wlan0","wifi":{"ssid":"SG9tZQ==","mode":"AP"}})"},
};

class RefusedConnection : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedConnection, IsAnsweredWithMinus22) {
    nmaConnection connection;
    EXPECT_EQ(decode(GetParam().text, &connection), -22);
}

INSTANTIATE_TEST_SUITE_P(Decoder, RefusedConnection, testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConnectionDecoder, OnlyAnInterfaceAndUnknownMembersLeaveEveryOtherFieldZero) {
    nmaConnection connection;
    memset(&connection, 0xAA, sizeof connection);
    ASSERT_EQ(decode(R"({"interface":"eth0","unknown":{"ip4":{"method":"auto"}}})", &connection),
              0);
    EXPECT_STREQ(connection.interface, "eth0");
    EXPECT_TRUE(allZero(reinterpret_cast<const char*>(&connection) + sizeof connection.interface,
                        sizeof connection - sizeof connection.interface));
}

TEST(ConnectionDecoder, RemoveStopsDecodingEvenBeforeAMalformedSection) {
    nmaConnection c;
    ASSERT_EQ(decode(R"({"interface":"eth0","remove":true,"ip4":{"address":"x"}})", &c), 0);
    EXPECT_EQ(c.remove, 1);
    EXPECT_EQ(c.ip4.address[0], '\0');
    EXPECT_EQ(decode(R"({"interface":"eth0","remove":false,"ip4":{"address":"x"}})", &c), -22);
}

struct ListCase {
    const char* name;
    const char* dns;  // the JSON value of "ip4.dns"
    int count;
    const char* first;
};

const ListCase kLists[] = {
    {"StringInsteadOfArrayCountsZero", R"("192.0.2.1")", 0, ""},
    {"NumberElementIsCopiedAsItsText", "[42]", 1, "42"},
    {"LongElementIsCut", R"(["192.168.100.200x"])", 1, "192.168.100.200"},
    {"EscapedElementIsUnescaped", R"(["192.0.2.\u0031"])", 1, "192.0.2.1"},
};

class Ip4NameServers : public testing::TestWithParam<ListCase> {};

TEST_P(Ip4NameServers, AreCounted) {
    nmaConnection c;
    std::string text =
        std::string(R"({"interface":"eth0","ip4":{"method":"auto","dns":)") + GetParam().dns + "}}";
    ASSERT_EQ(decode(text, &c), 0);
    EXPECT_EQ(c.ip4.dnsCount, GetParam().count);
    EXPECT_STREQ(c.ip4.dns[0], GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(Decoder, Ip4NameServers, testing::ValuesIn(kLists),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConnectionDecoder, CutsTextsToTheirArraysWithoutSpillingOver) {
    nmaConnection c;
    std::string longName(40, 'n');
    std::string longPsk(100, 'k');
    ASSERT_EQ(decode(R"({"interface":")" + longName + R"(","ip4":{"method":"manual",)" +
                         R"("address":"192.0.2.200/extra"},"wifi":{"ssid":"QQ==","security":)" +
                         R"({"psk":")" + longPsk + R"("}}})",
                     &c),
              0);
    EXPECT_EQ(std::string(c.interface), longName.substr(0, 31));
    EXPECT_STREQ(c.ip4.address, "192.0.2.200/ext");
    EXPECT_EQ(std::string(c.wifi.security.psk), longPsk.substr(0, 63));
    EXPECT_EQ(c.ip4.prefix, 0u);
}

TEST(ConnectionDecoder, ReadsAPrefixGivenAsText) {
    nmaConnection c;
    ASSERT_EQ(decode(R"({"interface":"eth0","ip4":{"method":"manual","prefix":"24"}})", &c), 0);
    EXPECT_EQ(c.ip4.prefix, 24u);
}

TEST(ConnectionDecoder, WifiWithoutModeJoinsAsAClientAndTakesA32ByteSsid) {
    nmaConnection c;
    ASSERT_EQ(decode(R"({"interface":"wlan0","wifi":{"ssid":"SG9tZQ==","mode":""}})", &c), 0);
    EXPECT_STREQ(c.wifi.mode, "infrastructure");
    ASSERT_EQ(decode(R"({"interface":"wlan0","wifi":{"ssid":)"
                     R"("MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY="}})",
                     &c),
              0);
    EXPECT_STREQ(c.wifi.mode, "infrastructure");
    ASSERT_EQ(c.wifi.ssidLength, 32u);
    EXPECT_EQ(memcmp(c.wifi.ssid, "0123456789abcdef0123456789abcdef", 32), 0);
}

TEST(ConnectionDecoder, ReadsOnlyUpToTheFirstNul) {
    nmaConnection c;
    std::string text("{\"interface\":\"eth0\"}\0garbage", 28);
    ASSERT_EQ(decode(text, &c), 0);
    EXPECT_STREQ(c.interface, "eth0");
    EXPECT_EQ(decode(std::string("{\"interface\":\"eth0\"\0}", 21), &c), -22);
}

struct WatchCase {
    const char* name;
    const char* text;
    int status;
    const char* interface;
    const char* property;
    uint32_t handle;
};

const WatchCase kWatches[] = {
    {"HandleAloneLeavesTheTextsEmpty", R"({"handle":7})", 0, "", "", 7},
    {"AddRequestNamesInterfaceAndProperty",
     R"({"interface":"veth0","property":"state-changed","handle":0})", 0, "veth0", "state-changed",
     0},
    {"HandleKeepsItsLow32Bits", R"({"handle":4294967297})", 0, "", "", 1},
    {"LongPropertyIsCut", R"({"property":"access-point-removed-and-more-text","handle":0})", 0, "",
     "access-point-removed-and-more-t", 0},
    {"InvalidJsonIsRefused", R"({"handle":1)", -22, "", "", 0},
};

class WatchDecoder : public testing::TestWithParam<WatchCase> {};

TEST_P(WatchDecoder, Decodes) {
    const WatchCase& w = GetParam();
    nmaWatchInterfaceCfg config;
    ASSERT_EQ(decode(w.text, &config, nmjson_unmarshal_nmaWatchInterfaceCfg), w.status);
    if (w.status != 0) return;
    EXPECT_STREQ(config.interface, w.interface);
    EXPECT_STREQ(config.property, w.property);
    EXPECT_EQ(config.handle, w.handle);
}

INSTANTIATE_TEST_SUITE_P(Decoder, WatchDecoder, testing::ValuesIn(kWatches),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
