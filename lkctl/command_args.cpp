#include "lkctl/command_args.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus/bus.h"
#include "lkctl/json_format.h"
#include "lkctl/json_view.h"
#include "lkctl/names.h"

namespace {

bool isOneOf(const std::string& word, std::initializer_list<const char*> accepted) {
    return std::any_of(accepted.begin(), accepted.end(),
                       [&](const char* name) { return word == name; });
}

// Walks the words; the value of a keyword is the word after it.
struct Cursor {
    const std::vector<std::string>& words;
    size_t next = 0;

    bool done() const { return next >= words.size(); }
    const std::string& take() { return words[next++]; }
    bool value(const std::string& keyword, std::string* out, std::string* error) {
        if (done()) {
            *error = keyword + " needs a value";
            return false;
        }
        *out = take();
        return true;
    }
};

// "--wait 10" or "--wait=10"; false when word is not option. *error when its value is bad.
bool numberOption(Cursor& cursor, const std::string& word, const char* option, uint32_t low,
                  uint32_t high, uint32_t* value, std::string* error) {
    std::string text;
    size_t length = strlen(option);
    if (word.compare(0, length, option) != 0) return false;
    if (word.size() == length) {
        if (!cursor.value(option, &text, error)) return true;
    } else if (word[length] == '=' && option[1] == '-') {
        text = word.substr(length + 1);
    } else if (option[1] != '-') {
        text = word.substr(length);  // -c3 as ping(1) takes it
    } else {
        return false;
    }
    if (!parseNumber(text, low, high, value)) {
        *error = std::string(option) + " takes a number from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not \"" + text + "\"";
    }
    return true;
}

// "-i 0.2", "-W 1", "-w=10" (ping(8)'s units: seconds, to the millisecond); false when word
// is not option. *error when its value is bad.
bool secondsOption(Cursor& cursor, const std::string& word, const char* option, uint32_t lowMs,
                   uint32_t highMs, uint32_t* valueMs, std::string* error) {
    std::string text;
    if (word.compare(0, 2, option) != 0) return false;
    if (word.size() == 2) {
        if (!cursor.value(option, &text, error)) return true;
    } else {
        text = word.substr(2);  // -i0.2 as ping(8) takes it
    }
    if (!parseSeconds(text, lowMs, highMs, valueMs)) {
        *error = std::string(option) + " takes seconds from " + secondsText(lowMs) + " to " +
                 secondsText(highMs) + ", not \"" + text + "\"";
    }
    return true;
}

bool validAddress(int family, const std::string& text) {
    unsigned char buffer[16];
    return inet_pton(family, text.c_str(), buffer) == 1;
}

// "192.0.2.2/28": the address and the prefix, checked for the family.
bool splitPrefix(int family, const std::string& text, std::string* address, uint32_t* prefix) {
    size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    *address = text.substr(0, slash);
    return validAddress(family, *address) &&
           parseNumber(text.substr(slash + 1), 1, family == AF_INET ? 32 : 128, prefix);
}

struct IpSettings {
    bool given = false;
    bool named = false;        // named on this command line
    bool dnsReplaced = false;  // modify: the first "dns" of the command line replaces the list
    std::string method;
    std::vector<std::string> addresses;  // ADDR/PREFIX texts
    std::string gateway;
    std::vector<std::string> dns;
    std::string addrGenMode;
    int ignoreAutoDns = -1;  // modify: the profile's "ignore-auto-dns" (-1: not in it)
};

struct WifiSettings {
    bool given = false;
    bool named = false;
    std::string ssid;
    std::string key;
    std::string keymgt;
    std::string mode;
    bool hidden = false;
    // modify: the key stays what the profile stores ("psk": null) unless one is given, so the
    // key never travels back from lkctl, and a key NetworkManager does not store stays so.
    bool keepKey = false;
};

struct Settings {
    std::string iface;
    bool remove = false;
    IpSettings ip4;
    IpSettings ip6;
    WifiSettings wifi;
};

std::string quote(const std::string& text) {
    return jsonQuote(text);
}

std::string quotedList(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); ++i) out += (i ? "," : "") + quote(texts[i]);
    return out + "]";
}

bool isIpMethod(bool v4, const std::string& word) {
    return v4 ? isOneOf(word, {"auto", "manual", "shared", "link-local", "disabled"})
              : isOneOf(word,
                        {"auto", "dhcp", "link-local", "ignore", "manual", "shared", "disabled"});
}

// The method and, for manual (and IPv4's shared), the addresses that follow it. With modify,
// a section without a method keeps the profile's and only its keywords change.
bool parseIpMethod(Cursor& cursor, const char* family, bool modify, IpSettings* ip,
                   std::string* error) {
    bool v4 = strcmp(family, "ip4") == 0;
    if (ip->named) {
        *error = std::string(family) + " given twice";
        return false;
    }
    ip->named = true;
    if (modify && ip->given && (cursor.done() || !isIpMethod(v4, cursor.words[cursor.next]))) {
        return true;
    }
    *ip = IpSettings{};
    ip->given = ip->named = true;
    if (!cursor.value(family, &ip->method, error)) return false;
    if (!isIpMethod(v4, ip->method)) {
        *error = std::string(family) + ": unknown method \"" + ip->method + "\" (" +
                 (v4 ? "auto, manual, shared, link-local or disabled)"
                     : "auto, dhcp, link-local, ignore, manual, shared or disabled)");
        return false;
    }
    if (ip->method != "manual" && !(v4 && ip->method == "shared")) return true;
    while (!cursor.done() && cursor.words[cursor.next].find('/') != std::string::npos) {
        ip->addresses.push_back(cursor.take());
    }
    if (ip->addresses.empty())
        *error = std::string(family) + " " + ip->method + " needs ADDRESS/PREFIX";
    return error->empty();
}

bool parseIpKeyword(Cursor& cursor, const std::string& word, bool v4, IpSettings* ip,
                    std::string* error) {
    std::string value;
    if (!cursor.value(word, &value, error)) return false;
    if (word == "gw") {
        ip->gateway = value;
    } else if (word == "dns" || word == "+dns") {
        if (word == "dns" && !ip->dnsReplaced) ip->dns.clear();
        ip->dnsReplaced = true;
        ip->dns.push_back(value);
    } else if (word == "addr-gen" && !v4) {
        ip->addrGenMode = value;
    } else {
        *error = "\"" + word + "\" does not belong to " + (v4 ? "ip4" : "ip6");
        return false;
    }
    return true;
}

bool parseWifiKeyword(Cursor& cursor, const std::string& word, WifiSettings* wifi,
                      std::string* error) {
    // "visible" undoes a hidden network's "hidden", which modify keeps otherwise.
    if (word == "hidden" || word == "visible") {
        wifi->hidden = word == "hidden";
        return true;
    }
    std::string* target = word == "ssid"     ? &wifi->ssid
                          : word == "key"    ? &wifi->key
                          : word == "keymgt" ? &wifi->keymgt
                          : word == "mode"   ? &wifi->mode
                                             : nullptr;
    if (target == nullptr) {
        *error =
            "\"" + word + "\" does not belong to wifi (ssid, key, keymgt, hidden, visible, mode)";
        return false;
    }
    return cursor.value(word, target, error);
}

bool checkIp(const char* family, const IpSettings& ip, std::string* error) {
    bool v4 = strcmp(family, "ip4") == 0;
    int af = v4 ? AF_INET : AF_INET6;
    std::string name(family);
    std::string address;
    uint32_t prefix = 0;
    for (const std::string& text : ip.addresses) {
        if (!splitPrefix(af, text, &address, &prefix)) {
            *error = name + ": \"" + text + "\" is no " + (v4 ? "IPv4" : "IPv6") +
                     " ADDRESS/PREFIX (prefix 1 to " + (v4 ? "32)" : "128)");
            return false;
        }
    }
    if (ip.addresses.size() > (v4 ? 1 : LK_IP6_ADDRESSES_MAX)) {
        *error = name + ": at most " + (v4 ? "one address" : "4 addresses");
        return false;
    }
    // As the daemon's table has it: a gateway on a shared port would route out of it.
    if (!ip.gateway.empty() && (ip.method != "manual" || !validAddress(af, ip.gateway))) {
        *error = name + ": gw needs method manual and an address, not \"" + ip.gateway + "\"";
        return false;
    }
    bool dnsMethod = isOneOf(ip.method, {"auto", "manual"}) || (!v4 && ip.method == "dhcp");
    for (const std::string& server : ip.dns) {
        if (!dnsMethod || !validAddress(af, server)) {
            *error = name + ": dns needs method " +
                     (v4 ? "auto or manual" : "auto, dhcp or manual") + " and an address, not \"" +
                     server + "\"";
            return false;
        }
    }
    if (ip.dns.size() > (v4 ? LK_IP4_DNS_MAX : LK_IP6_DNS_MAX))
        *error = name + ": at most 2 dns servers";
    if (!ip.addrGenMode.empty() &&
        !isOneOf(ip.addrGenMode, {"eui64", "stable-privacy", "default-or-eui64", "default"})) {
        *error = "ip6: addr-gen is eui64, stable-privacy, default-or-eui64 or default";
    }
    return error->empty();
}

bool validKey(const std::string& key) {
    auto printable = [](char c) { return c >= 0x20 && c < 0x7F; };
    auto hex = [](char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (key.size() == 64) return std::all_of(key.begin(), key.end(), hex);
    return key.size() >= 8 && key.size() <= 63 && std::all_of(key.begin(), key.end(), printable);
}

bool checkWifi(WifiSettings* wifi, std::string* error) {
    if (wifi->ssid.empty() || wifi->ssid.size() > LK_SSID_MAX) {
        *error = "wifi: ssid of 1 to 32 bytes needed";
        return false;
    }
    if (wifi->mode.empty()) wifi->mode = "infrastructure";
    if (wifi->keymgt.empty()) wifi->keymgt = wifi->key.empty() ? "open" : "wpa2";
    if (!isOneOf(wifi->mode, {"infrastructure", "ap"})) {
        *error = "wifi: mode is infrastructure or ap";
    } else if (!isOneOf(wifi->keymgt, {"open", "wpa", "wpa2", "sae"}) ||
               (wifi->mode == "ap" && wifi->keymgt == "sae")) {
        *error = "wifi: keymgt is open, wpa, wpa2 or (not for mode ap) sae";
    } else if (wifi->keymgt == "open" && !wifi->key.empty()) {
        *error = "wifi: an open network takes no key";
    } else if (wifi->keymgt != "open" && !(wifi->keepKey && wifi->key.empty()) &&
               !validKey(wifi->key)) {
        *error = "wifi: " + wifi->keymgt +
                 " needs a key of 8 to 63 printable characters or 64 hex digits";
    }
    return error->empty();
}

bool parseSettings(Cursor& cursor, bool modify, Settings* settings, std::string* error) {
    const char* section = nullptr;
    while (!cursor.done() && error->empty()) {
        const std::string& word = cursor.take();
        if (word == "remove" && !modify && cursor.next == 2 && cursor.done()) {
            settings->remove = true;
        } else if (word == "ip4" || word == "ip6") {
            section = word == "ip4" ? "ip4" : "ip6";
            parseIpMethod(cursor, section, modify, word == "ip4" ? &settings->ip4 : &settings->ip6,
                          error);
        } else if (word == "wifi") {
            section = "wifi";
            if (settings->wifi.named) *error = "wifi given twice";
            settings->wifi.given = settings->wifi.named = true;
        } else if (section != nullptr && strcmp(section, "wifi") == 0) {
            parseWifiKeyword(cursor, word, &settings->wifi, error);
        } else if (section != nullptr) {
            bool v4 = strcmp(section, "ip4") == 0;
            parseIpKeyword(cursor, word, v4, v4 ? &settings->ip4 : &settings->ip6, error);
        } else {
            *error = "unknown setting \"" + word + "\": expected ip4, ip6, wifi" +
                     (modify ? "" : " or remove");
        }
    }
    if (!error->empty()) return false;
    if (!settings->remove && !settings->ip4.named && !settings->ip6.named &&
        !settings->wifi.named) {
        *error = modify ? "nothing to change: give ip4, ip6 and/or wifi settings"
                        : "nothing to set: give ip4, ip6 and/or wifi settings, or remove";
        return false;
    }
    return (!settings->ip4.given || checkIp("ip4", settings->ip4, error)) &&
           (!settings->ip6.given || checkIp("ip6", settings->ip6, error)) &&
           (!settings->wifi.given || checkWifi(&settings->wifi, error));
}

// A profile as request 4 answers it, as the settings that would write it again.
void ipFromProfile(bool v4, JsonView ip, IpSettings* out) {
    *out = IpSettings{};
    out->given = true;
    out->method = ip.has() ? ip["method"].str() : "disabled";
    if (v4 && ip["address"].has()) {
        out->addresses.push_back(ip["address"].str() + "/" + std::to_string(ip["prefix"].num()));
    }
    for (JsonView a = ip["addresses"].first(); a.present(); a = a.next()) {
        out->addresses.push_back(a.str());
    }
    out->gateway = ip["gateway"].str();
    for (JsonView d = ip["dns"].first(); d.present(); d = d.next()) out->dns.push_back(d.str());
    out->addrGenMode = ip["addr-gen-mode"].str();
    if (ip["ignore-auto-dns"].present()) out->ignoreAutoDns = ip["ignore-auto-dns"].yes();
}

bool settingsFromProfile(const std::string& profile, Settings* settings, std::string* error) {
    std::vector<unsigned char> bytes(profile.begin(), profile.end());
    JsonView object;
    if (!JsonView::parse(bytes, &object) || object.type() != JSON_TYPE_OBJECT) {
        *error = "the profile linkKeeper sent is not a JSON object";
        return false;
    }
    ipFromProfile(true, object["ip4"], &settings->ip4);
    ipFromProfile(false, object["ip6"], &settings->ip6);
    JsonView wifi = object["wifi"];
    if (!wifi.has()) return true;
    settings->wifi.given = true;
    if (!base64Decode(wifi["ssid"].str(), &settings->wifi.ssid)) settings->wifi.ssid.clear();
    settings->wifi.mode = wifi["mode"].str();
    settings->wifi.hidden = wifi["hidden"].yes();
    settings->wifi.keymgt = wifi["security"]["keymgt"].str();
    settings->wifi.keepKey = settings->wifi.keymgt != "open";
    return true;
}

std::string ipJson(bool v4, const IpSettings& ip) {
    std::string out = "{\"method\":" + quote(ip.method);
    if (v4 && !ip.addresses.empty()) {
        size_t slash = ip.addresses[0].find('/');
        out += ",\"address\":" + quote(ip.addresses[0].substr(0, slash)) +
               ",\"prefix\":" + ip.addresses[0].substr(slash + 1);
    }
    if (!v4 && !ip.addresses.empty()) out += ",\"addresses\":" + quotedList(ip.addresses);
    if (!ip.gateway.empty()) out += ",\"gateway\":" + quote(ip.gateway);
    if (!ip.dns.empty()) out += ",\"dns\":" + quotedList(ip.dns);
    if (!ip.addrGenMode.empty()) out += ",\"addr-gen-mode\":" + quote(ip.addrGenMode);
    if (ip.ignoreAutoDns >= 0) {
        out += std::string(",\"ignore-auto-dns\":") + (ip.ignoreAutoDns ? "true" : "false");
    }
    return out + "}";
}

std::string wifiJson(const WifiSettings& wifi) {
    std::string out =
        "{\"ssid\":" + quote(base64Encode(wifi.ssid)) + ",\"mode\":" + quote(wifi.mode);
    if (wifi.hidden) out += ",\"hidden\":true";
    out += ",\"security\":{\"keymgt\":" + quote(wifi.keymgt);
    if (!wifi.key.empty()) {
        out += ",\"psk\":" + quote(wifi.key);
    } else if (wifi.keepKey && wifi.keymgt != "open") {
        out += ",\"psk\":null";
    }
    return out + "}}";
}

std::string connectionJson(const Settings& settings, const ConnectionArgs& args) {
    std::string out = "{\"interface\":" + quote(settings.iface);
    if (settings.remove) out += ",\"remove\":true";
    if (settings.ip4.given && settings.ip4.method != "disabled") {
        out += ",\"ip4\":" + ipJson(true, settings.ip4);
    }
    if (settings.ip6.given) out += ",\"ip6\":" + ipJson(false, settings.ip6);
    if (settings.wifi.given) out += ",\"wifi\":" + wifiJson(settings.wifi);
    if (args.wait != 0) out += ",\"wait\":" + std::to_string(args.wait);
    if (args.rollback != 0) out += ",\"rollback\":" + std::to_string(args.rollback);
    if (!args.verifyHost.empty()) {
        out += ",\"verify\":{\"host\":" + quote(args.verifyHost) +
               ",\"seconds\":" + std::to_string(args.verifySeconds) + "}";
    }
    return out + "}";
}

// --json-payload TEXT: sent as it is once it is a JSON object naming an interface.
bool rawPayload(const std::string& text, ConnectionArgs* out, std::string* error) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    JsonView object;
    if (!JsonView::parse(bytes, &object) || object.type() != JSON_TYPE_OBJECT ||
        object["interface"].type() != JSON_TYPE_STRING) {
        *error = "--json-payload needs a JSON object with an \"interface\" member";
        return false;
    }
    out->iface = object["interface"].str();
    // Only lkctl's time-out depends on them; the daemon checks them.
    out->wait = static_cast<uint32_t>(std::clamp<int64_t>(object["wait"].num(), 0, LK_WAIT_MAX_S));
    out->rollback =
        static_cast<uint32_t>(std::clamp<int64_t>(object["rollback"].num(), 0, LK_ROLLBACK_MAX_S));
    out->remove = object["remove"].yes();
    if (object["verify"].has()) {
        out->verifyHost = "?";  // only the time counts here
        out->verifySeconds = static_cast<uint32_t>(
            std::clamp<int64_t>(object["verify"]["seconds"].num(), 0, LK_VERIFY_MAX_S));
    }
    out->json = text;
    return true;
}

// --verify HOST[:SECONDS]; the brackets of "[2001:db8::1]:10" keep an address's colons apart.
bool verifyOption(Cursor& cursor, const std::string& word, ConnectionArgs* out,
                  std::string* error) {
    std::string text;
    if (word == "--verify") {
        if (!cursor.value(word, &text, error)) return true;
    } else if (word.rfind("--verify=", 0) == 0) {
        text = word.substr(9);
    } else {
        return false;
    }
    std::string host = text, seconds;
    bool secondsGiven = false;
    size_t close = text.find(']');
    if (!text.empty() && text[0] == '[' && close != std::string::npos) {
        host = close + 1 == text.size() || text[close + 1] == ':' ? text.substr(1, close - 1) : "";
        secondsGiven = close + 1 < text.size();
        if (secondsGiven) seconds = text.substr(close + 2);
    } else if (size_t colon = text.find(':');
               colon != std::string::npos && colon == text.rfind(':')) {
        host = text.substr(0, colon);
        seconds = text.substr(colon + 1);
        secondsGiven = true;
    }
    out->verifyHost = host;
    out->verifySeconds = LK_VERIFY_DEFAULT_S;
    if (host.empty() ||
        (secondsGiven && !parseNumber(seconds, 1, LK_VERIFY_MAX_S, &out->verifySeconds))) {
        *error = "--verify takes HOST[:SECONDS] (seconds 1 to " + std::to_string(LK_VERIFY_MAX_S) +
                 "), not \"" + text + "\"";
    }
    return true;
}

}  // namespace

uint32_t ConnectionArgs::longestSeconds() const {
    uint32_t waited = wait != 0 ? wait : verifyHost.empty() ? 0 : LK_WAIT_MAX_S;
    return waited + verifySeconds;
}

bool parseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), ::isdigit) || text.size() > 10) {
        return false;
    }
    uint64_t number = strtoull(text.c_str(), nullptr, 10);
    if (number < low || number > high) return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

bool parseSeconds(const std::string& text, uint32_t lowMs, uint32_t highMs, uint32_t* ms) {
    size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    fraction.resize(std::max<size_t>(fraction.size(), 3), '0');  // ".2": 200 ms
    uint32_t seconds = 0;
    uint32_t thousandths = 0;
    bool wholeOk = whole.empty() ? point != std::string::npos && point + 1 < text.size()
                                 : parseNumber(whole, 0, highMs / 1000, &seconds);
    bool fractionOk = point == std::string::npos ||
                      (point + 1 < text.size() && parseNumber(fraction, 0, 999, &thousandths));
    if (!wholeOk || !fractionOk) return false;
    uint32_t total = seconds * 1000 + thousandths;
    if (total < lowMs || total > highMs) return false;
    *ms = total;
    return true;
}

std::string secondsText(uint32_t ms) {
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 == 0) return text;
    char fraction[5];
    snprintf(fraction, sizeof fraction, ".%03u", ms % 1000);
    std::string tail(fraction);
    while (tail.back() == '0') tail.pop_back();
    return text + tail;
}

bool checkInterface(const std::string& name, std::string* error) {
    bool bad = name.empty() || name.size() > 15 || name == "." || name == ".." ||
               name.find_first_of("/: \t\n") != std::string::npos;
    if (bad) *error = "\"" + name + "\" is no interface name";
    return !bad;
}

namespace {

// --wait and --rollback anywhere among the words; the rest in *rest. False on a bad value.
bool changeOptions(const std::vector<std::string>& words, ConnectionArgs* out,
                   std::vector<std::string>* rest, std::string* payload, bool* rawGiven,
                   std::string* error) {
    Cursor cursor{words};
    while (!cursor.done()) {
        const std::string& word = cursor.take();
        if (numberOption(cursor, word, "--wait", 1, LK_WAIT_MAX_S, &out->wait, error) ||
            numberOption(cursor, word, "--rollback", LK_ROLLBACK_MIN_S, LK_ROLLBACK_MAX_S,
                         &out->rollback, error) ||
            verifyOption(cursor, word, out, error)) {
            if (!error->empty()) return false;
        } else if (word == "--json-payload" && payload != nullptr) {
            *rawGiven = cursor.value(word, payload, error);
            if (!*rawGiven) return false;
        } else if (word.size() > 1 && word[0] == '-' && word != "+dns") {
            *error = "unknown option \"" + word + "\"";
            return false;
        } else {
            rest->push_back(word);
        }
    }
    return true;
}

bool finishConnection(const std::vector<std::string>& rest, bool modify, const std::string* profile,
                      ConnectionArgs* out, std::string* error) {
    if (rest.empty()) {
        *error = "an interface is needed";
        return false;
    }
    Settings settings;
    settings.iface = rest[0];
    if (!checkInterface(settings.iface, error)) return false;
    if (profile != nullptr && !settingsFromProfile(*profile, &settings, error)) return false;
    Cursor settingsCursor{rest, 1};
    if (!parseSettings(settingsCursor, modify, &settings, error)) return false;
    out->iface = settings.iface;
    out->remove = settings.remove;
    out->ip4Given = settings.ip4.given && settings.ip4.method != "disabled";
    out->ip6Given = settings.ip6.given;
    out->json = connectionJson(settings, *out);
    return true;
}

}  // namespace

bool parseConnection(const std::vector<std::string>& words, ConnectionArgs* out,
                     std::string* error) {
    std::vector<std::string> rest;
    std::string payload;
    bool rawGiven = false;
    if (!changeOptions(words, out, &rest, &payload, &rawGiven, error)) return false;
    if (rawGiven) {
        if (!rest.empty() || out->wait != 0 || out->rollback != 0 || !out->verifyHost.empty()) {
            *error =
                "--json-payload takes everything from its JSON (put \"wait\", \"rollback\" "
                "and \"verify\" there)";
            return false;
        }
        return rawPayload(payload, out, error);
    }
    return finishConnection(rest, false, nullptr, out, error);
}

bool modifiedInterface(const std::vector<std::string>& words, std::string* iface,
                       std::string* error) {
    ConnectionArgs options;
    std::vector<std::string> rest;
    if (!changeOptions(words, &options, &rest, nullptr, nullptr, error)) return false;
    if (rest.empty()) {
        *error = "an interface is needed";
        return false;
    }
    *iface = rest[0];
    return checkInterface(*iface, error);
}

bool parseModification(const std::vector<std::string>& words, const std::string& profile,
                       ConnectionArgs* out, std::string* error) {
    std::vector<std::string> rest;
    return changeOptions(words, out, &rest, nullptr, nullptr, error) &&
           finishConnection(rest, true, &profile, out, error);
}

bool parsePing(const std::vector<std::string>& words, PingArgs* out, std::string* error) {
    uint32_t count = 4, interval = 1000, timeout = 1000, total = 0, version = 0;
    Cursor cursor{words};
    while (!cursor.done()) {
        const std::string& word = cursor.take();
        if (numberOption(cursor, word, "-c", 1, LK_PING_COUNT_MAX, &count, error) ||
            secondsOption(cursor, word, "-i", LK_PING_INTERVAL_MIN_MS, LK_PING_RUN_MAX_MS,
                          &interval, error) ||
            secondsOption(cursor, word, "-W", 1, LK_PING_TIMEOUT_MAX_MS, &timeout, error) ||
            secondsOption(cursor, word, "-w", 0, LK_PING_RUN_MAX_MS, &total, error)) {
            if (!error->empty()) return false;
        } else if (word == "-4" || word == "-6") {
            version = word == "-4" ? 4 : 6;
        } else if (word[0] == '-') {
            *error = "unknown option \"" + word + "\" (-c, -i, -W, -w, -4, -6)";
            return false;
        } else if (!out->host.empty()) {
            *error = "one host only, not \"" + out->host + "\" and \"" + word + "\"";
            return false;
        } else {
            out->host = word;
        }
    }
    if (out->host.empty() || out->host.size() > 255) {
        *error = "ping needs a host name or address";
        return false;
    }
    uint64_t run = uint64_t{count} * interval + timeout;
    if (total != 0) run = std::min<uint64_t>(run, uint64_t{total} + timeout);
    if (run > LK_PING_RUN_MAX_MS) {
        *error = "the probe would run longer than an hour (-c COUNT times -i, plus -W)";
        return false;
    }
    out->longestMs = static_cast<uint32_t>(run);
    out->json = "{\"hostname\":" + quote(out->host) + ",\"ipVersion\":" + std::to_string(version) +
                ",\"pingCount\":" + std::to_string(count) +
                ",\"totalTimeout\":" + std::to_string(total) +
                ",\"pingInterval\":" + std::to_string(interval) +
                ",\"pingTimeout\":" + std::to_string(timeout) + "}";
    return true;
}
