#include "nm/nm_profile.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace {

using ConnectionPtr = GObjectPtr<NMConnection>;

constexpr const char* kIp6ParseError = "Could not parse ip6 configuration";

constexpr const char* kIp4Methods[] = {"auto", "shared", "manual"};
constexpr const char* kIp6Methods[] = {"ignore",     "auto",   "dhcp",
                                       "link-local", "manual", "disabled"};
constexpr const char* kCcmp[] = {"ccmp", nullptr};
constexpr const char* kRsn[] = {"rsn", nullptr};

struct IpAddressUnref {
    void operator()(NMIPAddress* address) const { nm_ip_address_unref(address); }
};
using IpAddressPtr = std::unique_ptr<NMIPAddress, IpAddressUnref>;
using SettingPtr = GObjectPtr<NMSetting>;

template <size_t N>
bool isOneOf(const char* text, const char* const (&table)[N]) {
    for (const char* entry : table) {
        if (strcmp(text, entry) == 0) return true;
    }
    return false;
}

bool is(const char* text, const char* word) {
    return strcmp(text, word) == 0;
}

// The connection takes over the setting's reference.
void addSetting(NMConnection* connection, SettingPtr setting) {
    nm_connection_add_setting(connection, setting.release());
}

// An empty method becomes "disabled"; an unknown one is refused with the given message.
template <size_t N, size_t M>
bool checkMethod(char (&method)[N], const char* const (&accepted)[M], const char* message) {
    if (method[0] == '\0') {
        strcpy(method, "disabled");
        return true;
    }
    if (isOneOf(method, accepted)) return true;
    yebLog(message, method);
    return false;
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

SettingPtr pskSetting(const char* psk, const char* keyManagement) {
    SettingPtr setting(nm_setting_wireless_security_new());
    g_object_set(setting.get(), "psk", psk, "key-mgmt", keyManagement, nullptr);
    return setting;
}

// The security setting for the request's key management: 0 with the setting (none for an open
// network), -EINVAL for a key that could never work, -EOPNOTSUPP (access point) or -EINVAL
// (client) for a key management we do not offer. Never silently open.
int securitySetting(const nmaConnection& request, bool accessPoint, SettingPtr& setting) {
    const char* keymgt = request.wifi.security.keymgt;
    if (is(keymgt, "open") || (!accessPoint && keymgt[0] == '\0')) return 0;
    bool wpa = is(keymgt, "wpa") || is(keymgt, "wpa2");
    if (!wpa && !is(keymgt, "sae")) {
        yebLog("error: unknown key management \"%s\" refused\n", keymgt);
        return accessPoint ? -EOPNOTSUPP : -EINVAL;
    }
    if (!validPsk(request.wifi.security.psk)) {
        yebLog("error: the key is neither 8 to 63 printable characters nor 64 hex digits\n");
        return -EINVAL;
    }
    setting = pskSetting(request.wifi.security.psk, wpa ? "wpa-psk" : "sae");
    if (accessPoint && wpa) {
        g_object_set(setting.get(), "pairwise", kCcmp, "group", kCcmp, "wps-method", 1, nullptr);
        if (is(keymgt, "wpa2")) g_object_set(setting.get(), "proto", kRsn, nullptr);
    }
    return 0;
}

int addWifiSettings(NMConnection* connection, const nmaConnection& request) {
    bool accessPoint = is(request.wifi.mode, "ap");
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

// Clears the name servers and adds each non-empty one, which then replaces automatic ones.
bool setDns(NMSetting* setting, int family, const char* const* servers, int count) {
    nm_setting_ip_config_clear_dns(NM_SETTING_IP_CONFIG(setting));
    for (int i = 0; i < count; ++i) {
        if (servers[i][0] == '\0') continue;
        if (!isAddress(family, servers[i])) return false;
        nm_setting_ip_config_add_dns(NM_SETTING_IP_CONFIG(setting), servers[i]);
        g_object_set(setting, "ignore-auto-dns", TRUE, nullptr);
    }
    return true;
}

bool setGateway(NMSetting* setting, int family, const char* gateway) {
    if (gateway[0] == '\0') return true;
    if (!isAddress(family, gateway)) return false;
    g_object_set(setting, "gateway", gateway, nullptr);
    return true;
}

bool setAddrGenMode(NMSetting* setting, const char* mode) {
    if (mode[0] == '\0') return true;
    int value;
    if (is(mode, "eui64")) {
        value = NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_EUI64;
    } else if (is(mode, "stable-privacy")) {
        value = NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_STABLE_PRIVACY;
    } else {
        return false;
    }
    g_object_set(setting, "addr-gen-mode", value, nullptr);
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

int ip6DnsServers(NMSetting* setting, const nmaConnection& request) {
    int count = request.ip6.dnsCount;
    if (count < 0 || static_cast<size_t>(count) > LK_IP6_DNS_MAX) {
        yebLog("Too many DNS entries in IP6 setting (%d)", count);
        return -EINVAL;
    }
    const char* servers[LK_IP6_DNS_MAX] = {request.ip6.dns[0], request.ip6.dns[1]};
    return setDns(setting, AF_INET6, servers, count) ? 0 : -EINVAL;
}

int ip6Setting(const nmaConnection& request, SettingPtr& out) {
    SettingPtr setting(nm_setting_ip6_config_new());
    const char* method = request.ip6.method;
    g_object_set(setting.get(), "method", method, nullptr);
    bool ok = setAddrGenMode(setting.get(), request.ip6.addrGenMode);
    if (ok && is(method, "manual")) {
        ok = addIp6Addresses(setting.get(), request) &&
             setGateway(setting.get(), AF_INET6, request.ip6.gateway);
    }
    if (ok && (is(method, "manual") || is(method, "auto"))) {
        ok = ip6DnsServers(setting.get(), request) == 0;
    }
    if (!ok) {
        yebLog("%s", kIp6ParseError);
        return -EINVAL;
    }
    out = std::move(setting);
    return 0;
}

bool addIp4Address(NMSetting* setting, const nmaConnection& request) {
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
    const char* method = request.ip4.method;
    g_object_set(setting.get(), "method", method, nullptr);
    bool manual = is(method, "manual") || is(method, "shared");
    // A missing prefix would store a /0 network: the whole address space on the link.
    if (manual && (request.ip4.prefix < 1 || request.ip4.prefix > 32)) {
        yebLog("error: ip4 prefix %u is not 1 to 32\n", request.ip4.prefix);
        return -EINVAL;
    }
    if (manual && !addIp4Address(setting.get(), request)) return -EINVAL;
    // Both entries are looked at whatever the count: an empty one is simply skipped.
    const char* servers[LK_IP4_DNS_MAX] = {request.ip4.dns[0], request.ip4.dns[1]};
    if ((manual && !setGateway(setting.get(), AF_INET, request.ip4.gateway)) ||
        !setDns(setting.get(), AF_INET, servers, LK_IP4_DNS_MAX)) {
        yebLog("error: nmhelper_create_new_connection invalid ip4 gateway or name server\n");
        return -EINVAL;
    }
    out = std::move(setting);
    return 0;
}

}  // namespace

int nmProfileBuild(nmaConnection* request, NMDevice* device, GObjectPtr<NMConnection>& out) {
    if (!checkMethod(request->ip4.method, kIp4Methods,
                     "error: nmhelper_create_new_connection unknown ip4 method %s\n") ||
        !checkMethod(request->ip6.method, kIp6Methods,
                     "error: nmhelper_create_new_connection unknown ip6 method %s\n")) {
        return -EINVAL;
    }
    ConnectionPtr connection(nm_simple_connection_new());
    int status = addDeviceSettings(connection.get(), device, *request);
    if (status < 0) return status;
    SettingPtr ip6;
    SettingPtr ip4;
    if ((status = ip6Setting(*request, ip6)) < 0) return status;
    if ((status = ip4Setting(*request, ip4)) < 0) return status;
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
    int32_t prefix = static_cast<int32_t>(strtol(slash + 1, nullptr, 10));
    if (prefix < 1 || prefix > 128) {
        yebLog("Invalid IPv6 prefix value (must be 1-128).");
        return nullptr;
    }
    GErrorPtr error;
    NMIPAddress* result =
        nm_ip_address_new(AF_INET6, address.c_str(), static_cast<guint>(prefix), outPtr(error));
    if (!result) {
        yebLog("create_ip6_address_from_cidr: Error getting ip address: %s\n",
               error ? error->message : "unknown error");
    }
    return result;
}
