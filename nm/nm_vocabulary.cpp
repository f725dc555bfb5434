#include "nm/nm_vocabulary.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "nm/glib_ptr.h"

namespace {

constexpr unsigned kAutomaticMembers =
    IP_MEMBER_ADDRESS | IP_MEMBER_GATEWAY | IP_MEMBER_DNS | IP_MEMBER_IGNORE_AUTO_DNS;
constexpr unsigned kStaticMembers = IP_MEMBER_ADDRESS | IP_MEMBER_GATEWAY | IP_MEMBER_DNS;

// A gateway on a shared (downstream) port would send the device's own traffic out of it; a
// method that configures no address has no use for name servers.
constexpr IpMethod kIp4Methods[] = {
    {"auto", kAutomaticMembers, false},  // DHCP plus the given address, as nmcli stores it
    {"manual", kStaticMembers, true},    {"link-local", 0, false},
    {"shared", IP_MEMBER_ADDRESS, true}, {"disabled", 0, false},
};

constexpr IpMethod kIp6Methods[] = {
    {"ignore", 0, false},
    {"auto", IP_MEMBER_DNS | IP_MEMBER_IGNORE_AUTO_DNS, false},
    {"dhcp", IP_MEMBER_DNS | IP_MEMBER_IGNORE_AUTO_DNS, false},
    {"link-local", 0, false},
    {"manual", kStaticMembers, true},
    {"shared", 0, false},
    {"disabled", 0, false},
};

// The first entry that fits a stored setting wins: "wpa2" (RSN only) before "wpa" (any).
constexpr KeyManagement kKeyManagements[] = {
    {"open", nullptr, nullptr},
    {"wpa2", "wpa-psk", "rsn"},
    {"wpa", "wpa-psk", nullptr},
    {"sae", "sae", nullptr},
};

struct AddrGenMode {
    const char* name;
    NMSettingIP6ConfigAddrGenMode mode;
};

constexpr AddrGenMode kAddrGenModes[] = {
    {"eui64", NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_EUI64},
    {"stable-privacy", NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_STABLE_PRIVACY},
    {"default-or-eui64", NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_DEFAULT_OR_EUI64},
    {"default", NM_SETTING_IP6_CONFIG_ADDR_GEN_MODE_DEFAULT},
};

template <typename Entry, size_t N>
const Entry* named(const Entry (&table)[N], const char* name) {
    for (const Entry& entry : table) {
        if (name != nullptr && strcmp(entry.name, name) == 0) return &entry;
    }
    return nullptr;
}

bool same(const char* a, const char* b) {
    return a == b || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

// True when the setting restricts itself to exactly the one protocol.
bool onlyProto(NMSettingWirelessSecurity* security, const char* proto) {
    return nm_setting_wireless_security_get_num_protos(security) == 1 &&
           strcmp(nm_setting_wireless_security_get_proto(security, 0), proto) == 0;
}

NMSettingIP6ConfigAddrGenMode newSettingMode() {
    GObjectPtr<NMSetting> fresh(nm_setting_ip6_config_new());
    return nm_setting_ip6_config_get_addr_gen_mode(NM_SETTING_IP6_CONFIG(fresh.get()));
}

}  // namespace

const IpMethod* nmIpMethod(int family, const char* name) {
    return family == AF_INET ? named(kIp4Methods, name) : named(kIp6Methods, name);
}

const KeyManagement* nmKeyManagementNamed(const char* name) {
    return named(kKeyManagements, name);
}

const KeyManagement* nmKeyManagementOf(NMSettingWirelessSecurity* security) {
    const char* keyMgmt = security ? nm_setting_wireless_security_get_key_mgmt(security) : nullptr;
    for (const KeyManagement& entry : kKeyManagements) {
        if (same(entry.keyMgmt, keyMgmt) && (!entry.proto || onlyProto(security, entry.proto))) {
            return &entry;
        }
    }
    return nullptr;
}

int nmAddrGenModeNamed(const char* name, NMSettingIP6ConfigAddrGenMode* mode) {
    const AddrGenMode* entry = named(kAddrGenModes, name);
    if (entry == nullptr) return -EINVAL;
    *mode = entry->mode;
    return 0;
}

const char* nmAddrGenModeWord(NMSettingIP6ConfigAddrGenMode mode) {
    static const NMSettingIP6ConfigAddrGenMode unset = newSettingMode();
    if (mode == unset) return nullptr;
    for (const AddrGenMode& entry : kAddrGenModes) {
        if (entry.mode == mode) return entry.name;
    }
    return nullptr;
}
