// The failure paths of the blocking libnm wrappers against a real NetworkManager (the success
// paths run end to end in tests/integration): run through nm-sandbox.sh, which gives this
// process a private NetworkManager managing veth0 and veth1. Each wrapper runs on the worker
// thread, as the request handlers run it.
#include <NetworkManager.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"

namespace {

// An Ethernet profile of veth0 with IPv4 and IPv6 disabled, never stored.
GObjectPtr<NMConnection> ethernetProfile() {
    auto connection = adoptGObject(nm_simple_connection_new());
    GCharPtr uuid(nm_utils_uuid_generate());
    NMSetting* setting = nm_setting_connection_new();
    g_object_set(setting, NM_SETTING_CONNECTION_ID, "lkt-bad", NM_SETTING_CONNECTION_UUID,
                 uuid.get(), NM_SETTING_CONNECTION_TYPE, NM_SETTING_WIRED_SETTING_NAME,
                 NM_SETTING_CONNECTION_INTERFACE_NAME, "veth0", nullptr);
    nm_connection_add_setting(connection.get(), setting);
    nm_connection_add_setting(connection.get(), nm_setting_wired_new());
    for (NMSetting* ip : {nm_setting_ip4_config_new(), nm_setting_ip6_config_new()}) {
        g_object_set(ip, NM_SETTING_IP_CONFIG_METHOD, "disabled", nullptr);
        nm_connection_add_setting(connection.get(), ip);
    }
    return connection;
}

int addUnverifiableProfile() {
    // An Ethernet profile without its Ethernet and connection settings does not verify.
    auto profile = ethernetProfile();
    nm_connection_remove_setting(profile.get(), NM_TYPE_SETTING_WIRED);
    nm_connection_remove_setting(profile.get(), NM_TYPE_SETTING_CONNECTION);
    return nmhelper_add_connection(profile.get());
}

struct FailureCase {
    const char* name;
    int (*work)();
    int status;
    std::vector<const char*> printed;  // in this order on standard output; none when empty
};

const FailureCase kFailures[] = {
    {"AddingAProfileNetworkManagerRefuses",
     addUnverifiableProfile,
     -22,
     {"| Error adding connection: ", "\nerror adding connection ",
      "| nmhelper_create_new_connection: returning error\n"}},
    {"ActivatingOnAnUnknownInterface",
     [] { return nmhelper_activate_connection("nosuch0", ethernetProfile().get()); },
     -2,
     {}},
    {"DisconnectingAnIdleDevice",
     [] { return nmhelper_device_disconnect(nmhelper_find_device("veth1")); },
     -22,
     {"failed to disconnect ", "| device_disconnect_callback: Failed to disconnect device: "}},
    {"SettingAnUnknownProperty",
     [] {
         return nmhelper_dbus_set_property(nmClient, "/org/freedesktop/NetworkManager",
                                           "org.freedesktop.NetworkManager", "NoSuchProperty",
                                           g_variant_new_boolean(TRUE));
     },
     -22,
     {"| Error nmhelper_dbus_set_property: ", "| nmhelper_dbus_set_property() returns error\n"}},
};

class WrapperFailure : public testing::TestWithParam<FailureCase> {
  protected:
    static void SetUpTestSuite() {
        if (getenv("LK_NM_SANDBOX")) nmadapter_init();
    }
    void SetUp() override {
        if (!getenv("LK_NM_SANDBOX")) GTEST_SKIP() << "run through scripts/nm-sandbox.sh";
    }
};

TEST_P(WrapperFailure, AnswersItsStatusAfterItsMessages) {
    const FailureCase& c = GetParam();
    testing::internal::CaptureStdout();
    int status = nmadapter_invoke_nm_stateFunction(
        const_cast<FailureCase*>(&c), [](void* p) { return static_cast<FailureCase*>(p)->work(); });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status) << printed;
    size_t pos = 0;
    for (const char* text : c.printed) {
        pos = printed.find(text, pos);
        ASSERT_NE(pos, std::string::npos) << text << " missing or out of order in:\n" << printed;
    }
    if (c.printed.empty()) {
        EXPECT_EQ(printed, "");
    }
    std::string kept;
    FILE* pipe = popen("nmcli -t -f NAME connection show | grep '^lkt-'", "r");
    for (int ch; pipe && (ch = fgetc(pipe)) != EOF;) kept += static_cast<char>(ch);
    if (pipe) pclose(pipe);
    EXPECT_EQ(kept, "") << "no profile stored";
}

INSTANTIATE_TEST_SUITE_P(Sandbox, WrapperFailure, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
