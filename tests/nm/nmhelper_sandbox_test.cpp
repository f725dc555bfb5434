// The blocking libnm wrappers against a real NetworkManager: run through nm-sandbox.sh, which
// gives this process a private NetworkManager managing veth0 and veth1. Each wrapper runs on
// the worker thread, as the request handlers run it; nmcli (an independent client) checks
// what NetworkManager really holds afterwards.
#include <NetworkManager.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "nm/glib_ptr.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"

namespace {

// Runs work on the NetworkManager worker thread and returns its result.
int onWorker(const std::function<int()>& work) {
    return nmadapter_invoke_nm_stateFunction(
        const_cast<std::function<int()>*>(&work),
        [](void* fn) { return (*static_cast<std::function<int()>*>(fn))(); });
}

std::string shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, pipe)) out += buf;
    pclose(pipe);
    return out;
}

// "name:device" lines of the test's own profiles, in name order.
std::string profilesOnFile() {
    return shell("nmcli -t -f NAME,DEVICE connection show | grep '^lkt-' | sort");
}

// An Ethernet profile bound to ifname (or to no interface), IPv4 and IPv6 disabled.
GObjectPtr<NMConnection> ethernetProfile(const char* id, const char* ifname) {
    auto connection = adoptGObject(nm_simple_connection_new());
    GCharPtr uuid(nm_utils_uuid_generate());
    NMSetting* setting = nm_setting_connection_new();
    g_object_set(setting, NM_SETTING_CONNECTION_ID, id, NM_SETTING_CONNECTION_UUID, uuid.get(),
                 NM_SETTING_CONNECTION_TYPE, NM_SETTING_WIRED_SETTING_NAME,
                 NM_SETTING_CONNECTION_INTERFACE_NAME, ifname, NM_SETTING_CONNECTION_AUTOCONNECT,
                 FALSE, nullptr);
    nm_connection_add_setting(connection.get(), setting);
    nm_connection_add_setting(connection.get(), nm_setting_wired_new());
    setting = nm_setting_ip4_config_new();
    g_object_set(setting, NM_SETTING_IP_CONFIG_METHOD, NM_SETTING_IP4_CONFIG_METHOD_DISABLED,
                 nullptr);
    nm_connection_add_setting(connection.get(), setting);
    setting = nm_setting_ip6_config_new();
    g_object_set(setting, NM_SETTING_IP_CONFIG_METHOD, NM_SETTING_IP6_CONFIG_METHOD_DISABLED,
                 nullptr);
    nm_connection_add_setting(connection.get(), setting);
    return connection;
}

// Adds a profile on the worker; its uuid, or "" when the add failed.
std::string addProfile(const char* id, const char* ifname) {
    std::string uuid;
    int status = onWorker([&] {
        auto profile = ethernetProfile(id, ifname);
        uuid = nm_connection_get_uuid(profile.get());
        return nmhelper_add_connection(profile.get());
    });
    return status == 0 ? uuid : "";
}

// Iterates the worker's context until libnm's cache satisfies done (or ten seconds pass).
bool settle(const std::function<bool()>& done) {
    gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
    return true;
}

NMRemoteConnection* profileByUuid(const std::string& uuid) {
    return nm_client_get_connection_by_uuid(nmClient, uuid.c_str());
}

class NmHelperSandbox : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (getenv("LK_NM_SANDBOX")) nmadapter_init();
    }

    void SetUp() override {
        if (!getenv("LK_NM_SANDBOX")) GTEST_SKIP() << "run through scripts/nm-sandbox.sh";
    }

    void TearDown() override {
        shell(
            "nmcli -t -f NAME connection show | grep '^lkt-' | "
            "xargs -r -d '\\n' nmcli connection delete id >/dev/null 2>&1");
    }
};

TEST_F(NmHelperSandbox, AddingAProfileStoresItAndLogsTheSuccess) {
    testing::internal::CaptureStdout();
    std::string uuid = addProfile("lkt-add", "veth0");
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(uuid.empty()) << printed;
    EXPECT_NE(printed.find("| Connection added successfully.\n"), std::string::npos) << printed;
    EXPECT_EQ(profilesOnFile(), "lkt-add:\n");
}

TEST_F(NmHelperSandbox, AddingAProfileNetworkManagerRefusesIsMinus22WithItsMessages) {
    testing::internal::CaptureStdout();
    int status = onWorker([] {
        auto profile = ethernetProfile("lkt-bad", "veth0");
        // An Ethernet profile without its Ethernet setting does not verify.
        nm_connection_remove_setting(profile.get(), NM_TYPE_SETTING_WIRED);
        nm_connection_remove_setting(profile.get(), NM_TYPE_SETTING_CONNECTION);
        return nmhelper_add_connection(profile.get());
    });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, -22);
    EXPECT_NE(printed.find("| Error adding connection: "), std::string::npos) << printed;
    EXPECT_NE(printed.find("\nerror adding connection "), std::string::npos) << printed;
    EXPECT_NE(printed.find("| nmhelper_create_new_connection: returning error\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(profilesOnFile(), "");
}

TEST_F(NmHelperSandbox, ActivatingOnAnUnknownInterfaceIsMinus2WithoutAnything) {
    std::string uuid = addProfile("lkt-act", "veth0");
    testing::internal::CaptureStdout();
    int status = onWorker([&] {
        return nmhelper_activate_connection("nosuch0", NM_CONNECTION(profileByUuid(uuid)));
    });
    EXPECT_EQ(status, -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(NmHelperSandbox, ActivationAndDeactivationAreConfirmed) {
    std::string uuid = addProfile("lkt-act", "veth0");
    testing::internal::CaptureStdout();
    int activated = onWorker(
        [&] { return nmhelper_activate_connection("veth0", NM_CONNECTION(profileByUuid(uuid))); });
    EXPECT_EQ(profilesOnFile(), "lkt-act:veth0\n");
    int deactivated = onWorker([&] {
        NMDevice* device = nmhelper_find_device("veth0");
        if (!settle([&] { return nm_device_get_active_connection(device) != nullptr; })) return 1;
        return nmhelper_deactivate_activeconnection(nm_device_get_active_connection(device));
    });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(activated, 0) << printed;
    EXPECT_EQ(deactivated, 0) << printed;
    EXPECT_NE(printed.find("| activate_connection_callback: Connection activated successfully\n"),
              std::string::npos);
    EXPECT_NE(printed.find("| deactivate_connection_callback: Connection deactivated "
                           "successfully\n"),
              std::string::npos);
    EXPECT_EQ(profilesOnFile(), "lkt-act:\n");
}

TEST_F(NmHelperSandbox, DisconnectingAnIdleDeviceIsMinus22OnBothOutputs) {
    testing::internal::CaptureStdout();
    int status = onWorker([] { return nmhelper_device_disconnect(nmhelper_find_device("veth1")); });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, -22);
    size_t plain = printed.find("failed to disconnect ");
    size_t logged = printed.find("| device_disconnect_callback: Failed to disconnect device: ");
    ASSERT_NE(plain, std::string::npos) << printed;
    ASSERT_NE(logged, std::string::npos) << printed;
    EXPECT_LT(plain, logged);  // standard output first, then the log line
}

struct RemovalCase {
    const char* name;
    bool spare;
    const char* remaining;
};

class ProfileRemoval : public NmHelperSandbox, public testing::WithParamInterface<RemovalCase> {};

TEST_P(ProfileRemoval, TouchesOnlyTheInterfacesProfiles) {
    std::string active = addProfile("lkt-a", "veth1");
    ASSERT_FALSE(addProfile("lkt-b", "veth1").empty());
    ASSERT_FALSE(addProfile("lkt-other", "veth0").empty());
    ASSERT_FALSE(addProfile("lkt-unbound", nullptr).empty());
    ASSERT_EQ(onWorker([&] {
                  return nmhelper_activate_connection("veth1",
                                                      NM_CONNECTION(profileByUuid(active)));
              }),
              0);
    testing::internal::CaptureStdout();
    int status = onWorker([&] {
        NMDevice* device = nmhelper_find_device("veth1");
        if (!settle([&] { return nm_device_get_state(device) == NM_DEVICE_STATE_ACTIVATED; }))
            return 1;
        return nmhelper_remove_connections(nmClient, device,
                                           GetParam().spare ? active.c_str() : nullptr);
    });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("| nmhelper_remove_connections: disconnecting device\n"),
              std::string::npos);
    EXPECT_EQ(profilesOnFile(), GetParam().remaining);
}

INSTANTIATE_TEST_SUITE_P(Sandbox, ProfileRemoval,
                         testing::Values(RemovalCase{"SparingOneKeepsIt", true,
                                                     "lkt-a:\nlkt-other:\nlkt-unbound:\n"},
                                         RemovalCase{"WithoutSpareDeletesEveryBoundProfile", false,
                                                     "lkt-other:\nlkt-unbound:\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NmHelperSandbox, ReloadingProfilesIsConfirmed) {
    testing::internal::CaptureStdout();
    int status = onWorker([] { return nmhelper_reload_connections(nullptr); });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_NE(printed.find("| NetworkManager: Connections reloaded.\n"), std::string::npos);
}

TEST_F(NmHelperSandbox, SecretsOfAMissingSettingFailWithoutTouchingTheOutPointer) {
    std::string uuid = addProfile("lkt-secrets", "veth0");
    auto* sentinel = reinterpret_cast<GVariant*>(0x1);
    GVariant* out = sentinel;
    testing::internal::CaptureStdout();
    int status = onWorker([&] {
        return nmhelper_remote_connection_get_secrets(profileByUuid(uuid), "no-such-setting", &out);
    });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, -22);
    EXPECT_EQ(out, sentinel);
    EXPECT_NE(printed.find("| Error nmremote_conn_get_secrets_callback: "), std::string::npos);
    EXPECT_NE(printed.find("| nmhelper_remote_connection_get_secrets() returns error\n"),
              std::string::npos);
}

TEST_F(NmHelperSandbox, SettingAnUnknownPropertyIsMinus22) {
    testing::internal::CaptureStdout();
    int status = onWorker([] {
        return nmhelper_dbus_set_property(nmClient, "/org/freedesktop/NetworkManager",
                                          "org.freedesktop.NetworkManager", "NoSuchProperty",
                                          g_variant_new_boolean(TRUE));
    });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, -22);
    EXPECT_NE(printed.find("| Error nmhelper_dbus_set_property: "), std::string::npos);
    EXPECT_NE(printed.find("| nmhelper_dbus_set_property() returns error\n"), std::string::npos);
}

}  // namespace
