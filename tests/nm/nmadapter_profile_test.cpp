// The writers of request 4's members, fed with profile settings built in this process.
#include <NetworkManager.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <utility>
#include <vector>

#include "codec/json_writer.h"
#include "nm/glib_ptr.h"
#include "nm/nmadapter_funcs.h"

namespace {

using Writer = int (*)(Encoder*, NMSettingIPConfig*);

// Runs one member writer inside an outer object; returns the JSON text, or "status N".
std::string render(Writer writer, NMSettingIPConfig* setting) {
    Encoder enc;
    encoderCreate(&enc, 256);
    encodeJsonStart(&enc);
    encodeJsonObjectStart(&enc);
    int status = writer(&enc, setting);
    encodeJsonObjectEnd(&enc);
    encodeJsonEnd(&enc);
    std::string text =
        status < 0 ? "status " + std::to_string(status) : reinterpret_cast<const char*>(enc.data);
    encoderFree(&enc);
    return text;
}

struct IpCase {
    const char* name;
    bool ip6;
    const char* method;
    std::vector<std::pair<const char*, int>> addresses;
    const char* gateway;
    std::vector<const char*> dns;
    int addrGenMode;  // ip6 only
    std::string expected;
};

GObjectPtr<NMSettingIPConfig> buildSetting(const IpCase& c) {
    auto setting = adoptGObject(c.ip6 ? NM_SETTING_IP_CONFIG(nm_setting_ip6_config_new())
                                      : NM_SETTING_IP_CONFIG(nm_setting_ip4_config_new()));
    g_object_set(setting.get(), NM_SETTING_IP_CONFIG_METHOD, c.method, NM_SETTING_IP_CONFIG_GATEWAY,
                 c.gateway, nullptr);
    for (auto [text, prefix] : c.addresses) {
        NMIPAddress* address = nm_ip_address_new(c.ip6 ? AF_INET6 : AF_INET, text, prefix, nullptr);
        nm_setting_ip_config_add_address(setting.get(), address);
        nm_ip_address_unref(address);
    }
    for (const char* server : c.dns) nm_setting_ip_config_add_dns(setting.get(), server);
    if (c.ip6)
        g_object_set(setting.get(), NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE, c.addrGenMode, nullptr);
    return setting;
}

const IpCase kIpCases[] = {
    {"ManualIp4ReportsOnlyTheFirstAddressAndEveryServer",
     false,
     "manual",
     {{"192.0.2.10", 24}, {"198.51.100.7", 25}},
     "192.0.2.1",
     {"192.0.2.53", "203.0.113.53"},
     0,
     R"({"ip4":{"method":"manual","address":"192.0.2.10","prefix":24,"gateway":"192.0.2.1",)"
     R"("dns":["192.0.2.53","203.0.113.53"]}})"},
    {"AutomaticIp4WithoutStaticDataHasOnlyTheMethod",
     false,
     "auto",
     {},
     nullptr,
     {},
     0,
     R"({"ip4":{"method":"auto"}})"},
    {"Ip4ServersWithoutAddressesAreStillReported",
     false,
     "auto",
     {},
     nullptr,
     {"192.0.2.53"},
     0,
     R"({"ip4":{"method":"auto","dns":["192.0.2.53"]}})"},
    {"UnknownIp4MethodIsRefused", false, "bogus", {}, nullptr, {}, 0, "status -95"},
    {"ManualIp6ReportsEveryAddressWithPrefix",
     true,
     "manual",
     {{"2001:db8::10", 64}, {"2001:db8:1::1", 48}},
     "2001:db8::1",
     {"2001:db8::53"},
     NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_EUI64,
     R"({"ip6":{"method":"manual","addresses":["2001:db8::10/64","2001:db8:1::1/48"],)"
     R"("gateway":"2001:db8::1","dns":["2001:db8::53"],"addr-gen-mode":"eui64"}})"},
    {"StablePrivacyModeIsNamed",
     true,
     "auto",
     {},
     nullptr,
     {},
     NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_STABLE_PRIVACY,
     R"({"ip6":{"method":"auto","addr-gen-mode":"stable-privacy"}})"},
    {"DefaultAddrGenModeIsLeftOut",
     true,
     "ignore",
     {},
     nullptr,
     {},
     NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_DEFAULT,
     R"({"ip6":{"method":"ignore"}})"},
    {"UnknownIp6MethodIsRefused", true, "bogus", {}, nullptr, {}, 0, "status -95"},
};

class IpSettingWriter : public testing::TestWithParam<IpCase> {};

TEST_P(IpSettingWriter, WritesTheMember) {
    const IpCase& c = GetParam();
    auto setting = buildSetting(c);
    EXPECT_EQ(render(c.ip6 ? encodeIP6Details : encodeIP4Details, setting.get()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Profiles, IpSettingWriter, testing::ValuesIn(kIpCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IpSettingWriterLog, NamesTheUnknownMethod) {
    IpCase c{"", true, "bogus", {}, nullptr, {}, 0, ""};
    auto setting = buildSetting(c);
    testing::internal::CaptureStdout();
    render(encodeIP6Details, setting.get());
    EXPECT_NE(testing::internal::GetCapturedStdout().find("error: IP6 unknown method: bogus\n"),
              std::string::npos);
}

struct KeyMgtCase {
    const char* name;
    bool hasSetting;
    const char* keyMgmt;
    const char* proto;
    const char* expected;  // null: refused
};

const KeyMgtCase kKeyMgtCases[] = {
    {"NoSecuritySettingIsOpen", false, nullptr, nullptr, "open"},
    {"SecurityWithoutKeyManagementIsOpen", true, nullptr, nullptr, "open"},
    {"WpaPskWithRsnFirstIsWpa2", true, "wpa-psk", "rsn", "wpa2"},
    {"WpaPskWithWpaProtocolIsWpa", true, "wpa-psk", "wpa", "wpa"},
    {"WpaPskWithoutProtocolIsWpa", true, "wpa-psk", nullptr, "wpa"},
    {"SaeIsNotRepresented", true, "sae", nullptr, nullptr},
    {"EnterpriseIsNotRepresented", true, "wpa-eap", "rsn", nullptr},
};

class KeyManagement : public testing::TestWithParam<KeyMgtCase> {};

TEST_P(KeyManagement, MapsTheProfile) {
    const KeyMgtCase& c = GetParam();
    GObjectPtr<NMSettingWirelessSecurity> security;
    if (c.hasSetting) {
        security = adoptGObject(NM_SETTING_WIRELESS_SECURITY(nm_setting_wireless_security_new()));
        g_object_set(security.get(), NM_SETTING_WIRELESS_SECURITY_KEY_MGMT, c.keyMgmt, nullptr);
        if (c.proto) nm_setting_wireless_security_add_proto(security.get(), c.proto);
    }
    testing::internal::CaptureStdout();
    const char* keymgt = getAdapterKeyMgtFromSecurity(security.get());
    std::string printed = testing::internal::GetCapturedStdout();
    if (c.expected) {
        EXPECT_STREQ(keymgt, c.expected);
        EXPECT_EQ(printed, "");
    } else {
        EXPECT_EQ(keymgt, nullptr);
        EXPECT_NE(printed.find(std::string("error: networkmanageradapter : unknown keymgt ") +
                               c.keyMgmt + "\n"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, KeyManagement, testing::ValuesIn(kKeyMgtCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
