#include "nm/nm_read.h"

#include <NetworkManager.h>
#include <sys/socket.h>
#include <cerrno>

#include <string.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "codec/codec.h"
#include "nm/glib_ptr.h"
#include "nm/nm_device.h"
#include "nm/nm_operation.h"
#include "nm/nm_sysfs.h"
#include "nm/nm_vocabulary.h"
#include "nm/nm_wifi.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

// A profile whose method or key management has no entry in the reply's vocabulary, or that
// lacks an IP setting, is answered with -EOPNOTSUPP: the service cannot describe it, and a
// reply of another shape would mislead the client (it would also be refused by request 3).
constexpr int kUnsupportedProfile = -EOPNOTSUPP;

const char* orNullText(const char* text) {
    return text ? text : "(null)";
}

const char* requestIfname(TrelRequest* request) {
    return reinterpret_cast<const char*>(decodePtr(&request->decoder));
}

// The platform class label of an interface; null when it belongs to none.
const char* ifaceClassLabel(const char* ifname) {
    if (!ifname) return nullptr;
    if (yebIsExternalIface(ifname)) return "external";
    if (yebIsInternalIface(ifname)) return "internal";
    if (yebIsIntegrationIface(ifname)) return "integration";
    return nullptr;
}

// "address/prefix" as both replies write it.
void formatAddressPrefix(NMIPAddress* address, char (&text)[64]) {
    snprintf(text, sizeof text, "%s/%d", nm_ip_address_get_address(address),
             static_cast<int>(nm_ip_address_get_prefix(address)));
}

// The members every device description starts with: "name" through "nmdevicestate".
void encodeDeviceSummary(Encoder* enc, const char* name, NMDevice* device) {
    encodeJsonNameStrValue(enc, "name", name);
    encodeJsonNameStrValue(enc, "type", nm_device_get_type_description(device));
    if (const char* label = ifaceClassLabel(name)) encodeJsonNameStrValue(enc, "yebtype", label);
    encodeJsonNameIntValue(enc, "nmdevicestate", nm_device_get_state(device));
}

// Link facts the kernel gives only for a link with carrier, and not for every driver.
void encodeEthernet(Encoder* enc, const char* ifname, NMDeviceEthernet* ethernet) {
    encodeJsonName(enc, "ethernet");
    encodeJsonObjectStart(enc);
    bool carrier = nm_device_ethernet_get_carrier(ethernet);
    encodeJsonNameBoolValue(enc, "carrier", carrier);
    if (carrier) {
        char text[32];
        if (nmhelper_querySysFsNetProperty(ifname, "speed", text, sizeof text) == 0) {
            encodeJsonNameIntValue(enc, "speed", static_cast<int32_t>(strtol(text, nullptr, 10)));
        }
        if (nmhelper_querySysFsNetProperty(ifname, "duplex", text, sizeof text) == 0) {
            encodeJsonNameStrValue(enc, "duplex", text);
        }
    }
    encodeJsonObjectEnd(enc);
}

void encodeWifiLink(Encoder* enc, NMDeviceWifi* wifi) {
    encodeJsonName(enc, "wifi");
    NMAccessPoint* ap = nm_device_wifi_get_active_access_point(wifi);
    if (!ap) {
        encodeJsonStrValue(enc, nullptr);
        return;
    }
    encodeJsonObjectStart(enc);
    nmadapter_encodeAPDetails(enc, ap);  // a hidden network leaves the object empty
    encodeJsonObjectEnd(enc);
}

void encodeStringList(Encoder* enc, const char* const* texts) {
    encodeJsonListStart(enc);
    for (; texts && *texts; texts++) encodeJsonStrValue(enc, *texts);
    encodeJsonListEnd(enc);
}

// The live IP configuration of a device; null when there is none or it holds no address.
void encodeIpConfig(Encoder* enc, const char* name, NMIPConfig* config) {
    encodeJsonName(enc, name);
    GPtrArray* addresses = config ? nm_ip_config_get_addresses(config) : nullptr;
    if (!addresses || addresses->len == 0) {
        encodeJsonStrValue(enc, nullptr);
        return;
    }
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "gateway", nm_ip_config_get_gateway(config));
    encodeJsonName(enc, "addressprefixlist");
    encodeJsonListStart(enc);
    for (guint i = 0; i < addresses->len; i++) {
        char text[64];
        formatAddressPrefix(static_cast<NMIPAddress*>(addresses->pdata[i]), text);
        encodeJsonStrValue(enc, text);
    }
    encodeJsonListEnd(enc);
    encodeJsonName(enc, "dnslist");
    encodeStringList(enc, nm_ip_config_get_nameservers(config));
    encodeJsonObjectEnd(enc);
}

// "gateway", "dns" and "ignore-auto-dns" of a profile's IP setting, each only when present;
// "ignore-auto-dns" where the method brings name servers of its own, when it is set or name
// servers are given (request 3 then reads it back as it was).
void encodeGatewayAndDns(Encoder* enc, NMSettingIPConfig* setting, const IpMethod& method) {
    if (const char* gateway = nm_setting_ip_config_get_gateway(setting)) {
        encodeJsonNameStrValue(enc, "gateway", gateway);
    }
    guint count = nm_setting_ip_config_get_num_dns(setting);
    if (count > 0) {
        encodeJsonName(enc, "dns");
        encodeJsonListStart(enc);
        for (guint i = 0; i < count; i++)
            encodeJsonStrValue(enc, nm_setting_ip_config_get_dns(setting, i));
        encodeJsonListEnd(enc);
    }
    bool ignore = nm_setting_ip_config_get_ignore_auto_dns(setting);
    if ((method.members & IP_MEMBER_IGNORE_AUTO_DNS) && (ignore || count > 0)) {
        encodeJsonNameBoolValue(enc, "ignore-auto-dns", ignore);
    }
}

// The method of a stored setting, provided request 3 could write it back: a known method that
// carries only members it can. Null (after a log line) otherwise.
const IpMethod* writableMethod(int family, NMSettingIPConfig* setting) {
    const char* name = nm_setting_ip_config_get_method(setting);
    const IpMethod* method = nmIpMethod(family, name);
    unsigned members = (nm_setting_ip_config_get_num_addresses(setting) ? IP_MEMBER_ADDRESS : 0u) |
                       (nm_setting_ip_config_get_gateway(setting) ? IP_MEMBER_GATEWAY : 0u) |
                       (nm_setting_ip_config_get_num_dns(setting) ? IP_MEMBER_DNS : 0u);
    if (method == nullptr || (members & ~method->members) != 0) {
        yebLog("error: %s method %s, or its members, cannot be described\n",
               family == AF_INET ? "ip4" : "ip6", orNullText(name));
        return nullptr;
    }
    return method;
}

// "psk": the stored key, or null when NetworkManager stores none (an agent keeps it, or it is
// not saved); request 3 reads that null as "keep the key stored now".
NmTask encodePsk(Encoder* enc, NMRemoteConnection* remote) {
    char key[kStoredPskSize] = {};
    int status = co_await nmStoredPsk(remote, key, sizeof key);
    if (status == 0) encodeJsonNameStrValue(enc, "psk", key[0] != '\0' ? key : nullptr);
    explicit_bzero(key, sizeof key);
    co_return status;
}

// What a client that may not read secrets sees in place of a key.
constexpr const char* kMaskedSecret = "********";

// The profile is held by the caller across the wait for its secrets.
NmTask encodeWifiProfile(Encoder* enc, NMConnection* profile, NMRemoteConnection* remote,
                         bool withSecrets) {
    NMSettingWireless* wireless = nm_connection_get_setting_wireless(profile);
    if (!wireless) co_return 0;
    encodeJsonName(enc, "wifi");
    encodeJsonObjectStart(enc);
    // No mode stored is NetworkManager's default; ad-hoc and mesh have no word here.
    const char* mode = nm_setting_wireless_get_mode(wireless);
    if (mode == nullptr) mode = NM_SETTING_WIRELESS_MODE_INFRA;
    if (strcmp(mode, NM_SETTING_WIRELESS_MODE_INFRA) != 0 &&
        strcmp(mode, NM_SETTING_WIRELESS_MODE_AP) != 0) {
        yebLog("error: Wi-Fi mode %s cannot be described\n", mode);
        co_return kUnsupportedProfile;
    }
    encodeJsonNameStrValue(enc, "mode", mode);
    GBytes* ssid = nm_setting_wireless_get_ssid(wireless);
    gsize length = 0;
    const void* bytes = ssid ? g_bytes_get_data(ssid, &length) : nullptr;
    GCharPtr ssidText(g_base64_encode(static_cast<const guchar*>(bytes), length));
    encodeJsonNameStrValue(enc, "ssid", ssidText.get());
    if (nm_setting_wireless_get_hidden(wireless)) encodeJsonNameBoolValue(enc, "hidden", true);
    encodeJsonName(enc, "security");
    encodeJsonObjectStart(enc);
    NMSettingWirelessSecurity* security = nm_connection_get_setting_wireless_security(profile);
    const KeyManagement* keymgt = nmKeyManagementOf(security);
    if (!keymgt) {
        yebLog("error: key management %s cannot be described\n",
               orNullText(nm_setting_wireless_security_get_key_mgmt(security)));
        co_return kUnsupportedProfile;
    }
    encodeJsonNameStrValue(enc, "keymgt", keymgt->name);
    if (keymgt->keyMgmt != nullptr && !withSecrets) {
        encodeJsonNameStrValue(enc, "psk", kMaskedSecret);  // never fetched for it
    } else if (keymgt->keyMgmt != nullptr) {
        if (int status = co_await encodePsk(enc, remote); status < 0) co_return status;
    }
    encodeJsonObjectEnd(enc);
    encodeJsonObjectEnd(enc);
    co_return 0;
}

}  // namespace

NMRemoteConnection* findActiveProfile(const char* ifname) {
    NMDevice* device = nmhelper_find_device(ifname);
    NMActiveConnection* active = device ? nm_device_get_active_connection(device) : nullptr;
    if (!active) return nullptr;
    NMRemoteConnection* remote = nm_active_connection_get_connection(active);
    if (!remote) yebLog("ERROR: remconn is null on %s\n", ifname);
    return remote;
}

NmTask nmStoredPsk(NMRemoteConnection* remote, char* key, size_t size) {
    GVariantPtr secrets;
    int status = co_await nmhelper_remote_connection_get_secrets(
        remote, NM_SETTING_WIRELESS_SECURITY_SETTING_NAME, secrets);
    if (status < 0) {
        yebLog("error: could not read the stored secrets of %s, %d\n",
               nm_connection_get_id(NM_CONNECTION(remote)), status);
        co_return status;
    }
    GVariantPtr security(
        g_variant_lookup_value(secrets.get(), NM_SETTING_WIRELESS_SECURITY_SETTING_NAME, nullptr));
    gchar* raw = nullptr;
    if (security) g_variant_lookup(security.get(), "psk", "s", &raw);
    GCharPtr psk(raw);
    size_t length = psk ? strlen(psk.get()) : 0;
    // NetworkManager stores only keys that fit; a longer one could not be written back whole.
    if (length >= size) status = -EINVAL;
    if (status == 0 && length > 0) memcpy(key, psk.get(), length + 1);
    if (psk) explicit_bzero(psk.get(), length);  // no copy of the key outlives us
    co_return status;
}

int encodeIP4Details(Encoder* enc, NMSettingIPConfig* setting) {
    const IpMethod* method = writableMethod(AF_INET, setting);
    if (method == nullptr) return kUnsupportedProfile;
    encodeJsonName(enc, "ip4");
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "method", method->name);
    if (nm_setting_ip_config_get_num_addresses(setting) > 0) {
        NMIPAddress* first = nm_setting_ip_config_get_address(setting, 0);
        encodeJsonNameStrValue(enc, "address", nm_ip_address_get_address(first));
        encodeJsonNameIntValue(enc, "prefix", static_cast<int>(nm_ip_address_get_prefix(first)));
    }
    encodeGatewayAndDns(enc, setting, *method);
    encodeJsonObjectEnd(enc);
    return 0;
}

int encodeIP6Details(Encoder* enc, NMSettingIPConfig* setting) {
    const IpMethod* method = writableMethod(AF_INET6, setting);
    if (method == nullptr) return kUnsupportedProfile;
    encodeJsonName(enc, "ip6");
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "method", method->name);
    if (guint count = nm_setting_ip_config_get_num_addresses(setting); count > 0) {
        encodeJsonName(enc, "addresses");
        encodeJsonListStart(enc);
        for (guint i = 0; i < count; i++) {
            char formatted[64];
            formatAddressPrefix(nm_setting_ip_config_get_address(setting, i), formatted);
            encodeJsonStrValue(enc, formatted);
        }
        encodeJsonListEnd(enc);
    }
    encodeGatewayAndDns(enc, setting, *method);
    auto mode = nm_setting_ip6_config_get_addr_gen_mode(NM_SETTING_IP6_CONFIG(setting));
    if (const char* word = nmAddrGenModeWord(mode)) {
        encodeJsonNameStrValue(enc, "addr-gen-mode", word);
    }
    encodeJsonObjectEnd(enc);
    return 0;
}

NmTask nmadapter_GetNetworkInterfaces(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    Encoder* enc = &request->encoder;
    const GPtrArray* devices = nm_client_get_devices(nmClient);
    encodeJsonStart(enc);
    encodeJsonListStart(enc);
    for (guint i = 0; devices && i < devices->len; i++) {
        auto* device = NM_DEVICE(devices->pdata[i]);
        encodeJsonObjectStart(enc);
        encodeDeviceSummary(enc, nm_device_get_iface(device), device);
        encodeJsonObjectEnd(enc);
    }
    encodeJsonListEnd(enc);
    encodeJsonEnd(enc);
    co_return encoderSize(enc);
}

NmTask nmadapter_GetInterfaceDetails(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    const char* ifname = requestIfname(request);
    NMDevice* device = nmhelper_find_device(ifname);
    if (!device) co_return -ENOENT;
    Encoder* enc = &request->encoder;
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    encodeDeviceSummary(enc, ifname, device);
    encodeJsonNameStrValue(enc, "hwaddress", nm_device_get_hw_address(device));
    encodeJsonNameIntValue(enc, "mtu", static_cast<int32_t>(nm_device_get_mtu(device)));
    if (NM_IS_DEVICE_ETHERNET(device)) {
        encodeEthernet(enc, ifname, NM_DEVICE_ETHERNET(device));
    } else if (NM_IS_DEVICE_WIFI(device)) {
        encodeWifiLink(enc, NM_DEVICE_WIFI(device));
    }
    encodeJsonNameBoolValue(enc, "configured", nm_device_get_active_connection(device) != nullptr);
    encodeIpConfig(enc, "ip4settings", nm_device_get_ip4_config(device));
    encodeIpConfig(enc, "ip6settings", nm_device_get_ip6_config(device));
    encodeJsonObjectEnd(enc);
    encodeJsonEnd(enc);
    co_return encoderSize(enc);
}

NmTask nmadapter_GetConnection(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    const char* ifname = requestIfname(request);
    // Referenced: fetching the secrets waits, and the profile may go meanwhile.
    GObjectPtr<NMRemoteConnection> held = retainGObject(findActiveProfile(ifname));
    NMRemoteConnection* remote = held.get();
    if (!remote) co_return -ENOENT;
    NMConnection* profile = NM_CONNECTION(remote);
    NMSettingIPConfig* ip4 = nm_connection_get_setting_ip4_config(profile);
    NMSettingIPConfig* ip6 = nm_connection_get_setting_ip6_config(profile);
    if (!ip4 || !ip6) {
        // A port of a bridge or bond carries no IP setting of its own.
        yebLog("error: profile on %s has no %s setting\n", ifname, ip4 ? "ip6" : "ip4");
        co_return kUnsupportedProfile;
    }
    Encoder* enc = &request->encoder;
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "interface", ifname);
    int status = encodeIP4Details(enc, ip4);
    if (status == 0) status = encodeIP6Details(enc, ip6);
    if (status == 0) {
        status = co_await encodeWifiProfile(enc, profile, remote, trelRequestPrivileged(request));
    }
    if (status < 0) co_return status;  // the partial text is never sent
    encodeJsonObjectEnd(enc);
    encodeJsonEnd(enc);
    co_return encoderSize(enc);
}
