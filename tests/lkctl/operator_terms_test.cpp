// The pure pieces of lkctl's operator-facing output and input: seconds as ping(8) takes them,
// lkctl's named JSON, terse fields, display columns, and modify's merge with a profile.
#include <gtest/gtest.h>

#include "lkctl/command_args.h"
#include "lkctl/named_json.h"
#include "lkctl/names.h"
#include "lkctl/show.h"

namespace {

struct SecondsCase {
    const char* text;
    uint32_t ms;  // 0: refused within 0.01 s to 60 s
};

class Seconds : public testing::TestWithParam<SecondsCase> {};

TEST_P(Seconds, ReadsDecimalsToTheMillisecond) {
    uint32_t ms = 0;
    EXPECT_EQ(parseSeconds(GetParam().text, 10, 60000, &ms), GetParam().ms != 0);
    if (GetParam().ms != 0) {
        EXPECT_EQ(ms, GetParam().ms);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Seconds,
                         testing::Values(SecondsCase{"0.2", 200}, SecondsCase{"1", 1000},
                                         SecondsCase{".5", 500}, SecondsCase{"0.01", 10},
                                         SecondsCase{"60", 60000}, SecondsCase{"0.009", 0},
                                         SecondsCase{"60.001", 0}, SecondsCase{"1.2345", 0},
                                         SecondsCase{"1.", 0}, SecondsCase{".", 0},
                                         SecondsCase{"-1", 0}, SecondsCase{"1e3", 0},
                                         SecondsCase{"", 0}));

std::string named(const std::string& text, bool secrets = false) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    JsonView view;
    EXPECT_TRUE(JsonView::parse(bytes, &view)) << text;
    return namedJson(view, secrets);
}

TEST(NamedJson, NamesNumbersAndDecodesSsids) {
    EXPECT_EQ(named(R"([{"name":"eth0","yebtype":"external","nmdevicestate":100}])"),
              R"([{"name":"eth0","class":"external","state":"activated"}])");
    EXPECT_EQ(named(R"({"event":"nmdevicestate","nmdevicestate":30,"reason":39})"),
              R"({"event":"nmdevicestate","state":"disconnected","reason":"user-requested"})");
    EXPECT_EQ(named(R"({"ssid":"5YyX5Lqs","apFlags":1,"wpaFlags":0,"rsnFlags":392,"signal":5})"),
              R"({"ssid":"北京","security":"WPA2","signal":5})");
    EXPECT_EQ(named(R"({"wifi":{"ssid":"/wA=","security":{"keymgt":"wpa2","psk":"secret12"}}})"),
              R"({"wifi":{"ssid-hex":"ff00","security":{"keymgt":"wpa2","psk":null}}})");
    EXPECT_EQ(named(R"({"security":{"psk":"secret12"}})", true),
              R"({"security":{"psk":"secret12"}})");
}

// What a show function prints for the JSON text, or "refused" when it returns false.
template <typename Show>
std::string shown(Show show, const ShowStyle& style, const std::string& json) {
    std::vector<unsigned char> bytes(json.begin(), json.end());
    JsonView view;
    EXPECT_TRUE(JsonView::parse(bytes, &view)) << json;
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    bool shownWhole = show(out, style, view);
    fclose(out);
    std::string result = shownWhole ? std::string(text, size) : "refused";
    free(text);
    return result;
}

TEST(Show, TerseFieldsAndWideCharacters) {
    EXPECT_EQ(displayWidth("北京"), 4u);
    EXPECT_EQ(displayWidth("caf\xc3\xa9 \xf0\x9f\x93\xb6"), 7u);  // é one column, emoji two
    std::string list = R"([{"name":"e:0","type":"ethernet","nmdevicestate":100}])";
    EXPECT_EQ(shown(showInterfaces, {false, false, true, {"state", "name"}}, list),
              "activated:e\\:0\n");
    EXPECT_EQ(shown(showInterfaces, {false, false, true, {"speed"}}, list), "refused");
}

TEST(Show, AKeyNoneStoresIsToldFromAHiddenOne) {
    std::string profile = R"({"interface":"wlan0","wifi":{"ssid":"SG9tZQ==","security":)";
    ShowStyle key{false, false, true, {"key"}};
    EXPECT_EQ(shown(showProfile, key, profile + R"({"keymgt":"wpa2","psk":null}}})"),
              "key:(none stored)\n");
    EXPECT_EQ(shown(showProfile, key, profile + R"({"keymgt":"wpa2","psk":"secret12"}}})"),
              "key:******** (--show-secrets)\n");
}

constexpr const char* kProfile =
    R"({"interface":"eth0","ip4":{"method":"manual","address":"192.0.2.2","prefix":28,)"
    R"("gateway":"192.0.2.1","dns":["192.0.2.1"]},"ip6":{"method":"auto"}})";
constexpr const char* kWifiProfile =
    R"({"interface":"wlan0","ip4":{"method":"auto","dns":["192.0.2.1"],"ignore-auto-dns":false},)"
    R"("ip6":{"method":"auto"},"wifi":{"mode":"infrastructure","ssid":"SG9tZQ==","hidden":true,)"
    R"("security":{"keymgt":"wpa2","psk":"correct horse"}}})";

struct ModifyCase {
    std::vector<std::string> words;
    const char* json;  // null: refused
    const char* profile = kProfile;
};

class Modify : public testing::TestWithParam<ModifyCase> {};

TEST_P(Modify, ChangesOnlyTheNamedSettings) {
    ConnectionArgs out;
    std::string error;
    bool parsed = parseModification(GetParam().words, GetParam().profile, &out, &error);
    ASSERT_EQ(parsed, GetParam().json != nullptr) << error;
    if (parsed) {
        EXPECT_EQ(out.json, GetParam().json);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Modify,
    testing::Values(
        ModifyCase{{"eth0", "ip4", "+dns", "192.0.2.53", "--wait", "9"},
                   R"({"interface":"eth0","ip4":{"method":"manual","address":"192.0.2.2",)"
                   R"("prefix":28,"gateway":"192.0.2.1","dns":["192.0.2.1","192.0.2.53"]},)"
                   R"("ip6":{"method":"auto"},"wait":9})"},
        ModifyCase{{"eth0", "ip4", "dns", "192.0.2.9", "ip6", "disabled"},
                   R"({"interface":"eth0","ip4":{"method":"manual","address":"192.0.2.2",)"
                   R"("prefix":28,"gateway":"192.0.2.1","dns":["192.0.2.9"]},)"
                   R"("ip6":{"method":"disabled"}})"},
        ModifyCase{{"eth0", "ip4", "auto"},
                   R"({"interface":"eth0","ip4":{"method":"auto"},"ip6":{"method":"auto"}})"},
        ModifyCase{
            {"--verify", "192.0.2.1:5", "eth0", "ip6", "dhcp", "--rollback=60", "--wait", "9"},
            R"({"interface":"eth0","ip4":{"method":"manual","address":"192.0.2.2",)"
            R"("prefix":28,"gateway":"192.0.2.1","dns":["192.0.2.1"]},)"
            R"("ip6":{"method":"dhcp"},"wait":9,"rollback":60,)"
            R"("verify":{"host":"192.0.2.1","seconds":5}})"},
        // The key is kept as stored, never sent back; hidden and ignore-auto-dns stay.
        ModifyCase{{"wlan0", "ip4", "+dns", "192.0.2.53"},
                   R"({"interface":"wlan0","ip4":{"method":"auto","dns":["192.0.2.1",)"
                   R"("192.0.2.53"],"ignore-auto-dns":false},"ip6":{"method":"auto"},"wifi":)"
                   R"({"ssid":"SG9tZQ==","mode":"infrastructure","hidden":true,)"
                   R"("security":{"keymgt":"wpa2","psk":null}}})",
                   kWifiProfile},
        ModifyCase{{"wlan0", "wifi", "visible"},
                   R"({"interface":"wlan0","ip4":{"method":"auto","dns":["192.0.2.1"],)"
                   R"("ignore-auto-dns":false},"ip6":{"method":"auto"},"wifi":)"
                   R"({"ssid":"SG9tZQ==","mode":"infrastructure",)"
                   R"("security":{"keymgt":"wpa2","psk":null}}})",
                   kWifiProfile},
        ModifyCase{{"eth0", "ip6", "gw", "2001:db8::1"}, nullptr},  // gw needs manual
        ModifyCase{{"eth0"}, nullptr}, ModifyCase{{"eth0", "remove"}, nullptr}));

}  // namespace
