#include "nm/nm_device.h"

#include <net/if.h>

#include <cstring>

#include "nm/glib_ptr.h"
#include "nm/nm_operation.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

constexpr const char* kKernelLinkKey = "lk-kernel-link";

}  // namespace

NMDevice* nmhelper_find_device(const char* ifname) {
    if (!ifname || !nmClient) return nullptr;
    return nm_client_get_device_by_iface(nmClient, ifname);
}

NMDevice* nmhelper_ref_device(const char* ifname) {
    NMDevice* device = nmhelper_find_device(ifname);
    if (device == nullptr) return nullptr;
    // Whether the kernel has a link of that name: then its going counts too (below).
    g_object_set_data(G_OBJECT(device), kKernelLinkKey,
                      GINT_TO_POINTER(if_nametoindex(ifname) != 0 ? 1 : 0));
    return NM_DEVICE(g_object_ref(device));
}

bool nmhelper_device_present(NMDevice* device) {
    const char* ifname = nm_device_get_iface(device);
    if (ifname == nullptr || nmhelper_find_device(ifname) != device) return false;
    // The kernel knows first: a failure NetworkManager reports because the link went can arrive
    // before libnm's cache has heard of the removal.
    bool kernelLink = g_object_get_data(G_OBJECT(device), kKernelLinkKey) != nullptr;
    return !kernelLink || if_nametoindex(ifname) != 0;
}

// Whether the profile applies to the device: bound to its interface name, or (without a name)
// to its hardware address. Profiles bound to nothing are left to whoever made them.
bool boundToDevice(NMConnection* profile, const char* ifname, const char* hwaddress) {
    const char* boundTo = nm_connection_get_interface_name(profile);
    if (boundTo != nullptr) return ifname != nullptr && strcmp(boundTo, ifname) == 0;
    const char* mac = nullptr;
    if (NMSettingWired* wired = nm_connection_get_setting_wired(profile)) {
        mac = nm_setting_wired_get_mac_address(wired);
    } else if (NMSettingWireless* wireless = nm_connection_get_setting_wireless(profile)) {
        mac = nm_setting_wireless_get_mac_address(wireless);
    }
    return mac != nullptr && hwaddress != nullptr &&
           nm_utils_hwaddr_matches(mac, -1, hwaddress, -1);
}

NmTask nmhelper_remove_connections(NMDevice* device, const char* spareUuid) {
    // No explicit disconnect: deleting the active profile deactivates it, and NetworkManager
    // blocks autoconnect after a disconnect of ours.
    GCharPtr ifname(g_strdup(nm_device_get_iface(device)));
    GCharPtr hwaddress(g_strdup(nm_device_get_hw_address(device)));
    // The client's array changes as deletions reach its cache: walk a referenced copy.
    const GPtrArray* live = nm_client_get_connections(nmClient);
    GPtrArrayPtr profiles(g_ptr_array_new_full(live->len, g_object_unref));
    for (guint i = 0; i < live->len; i++)
        g_ptr_array_add(profiles.get(), g_object_ref(live->pdata[i]));

    for (guint i = 0; i < profiles->len; i++) {
        auto* profile = NM_CONNECTION(profiles->pdata[i]);
        if (!boundToDevice(profile, ifname.get(), hwaddress.get())) continue;
        const char* uuid = nm_connection_get_uuid(profile);
        if (spareUuid && uuid && strcmp(uuid, spareUuid) == 0) continue;
        yebLog("nmhelper_remove_connections: remove %s\n", uuid ? uuid : "");
        int status = co_await nmhelper_remove_connection(NM_REMOTE_CONNECTION(profile));
        if (status < 0) co_return status;
        if (nmClient == nullptr) co_return NM_UNAVAILABLE;
    }
    co_return 0;
}

std::string nmDeviceActiveUuid(NMDevice* device) {
    NMActiveConnection* active = device ? nm_device_get_active_connection(device) : nullptr;
    const char* uuid = active ? nm_active_connection_get_uuid(active) : nullptr;
    return uuid ? uuid : "";
}
