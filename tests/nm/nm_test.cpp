// The adapter's pure pieces: the request decoders, and the worker's hand-over on the path where
// no libnm client exists (no bus is reachable, so the host's D-Bus is never touched).
#include <glib-object.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_operation.h"
#include "nm/nm_park.h"
#include "nm/nm_pending.h"
#include "nm/nm_vocabulary.h"
#include "nm/nm_worker.h"
#include "nm/nmjson_unmarshal.h"
#include "nm/service_context.h"

namespace {

// The text as the dispatch loop hands it over: the payload, then one NUL of its own.
template <typename Out>
int decode(const std::string& text, Out* out, int (*unmarshal)(Decoder*, Out*)) {
    Decoder dec;
    decoderWrap(&dec, text.c_str(), static_cast<int>(text.size()) + 1);
    return unmarshal(&dec, out);
}

struct ConnectionCase {
    const char* text;
    std::string (*field)(const nmaConnection&);
    const char* expected;
};

std::string interface(const nmaConnection& c) {
    return c.interface;
}
std::string ip4(const nmaConnection& c) {
    return std::string(c.ip4.method) + " " + c.ip4.address + "/" + std::to_string(c.ip4.prefix) +
           " dns " + std::to_string(c.ip4.dnsCount) + ":" + c.ip4.dns[0] + " " +
           std::to_string(c.ip4.ignoreAutoDns);
}
std::string ip6(const nmaConnection& c) {
    return std::string(c.ip6.method) + " " + std::to_string(c.ip6.addressesCount) + " " +
           c.ip6.addresses[0] + " " + c.ip6.addrGenMode;
}
std::string wifi(const nmaConnection& c) {
    return std::string(c.wifi.mode) + " " +
           std::string(reinterpret_cast<const char*>(c.wifi.ssid), c.wifi.ssidLength) + " " +
           c.wifi.security.keymgt + (c.wifi.security.keepStoredPsk ? " kept" : "");
}
std::string removed(const nmaConnection& c) {
    return std::to_string(c.remove) + c.ip4.method;
}

class ConnectionDecoder : public testing::TestWithParam<ConnectionCase> {};

TEST_P(ConnectionDecoder, FillsTheRecord) {
    const ConnectionCase& c = GetParam();
    nmaConnection connection;
    ASSERT_EQ(decode(c.text, &connection, nmjson_unmarshal_nmaConnection), 0) << c.text;
    EXPECT_EQ(c.field(connection), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Nm, ConnectionDecoder,
    testing::Values(
        ConnectionCase{R"({"interface":"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"})", interface,
                       "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"},
        ConnectionCase{R"({"interface":"eth0","ip4":{"method":"manual","address":"192.0.2.2",)"
                       R"("prefix":"24","dns":["192.0.2.\u0031"],"ignore-auto-dns":false}})",
                       ip4, "manual 192.0.2.2/24 dns 1:192.0.2.1 0"},
        ConnectionCase{R"({"interface":"eth0","ip4":{"method":"auto"}})", ip4, "auto /0 dns 0: -1"},
        ConnectionCase{R"({"interface":"eth0","ip6":{"method":"manual","addresses":)"
                       R"(["2001:db8::2/64"],"addr-gen-mode":"eui64"}})",
                       ip6, "manual 1 2001:db8::2/64 eui64"},
        ConnectionCase{
            R"({"interface":"w","wifi":{"ssid":"SG9tZQ==","security":{"keymgt":"wpa2"}}})", wifi,
            "infrastructure Home wpa2"},
        ConnectionCase{R"({"interface":"w","wifi":{"ssid":"SG9tZQ==","security":)"
                       R"({"keymgt":"wpa","psk":null}}})",
                       wifi, "infrastructure Home wpa kept"},
        ConnectionCase{R"({"interface":"eth0","remove":true,"ip4":{"address":"x"}})", removed,
                       "1"}));

// Never cut: a text that does not fit its field, is no string or holds a NUL is refused, as is
// a request without what it cannot do without.
TEST(Nm, ConnectionDecoderRefuses) {
    const std::string e = R"({"interface":"eth0",)";
    const std::string w = R"({"interface":"w","wifi":{"ssid":)";
    const std::vector<std::string> refused = {
        R"({"interface":")" + std::string(32, 'n') + R"("})",
        e + R"("ip4":null})",
        e + R"("ip4":{"method":"auto","dns":["a","b","c"]}})",
        e + R"("ip4":{"method":"auto","dns":"192.0.2.1"}})",
        e + R"("ip4":{"method":"manual","address":"192.168.100.1000","prefix":24}})",
        e + R"("ip4":{"method":"manual","gateway":"192.168.100.2545"}})",
        e + R"("ip4":{"method":"auto","dns":["192.168.100.1009"]}})",
        e + R"("ip6":{"method":"auto","dns":[")" + std::string(64, 'a') + R"("]}})",
        e + R"("ip4":{"method":"auto","ignore-auto-dns":1}})",
        R"({"interface":"eth\u00000"})",
        R"({"interface":7})",
        R"({"interface":"eth0")",
        w + R"("SG9tZQ==","security":{"psk":""}}})",
        w + R"("SG9tZQ==","mode":"AP"}})",
        w + R"("MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWZ4"}})",  // 33 bytes: another network
        R"({"ip4":{"method":"auto"}})"};
    for (const std::string& text : refused) {
        nmaConnection connection;
        EXPECT_EQ(decode(text, &connection, nmjson_unmarshal_nmaConnection), -EINVAL) << text;
    }
}

// A word names one NetworkManager value, read back as the word; others read as a synonym or none.
TEST(Nm, VocabulariesTranslateBothWays) {
    struct Security {
        const char* keyMgmt;
        std::vector<const char*> protos;
        const char* word;
        bool written;  // as request 3 writes the word
    };
    for (const Security& c : std::vector<Security>{{nullptr, {}, "open", true},
                                                   {"wpa-psk", {}, "wpa", true},
                                                   {"wpa-psk", {"wpa", "rsn"}, "wpa", false},
                                                   {"wpa-psk", {"rsn"}, "wpa2", true},
                                                   {"sae", {}, "sae", true},
                                                   {"sae", {"rsn"}, "sae", false},
                                                   {"wpa-eap", {"rsn"}, nullptr, false},
                                                   {"none", {}, nullptr, false}}) {
        GObjectPtr<NMSetting> setting(nm_setting_wireless_security_new());
        auto* security = NM_SETTING_WIRELESS_SECURITY(setting.get());
        g_object_set(security, "key-mgmt", c.keyMgmt, nullptr);
        for (const char* proto : c.protos) nm_setting_wireless_security_add_proto(security, proto);
        const KeyManagement* read = nmKeyManagementOf(c.keyMgmt ? security : nullptr);
        EXPECT_STREQ(read ? read->name : nullptr, c.word) << c.keyMgmt;
        if (!c.written) continue;
        EXPECT_STREQ(nmKeyManagementNamed(c.word)->keyMgmt, c.keyMgmt);
        EXPECT_STREQ(nmKeyManagementNamed(c.word)->proto, c.protos.empty() ? nullptr : "rsn");
    }
    int unnamed = 0;  // the mode of a new setting, which a request leaves out
    NMSettingIP6ConfigAddrGenMode mode;
    for (const char* word : {"eui64", "stable-privacy", "default-or-eui64", "default"}) {
        ASSERT_EQ(nmAddrGenModeNamed(word, &mode), 0) << word;
        const char* back = nmAddrGenModeWord(mode);
        unnamed += back == nullptr;
        EXPECT_STREQ(back ? back : word, word);
    }
    EXPECT_EQ(unnamed, 1);
    EXPECT_EQ(nmAddrGenModeNamed("EUI64", &mode), -EINVAL);
}

TEST(Nm, WatchDecoderNeedsAHandleAndKeepsItsLow32Bits) {
    nmaWatchInterfaceCfg config;
    ASSERT_EQ(decode(R"({"interface":"veth0","property":"state-changed","handle":4294967297})",
                     &config, nmjson_unmarshal_nmaWatchInterfaceCfg),
              0);
    EXPECT_STREQ(config.property, "state-changed");
    EXPECT_EQ(config.handle, 1u);
    EXPECT_EQ(decode(R"({"interface":"veth0"})", &config, nmjson_unmarshal_nmaWatchInterfaceCfg),
              -EINVAL);
}

constexpr const char* kRecordHead = "linkKeeper pending changes 1\nboot b1\nlast 7\n";
constexpr const char* kUuid = "0b7f4c5e-93a1-4a47-8d4e-1d2c3b4a5f60";

TEST(Nm, PendingRecordReadsBackWhatWasWritten) {
    PendingRecord record{
        "b1",
        7,
        {{7, "eth0", 123456, "/org/freedesktop/NetworkManager/Checkpoint/3", kUuid, ""},
         {5, "wlan0", 99, "", kUuid, kUuid}}};
    PendingRecord read;
    ASSERT_TRUE(pendingParse(pendingFormat(record), &read));
    EXPECT_EQ(pendingFormat(read), pendingFormat(record));
    EXPECT_EQ(read.changes[0].oldUuid, "");
    EXPECT_EQ(read.changes[1].checkpoint, "");
}

// A damaged or foreign record is refused whole: its numbers and restores would be wrong.
class PendingRecordRefused : public testing::TestWithParam<std::string> {};

TEST_P(PendingRecordRefused, Whole) {
    PendingRecord read;
    EXPECT_FALSE(pendingParse(GetParam(), &read));
}

INSTANTIATE_TEST_SUITE_P(
    Nm, PendingRecordRefused,
    testing::Values(std::string(kRecordHead).substr(0, 40),  // cut short: no "last"
                    "linkKeeper pending changes 2\nboot b1\nlast 7\n",
                    std::string(kRecordHead) + "last 8\n",
                    std::string(kRecordHead) + "pending 8 eth0 1 - - -\n",  // above "last"
                    std::string(kRecordHead) + "pending 0 eth0 1 - - -\n",
                    std::string(kRecordHead) + "pending 1 ../x 1 - - -\n",
                    std::string(kRecordHead) + "pending 1 eth0 1 /tmp/x - -\n",
                    std::string(kRecordHead) + "pending 1 eth0 1 - short -\n",
                    std::string(kRecordHead) + "pending 1 eth0 1 - - - more\n",
                    std::string(kRecordHead) + "pending 1 eth0 x - - -\n"));

// Awaits a task to its end and marks it done.
NmDetached start(NmTask& task, bool* done) {
    co_await task;
    *done = true;
}

// A change that holds its turn until released; `log` records who got a turn, in order.
NmTask holdTurn(const char* key, std::string* log, const bool* release) {
    NmTurn turn(key);
    co_await turn;
    *log += std::string(*key ? key : "all") + " ";
    while (!*release) {
        NmPark tick(1, false);
        co_await tick;
    }
    co_return 0;
}

TEST(Nm, ChangesOfOneInterfaceTakeTurnsInArrivalOrderAndOthersGoAhead) {
    const char* keys[] = {"eth0", "eth1", "eth0", "", "eth1"};
    std::string log;
    bool release[5] = {}, done[5] = {};
    std::vector<NmTask> tasks;
    for (int i = 0; i < 5; ++i) tasks.push_back(holdTurn(keys[i], &log, &release[i]));
    for (int i = 0; i < 5; ++i) start(tasks[i], &done[i]);
    auto end = [&](int i) {
        release[i] = true;
        gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
        while (!done[i] && g_get_monotonic_time() < deadline)
            g_main_context_iteration(nullptr, TRUE);
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        return log;
    };
    EXPECT_EQ(log, "eth0 eth1 ");
    EXPECT_EQ(end(1), "eth0 eth1 ") << "the second eth0 change waits for the first";
    EXPECT_EQ(end(0), "eth0 eth1 eth0 ");
    EXPECT_EQ(end(2), "eth0 eth1 eth0 all ") << "a change of all waits for every one before it";
    EXPECT_EQ(end(3), "eth0 eth1 eth0 all eth1 ");
    end(4);
}

struct ErrorCase {
    const char* domain;
    int code;
    int status;
};
class ErrorTable : public testing::TestWithParam<ErrorCase> {};
TEST_P(ErrorTable, TellsTheClientWhatWentWrong) {
    GError* error =
        g_error_new_literal(g_quark_from_string(GetParam().domain), GetParam().code, "x");
    EXPECT_EQ(nmErrnoOfError(error), GetParam().status) << GetParam().domain << GetParam().code;
    g_error_free(error);
}
INSTANTIATE_TEST_SUITE_P(
    Nm, ErrorTable,
    testing::Values(
        ErrorCase{"nm-manager-error-quark", NM_MANAGER_ERROR_PERMISSION_DENIED, -EACCES},
        ErrorCase{"g-dbus-error-quark", G_DBUS_ERROR_ACCESS_DENIED, -EACCES},
        ErrorCase{"nm-manager-error-quark", NM_MANAGER_ERROR_UNKNOWN_DEVICE, -ENOENT},
        ErrorCase{"nm-settings-error-quark", NM_SETTINGS_ERROR_INVALID_CONNECTION, -EINVAL},
        ErrorCase{"nm-connection-error-quark", NM_CONNECTION_ERROR_MISSING_PROPERTY, -EINVAL},
        ErrorCase{"nm-manager-error-quark", NM_MANAGER_ERROR_CONNECTION_NOT_AVAILABLE, -ENODEV},
        ErrorCase{"nm-device-error-quark", NM_DEVICE_ERROR_INCOMPATIBLE_CONNECTION, -ENODEV},
        ErrorCase{"g-dbus-error-quark", G_DBUS_ERROR_NO_REPLY, -ETIMEDOUT},
        ErrorCase{"nm-manager-error-quark", NM_MANAGER_ERROR_FAILED, -EINVAL},
        ErrorCase{"some-other-quark", 1, -EINVAL}));

std::atomic<int> gRan{0};
int countRun(void*) {
    ++gRan;
    return 0;
}
NmTask neverRuns(TrelRequest*) {
    ADD_FAILURE() << "an API call ran without a client";
    co_return 0;
}

TEST(Nm, WorkerRefusesApiCallsWithoutClientAndRunsWhatWasPostedBeforeItsStop) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/lk-test-system-bus", 1);
    ASSERT_EQ(nmadapter_init(), 0);
    TrelRequest request{};
    EXPECT_EQ(nmadapter_invoke_nm_api(&request, nullptr, neverRuns), NM_UNAVAILABLE);

    // Disconnect ends every watch and empties its slot.
    ServiceContext* context = nmadapter_context_create(nullptr, 0);
    GObject* device = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
    auto onNotify = +[](GObject*, GParamSpec*, gpointer) {};
    gulong id = g_signal_connect(device, "notify", G_CALLBACK(onNotify), nullptr);
    WatchSlot& slot = context->watches[15];
    slot = WatchSlot{static_cast<uint32_t>(id),
                     "veth0",
                     0,
                     reinterpret_cast<NMDevice*>(g_object_ref(device)),
                     id,
                     TrelRoute{}};
    nmadapter_post_state(nmadapter_onDisconnect, context);
    for (int i = 0; i < 100; ++i) nmadapter_post_state(countRun, nullptr);
    EXPECT_TRUE(nmadapter_stop(10000));
    EXPECT_EQ(gRan, 100) << "posted before the stop: run, never dropped";
    EXPECT_EQ(slot.handle, 0u);
    EXPECT_EQ(slot.device, nullptr);
    EXPECT_FALSE(g_signal_handler_is_connected(device, id));
    g_object_unref(device);
    nmadapter_context_free(context);
    nmadapter_post_state(countRun, nullptr);
    EXPECT_EQ(gRan, 100) << "after the stop: dropped";
}

}  // namespace
