// The writers of request 4's members on profile settings NetworkManager itself never hands
// out (the usual profiles are covered end to end by tests/integration/test_nm_read.py).
#include <NetworkManager.h>
#include <gtest/gtest.h>

#include <string>

#include "codec/json_writer.h"
#include "nm/glib_ptr.h"
#include "nm/nmadapter_funcs.h"

namespace {

struct UnknownMethodCase {
    const char* name;
    int (*writer)(Encoder*, NMSettingIPConfig*);
    GType settingType;
    const char* logLine;
};

class UnknownIpMethod : public testing::TestWithParam<UnknownMethodCase> {};

TEST_P(UnknownIpMethod, IsRefusedAfterItsLogLine) {
    const UnknownMethodCase& c = GetParam();
    auto setting = adoptGObject(NM_SETTING_IP_CONFIG(g_object_new(c.settingType, nullptr)));
    g_object_set(setting.get(), NM_SETTING_IP_CONFIG_METHOD, "bogus", nullptr);
    Encoder enc;
    encoderCreate(&enc, 256);
    testing::internal::CaptureStdout();
    int status = c.writer(&enc, setting.get());
    std::string printed = testing::internal::GetCapturedStdout();
    encoderFree(&enc);
    EXPECT_EQ(status, -95);
    EXPECT_NE(printed.find(c.logLine), std::string::npos) << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, UnknownIpMethod,
    testing::Values(UnknownMethodCase{"Ip4", encodeIP4Details, NM_TYPE_SETTING_IP4_CONFIG,
                                      "| error: unknown method: bogus\n"},
                    UnknownMethodCase{"Ip6", encodeIP6Details, NM_TYPE_SETTING_IP6_CONFIG,
                                      "| error: IP6 unknown method: bogus\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyMgtCase {
    const char* name;
    const char* keyMgmt;
    const char* proto;
    const char* expected;  // null: refused
};

class KeyManagement : public testing::TestWithParam<KeyMgtCase> {};

TEST_P(KeyManagement, MapsTheSecuritySetting) {
    const KeyMgtCase& c = GetParam();
    auto security = adoptGObject(NM_SETTING_WIRELESS_SECURITY(nm_setting_wireless_security_new()));
    g_object_set(security.get(), NM_SETTING_WIRELESS_SECURITY_KEY_MGMT, c.keyMgmt, nullptr);
    if (c.proto) nm_setting_wireless_security_add_proto(security.get(), c.proto);
    testing::internal::CaptureStdout();
    const char* keymgt = getAdapterKeyMgtFromSecurity(security.get());
    std::string printed = testing::internal::GetCapturedStdout();
    if (c.expected) {
        EXPECT_STREQ(keymgt, c.expected);
        EXPECT_EQ(printed, "");
        return;
    }
    EXPECT_EQ(keymgt, nullptr);
    std::string line = std::string("error: networkmanageradapter : unknown keymgt ") + c.keyMgmt;
    // Once on standard output, once as a log line.
    EXPECT_NE(printed.find(line + "\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("| " + line + "\n"), std::string::npos) << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, KeyManagement,
    testing::Values(KeyMgtCase{"SecurityWithoutKeyManagementIsOpen", nullptr, nullptr, "open"},
                    KeyMgtCase{"WpaPskWithoutProtocolIsWpa", "wpa-psk", nullptr, "wpa"},
                    KeyMgtCase{"EnterpriseIsNotRepresented", "wpa-eap", "rsn", nullptr},
                    KeyMgtCase{"WepIsNotRepresented", "none", nullptr, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
