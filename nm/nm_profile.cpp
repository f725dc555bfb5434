#include "nm/nm_profile.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "nm/nm_vocabulary.h"
#include "platform/platform.h"

namespace {

using ConnectionPtr = GObjectPtr<NMConnection>;

constexpr const char* kIp6ParseError = "Could not parse ip6 configuration";

constexpr const char* kCcmp[] = {"ccmp", nullptr};

struct IpAddressUnref {
    void operator()(NMIPAddress* address) const { nm_ip_address_unref(address); }
};
using IpAddressPtr = std::unique_ptr<NMIPAddress, IpAddressUnref>;
using SettingPtr = GObjectPtr<NMSetting>;

bool is(const char* text, const char* word) {
    return strcmp(text, word) == 0;
}

// The connection takes over the setting's reference.
void addSetting(NMConnection* connection, SettingPtr setting) {
    nm_connection_add_setting(connection, setting.release());
}

// libnm reports texts that are no address of the family with a critical warning, not an
// error, so the texts are checked before they are handed over.
bool isAddress(int family, const char* text) {
    return nm_utils_ipaddr_valid(family, text);
}

SettingPtr connectionSetting(const char* ifname, const char* type, bool autoconnect) {
    SettingPtr setting(nm_setting_connection_new());
    GCharPtr uuid(nm_utils_uuid_generate());
    g_object_set(setting.get(), "type", type, "id", ifname, "interface-name", ifname, "uuid",
                 uuid.get(), "autoconnect", autoconnect ? TRUE : FALSE, nullptr);
    return setting;
}

SettingPtr wirelessSetting(const nmaConnection& request) {
    SettingPtr setting(nm_setting_wireless_new());
    GBytes* ssid = g_bytes_new(request.wifi.ssid, request.wifi.ssidLength);
    g_object_set(setting.get(), "ssid", ssid, "mode", request.wifi.mode, "hidden",
                 request.wifi.hidden ? TRUE : FALSE, nullptr);
    g_bytes_unref(ssid);
    return setting;
}

// A pre-shared key as WPA defines it: a passphrase of 8 to 63 printable ASCII characters, or
// the raw key as exactly 64 hexadecimal digits. Anything else could never join.
bool validPsk(const char* psk) {
    size_t length = strlen(psk);
    bool hex = length == 64;
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(psk[i]);
        if (c < 0x20 || c > 0x7e) return false;
        hex = hex && g_ascii_isxdigit(c);
    }
    return hex || (length >= 8 && length <= 63);
}

// A key kept from the interface's profile keeps how that profile stores it too (a key an agent
// owns stays the agent's); an empty one is none.
SettingPtr pskSetting(const nmaConnection& request, const char* keyManagement) {
    const auto& security = request.wifi.security;
    SettingPtr setting(nm_setting_wireless_security_new());
    g_object_set(setting.get(), "key-mgmt", keyManagement, "psk-flags", security.pskFlags, nullptr);
    if (security.psk[0] != '\0') g_object_set(setting.get(), "psk", security.psk, nullptr);
    return setting;
}

// The security setting for the request's key management: 0 with the setting (none for an open
// network), -EINVAL for a key that could never work, -EOPNOTSUPP (access point) or -EINVAL
// (client) for a key management we do not offer. Never silently open: a key always means
// security, so a key without a key management, or with "open", is refused; so is a key kept
// ("psk": null) without a key management, while "open" with it has no key to keep.
int securitySetting(const nmaConnection& request, bool accessPoint, SettingPtr& setting) {
    const char* keymgt = request.wifi.security.keymgt;
    const char* psk = request.wifi.security.psk;
    const KeyManagement* entry = nmKeyManagementNamed(keymgt[0] || accessPoint ? keymgt : "open");
    if (entry == nullptr) {
        yebLog("error: unknown key management \"%s\" refused\n", keymgt);
        return accessPoint ? -EOPNOTSUPP : -EINVAL;
    }
    if (entry->keyMgmt == nullptr) {
        // Asked to keep a key and given no key management, the client means security too.
        bool keyAsked =
            psk[0] != '\0' || (keymgt[0] == '\0' && request.wifi.security.keepStoredPsk);
        if (!keyAsked) return 0;
        yebLog("error: a key without a key management that uses it refused\n");
        return -EINVAL;
    }
    // Kept from a profile that stores no key, the new one stores none either.
    bool keptNone = request.wifi.security.keepStoredPsk && psk[0] == '\0';
    if (!keptNone && !validPsk(psk)) {
        yebLog("error: the key is neither 8 to 63 printable characters nor 64 hex digits\n");
        return -EINVAL;
    }
    setting = pskSetting(request, entry->keyMgmt);
    if (entry->proto != nullptr) {
        const char* protos[] = {entry->proto, nullptr};
        g_object_set(setting.get(), "proto", protos, nullptr);
    }
    if (accessPoint && is(entry->keyMgmt, "wpa-psk")) {
        g_object_set(setting.get(), "pairwise", kCcmp, "group", kCcmp, "wps-method", 1, nullptr);
    }
    return 0;
}

int addWifiSettings(NMConnection* connection, const nmaConnection& request) {
    bool accessPoint = is(request.wifi.mode, "ap");
    // Stations get their addresses from the access point's own port.
    if (accessPoint && !is(request.ip4.method, "shared") && !is(request.ip4.method, "manual")) {
        yebLog("error: an access point needs IPv4 \"shared\" or \"manual\"\n");
        return -EINVAL;
    }
    SettingPtr security;
    if (int status = securitySetting(request, accessPoint, security); status < 0) return status;
    addSetting(connection, connectionSetting(request.interface, NM_SETTING_WIRELESS_SETTING_NAME,
                                             !accessPoint));
    addSetting(connection, wirelessSetting(request));
    if (security) addSetting(connection, std::move(security));
    return 0;
}

// The connection and device-type settings; -95 for a device that is neither Ethernet nor
// Wi-Fi, -22 for a Wi-Fi device without a "wifi" section (nothing to join or offer).
int addDeviceSettings(NMConnection* connection, NMDevice* device, const nmaConnection& request) {
    switch (nm_device_get_device_type(device)) {
        case NM_DEVICE_TYPE_ETHERNET:
            addSetting(connection,
                       connectionSetting(request.interface, NM_SETTING_WIRED_SETTING_NAME, true));
            addSetting(connection, SettingPtr(nm_setting_wired_new()));
            return 0;
        case NM_DEVICE_TYPE_WIFI:
            if (request.wifi.mode[0] == '\0') {
                yebLog("error: nmhelper_create_new_connection no wifi section for %s\n",
                       request.interface);
                return -EINVAL;
            }
            return addWifiSettings(connection, request);
        default:
            return -EOPNOTSUPP;
    }
}

// The members the request gives for one family, as IpMember bits.
struct IpRequest {
    int family;
    const char* name;  // "ip4" or "ip6", for the log
    const char* method;
    unsigned members;
    const char* gateway;
    const char* const* dns;
    int dnsCount;
    int32_t ignoreAutoDns;
};

IpRequest ip4Request(const nmaConnection& request, const char* const (&dns)[LK_IP4_DNS_MAX]) {
    const auto& ip4 = request.ip4;
    unsigned members = (ip4.address[0] || ip4.prefix ? IP_MEMBER_ADDRESS : 0u) |
                       (ip4.gateway[0] ? IP_MEMBER_GATEWAY : 0u) |
                       (ip4.dnsCount > 0 ? IP_MEMBER_DNS : 0u) |
                       (ip4.ignoreAutoDns >= 0 ? IP_MEMBER_IGNORE_AUTO_DNS : 0u);
    return {AF_INET, "ip4", ip4.method, members, ip4.gateway, dns, ip4.dnsCount, ip4.ignoreAutoDns};
}

IpRequest ip6Request(const nmaConnection& request, const char* const (&dns)[LK_IP6_DNS_MAX]) {
    const auto& ip6 = request.ip6;
    unsigned members = (ip6.addressesCount > 0 ? IP_MEMBER_ADDRESS : 0u) |
                       (ip6.gateway[0] ? IP_MEMBER_GATEWAY : 0u) |
                       (ip6.dnsCount > 0 ? IP_MEMBER_DNS : 0u) |
                       (ip6.ignoreAutoDns >= 0 ? IP_MEMBER_IGNORE_AUTO_DNS : 0u);
    return {AF_INET6,    "ip6", ip6.method,   members,
            ip6.gateway, dns,   ip6.dnsCount, ip6.ignoreAutoDns};
}

// Every member the method cannot use is refused rather than dropped, and a method that needs
// an address gets one.
bool membersFit(const IpRequest& ip, const IpMethod& method) {
    if ((ip.members & ~method.members) != 0) {
        yebLog("error: %s method %s cannot carry the members given\n", ip.name, ip.method);
        return false;
    }
    if (method.needsAddress && !(ip.members & IP_MEMBER_ADDRESS)) {
        yebLog("error: %s method %s needs an address\n", ip.name, ip.method);
        return false;
    }
    return true;
}

// Name servers given replace automatic ones unless "ignore-auto-dns" says otherwise.
bool setDns(NMSetting* setting, const IpRequest& ip) {
    for (int i = 0; i < ip.dnsCount; ++i) {
        if (!isAddress(ip.family, ip.dns[i])) return false;
        nm_setting_ip_config_add_dns(NM_SETTING_IP_CONFIG(setting), ip.dns[i]);
    }
    bool ignore = ip.ignoreAutoDns >= 0 ? ip.ignoreAutoDns == 1 : ip.dnsCount > 0;
    if (ignore) g_object_set(setting, "ignore-auto-dns", TRUE, nullptr);
    return true;
}

// The method, gateway and name servers of either family, once the members fit the method.
bool setCommon(NMSetting* setting, const IpRequest& ip) {
    const IpMethod* method = nmIpMethod(ip.family, ip.method);
    if (method == nullptr) {
        yebLog("error: unknown %s method %s\n", ip.name, ip.method);
        return false;
    }
    if (!membersFit(ip, *method)) return false;
    g_object_set(setting, "method", ip.method, nullptr);
    if (ip.gateway[0] != '\0') {
        if (!isAddress(ip.family, ip.gateway)) return false;
        g_object_set(setting, "gateway", ip.gateway, nullptr);
    }
    return setDns(setting, ip);
}

bool setAddrGenMode(NMSetting* setting, const char* word) {
    if (word[0] == '\0') return true;
    NMSettingIP6ConfigAddrGenMode mode;
    if (nmAddrGenModeNamed(word, &mode) < 0) return false;
    g_object_set(setting, "addr-gen-mode", static_cast<int>(mode), nullptr);
    return true;
}

bool addIp6Addresses(NMSetting* setting, const nmaConnection& request) {
    for (int i = 0; i < request.ip6.addressesCount; ++i) {
        IpAddressPtr address(create_ip6_address_from_cidr(request.ip6.addresses[i]));
        if (!address) return false;
        nm_setting_ip_config_add_address(NM_SETTING_IP_CONFIG(setting), address.get());
    }
    return true;
}

int ip6Setting(const nmaConnection& request, SettingPtr& out) {
    SettingPtr setting(nm_setting_ip6_config_new());
    const char* dns[LK_IP6_DNS_MAX] = {request.ip6.dns[0], request.ip6.dns[1]};
    if (!setCommon(setting.get(), ip6Request(request, dns)) ||
        !setAddrGenMode(setting.get(), request.ip6.addrGenMode) ||
        !addIp6Addresses(setting.get(), request)) {
        yebLog("%s", kIp6ParseError);
        return -EINVAL;
    }
    out = std::move(setting);
    return 0;
}

bool addIp4Address(NMSetting* setting, const nmaConnection& request) {
    if (request.ip4.address[0] == '\0' && request.ip4.prefix == 0) return true;
    // A missing prefix would store a /0 network: the whole address space on the link.
    if (request.ip4.prefix < 1 || request.ip4.prefix > 32) {
        yebLog("error: ip4 prefix %u is not 1 to 32\n", request.ip4.prefix);
        return false;
    }
    GErrorPtr error;
    IpAddressPtr address(
        nm_ip_address_new(AF_INET, request.ip4.address, request.ip4.prefix, outPtr(error)));
    if (!address) {
        yebLog("nmhelper_create_new_connection: Error getting ip address: %s\n",
               error ? error->message : "unknown error");
        return false;
    }
    nm_setting_ip_config_add_address(NM_SETTING_IP_CONFIG(setting), address.get());
    return true;
}

int ip4Setting(const nmaConnection& request, SettingPtr& out) {
    SettingPtr setting(nm_setting_ip4_config_new());
    const char* dns[LK_IP4_DNS_MAX] = {request.ip4.dns[0], request.ip4.dns[1]};
    if (!setCommon(setting.get(), ip4Request(request, dns)) ||
        !addIp4Address(setting.get(), request)) {
        yebLog("error: nmhelper_create_new_connection invalid ip4 configuration\n");
        return -EINVAL;
    }
    out = std::move(setting);
    return 0;
}

// Digits only, the whole rest of the text: "64junk" is no prefix.
bool parsePrefix(const char* text, int max, guint* prefix) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (!g_ascii_isdigit(text[0]) || *end != '\0' || errno != 0 || value < 1 || value > max) {
        return false;
    }
    *prefix = static_cast<guint>(value);
    return true;
}

}  // namespace

int nmProfileBuild(nmaConnection* request, NMDevice* device, GObjectPtr<NMConnection>& out) {
    // Left out, a family is disabled.
    if (request->ip4.method[0] == '\0') strcpy(request->ip4.method, "disabled");
    if (request->ip6.method[0] == '\0') strcpy(request->ip6.method, "disabled");
    SettingPtr ip6;
    SettingPtr ip4;
    int status = ip6Setting(*request, ip6);
    if (status == 0) status = ip4Setting(*request, ip4);
    if (status < 0) return status;
    ConnectionPtr connection(nm_simple_connection_new());
    if ((status = addDeviceSettings(connection.get(), device, *request)) < 0) return status;
    addSetting(connection.get(), std::move(ip4));
    addSetting(connection.get(), std::move(ip6));
    out = std::move(connection);
    return 0;
}

NMIPAddress* create_ip6_address_from_cidr(const char* cidr) {
    if (!cidr) return nullptr;
    const char* slash = strchr(cidr, '/');
    if (!slash) {
        yebLog("CIDR string is missing the '/' prefix separator.");
        return nullptr;
    }
    std::string address(cidr, static_cast<size_t>(slash - cidr));
    guint prefix = 0;
    if (!parsePrefix(slash + 1, 128, &prefix)) {
        yebLog("Invalid IPv6 prefix value (must be 1-128).");
        return nullptr;
    }
    GErrorPtr error;
    NMIPAddress* result = nm_ip_address_new(AF_INET6, address.c_str(), prefix, outPtr(error));
    if (!result) {
        yebLog("create_ip6_address_from_cidr: Error getting ip address: %s\n",
               error ? error->message : "unknown error");
    }
    return result;
}
