#include "nm/nm_connection.h"

#include <NetworkManager.h>
#include <arpa/inet.h>
#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "nm/glib_ptr.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"
#include "platform/platform.h"

namespace {

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
using ConnectionPtr = GObjectPtr<NMConnection>;

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
    g_object_set(setting.get(), "ssid", ssid, "mode", request.wifi.mode, nullptr);
    g_bytes_unref(ssid);
    return setting;
}

SettingPtr pskSetting(const char* psk) {
    SettingPtr setting(nm_setting_wireless_security_new());
    g_object_set(setting.get(), "psk", psk, "key-mgmt", "wpa-psk", nullptr);
    return setting;
}

// The security setting of an access point: 0 with setting (possibly none, for "open"), or
// -95 for another key management.
int accessPointSecurity(const nmaConnection& request, SettingPtr& setting) {
    const char* keymgt = request.wifi.security.keymgt;
    if (is(keymgt, "open")) return 0;
    if (!is(keymgt, "wpa") && !is(keymgt, "wpa2")) return -EOPNOTSUPP;
    setting = pskSetting(request.wifi.security.psk);
    g_object_set(setting.get(), "pairwise", kCcmp, "group", kCcmp, "wps-method", 1, nullptr);
    if (is(keymgt, "wpa2")) g_object_set(setting.get(), "proto", kRsn, nullptr);
    return 0;
}

int addWifiSettings(NMConnection* connection, const nmaConnection& request) {
    const char* keymgt = request.wifi.security.keymgt;
    bool accessPoint = is(request.wifi.mode, "ap");
    SettingPtr security;
    if (accessPoint) {
        if (accessPointSecurity(request, security) < 0) return -EOPNOTSUPP;
    } else if (is(keymgt, "wpa") || is(keymgt, "wpa2")) {
        security = pskSetting(request.wifi.security.psk);
    }
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
    if (count > NMA_IP6_DNS_MAX) {
        yebLog("Too many DNS entries in IP6 setting (%d)", count);
        return -EINVAL;
    }
    const char* servers[NMA_IP6_DNS_MAX] = {request.ip6.dns[0], request.ip6.dns[1]};
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
    if (manual && !addIp4Address(setting.get(), request)) return -EINVAL;
    // Both entries are looked at whatever the count: an empty one is simply skipped.
    const char* servers[NMA_IP4_DNS_MAX] = {request.ip4.dns[0], request.ip4.dns[1]};
    if ((manual && !setGateway(setting.get(), AF_INET, request.ip4.gateway)) ||
        !setDns(setting.get(), AF_INET, servers, NMA_IP4_DNS_MAX)) {
        yebLog("error: nmhelper_create_new_connection invalid ip4 gateway or name server\n");
        return -EINVAL;
    }
    out = std::move(setting);
    return 0;
}

// The whole profile, not yet stored; a negative status leaves nothing behind.
int buildConnection(nmaConnection* request, NMDevice* device, ConnectionPtr& out) {
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

// After every wait: the device may have been unplugged meanwhile.
int stillThere(int status, NMDevice* device) {
    if (status < 0) return status;
    if (nmhelper_device_present(device)) return 0;
    yebLog("device gone during the request\n");
    return -ENOENT;
}

// Step 5 to 7 of a set-connection request, once the new profile is stored.
int replaceAndActivate(NMDevice* device, const char* ifname, const char* uuid) {
    if (nm_device_get_state(device) == NM_DEVICE_STATE_ACTIVATED) {
        yebLog("nmadapter_SetInterfaceConfigurationIP4: disconnecting device\n");
        int status = stillThere(nmhelper_device_disconnect(device), device);
        if (status < 0) return status;
    }
    int status = stillThere(nmhelper_remove_connections(nmClient, device, uuid), device);
    if (status < 0) return status;
    NMRemoteConnection* stored = nm_client_get_connection_by_uuid(nmClient, uuid);
    if (!stored) return 0;
    yebLog("nmadapter_SetConnection: marking interface up, %s, %s\n", ifname, uuid);
    status = nmhelper_activate_connection(ifname, NM_CONNECTION(stored));
    if (status < 0) yebLog("error: could not mark new connection up\n");
    return status;
}

}  // namespace

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

int nmhelper_create_new_connection(nmaConnection* request, char* uuid) {
    if (!checkMethod(request->ip4.method, kIp4Methods,
                     "error: nmhelper_create_new_connection unknown ip4 method %s\n")) {
        return -EINVAL;
    }
    if (!checkMethod(request->ip6.method, kIp6Methods,
                     "error: nmhelper_create_new_connection unknown ip6 method %s\n")) {
        return -EINVAL;
    }
    NMDevice* device = nmhelper_find_device(request->interface);
    if (!device) return -ENOENT;
    ConnectionPtr connection;
    int status = buildConnection(request, device, connection);
    if (status < 0) return status;
    if (int added = nmhelper_add_connection(connection.get()); added < 0) return added;
    g_strlcpy(uuid, nm_connection_get_uuid(connection.get()), NMA_UUID_BUFFER);
    return 0;
}

int nmadapter_SetConnection(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    nmaConnection connection;
    char uuid[NMA_UUID_BUFFER] = {};
    int status = nmjson_unmarshal_nmaConnection(&request->decoder, &connection);
    if (status < 0) return status;
    // Referenced for the whole request: it may be unplugged during any wait below.
    GObjectPtr<NMDevice> device(nmhelper_ref_device(connection.interface));
    if (!device) return -ENOENT;
    if (connection.remove) return nmhelper_remove_connections(nmClient, device.get(), nullptr);
    status = stillThere(nmhelper_create_new_connection(&connection, uuid), device.get());
    if (status == -ENOENT) {
        // The profile was stored for a device that is gone: nothing of the request stays.
        if (NMRemoteConnection* stored = nm_client_get_connection_by_uuid(nmClient, uuid)) {
            nmhelper_remove_connection(stored);
        }
    }
    if (status < 0) return status;
    status = replaceAndActivate(device.get(), connection.interface, uuid);
    if (status < 0) return status;
    return encoderSize(&request->encoder);
}
