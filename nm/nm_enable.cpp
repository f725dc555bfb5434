#include "nm/nm_enable.h"

#include <NetworkManager.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <cstdio>
#include <cstring>
#include <memory>

#include "nm/glib_ptr.h"
#include "nm/nm_checkpoint.h"
#include "nm/nm_device.h"
#include "nm/nm_operation.h"
#include "nm/nm_park.h"
#include "nm/nm_pending.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

constexpr const char* kProfileDirectory = "/etc/NetworkManager/system-connections";
constexpr const char* kSparedProfiles[] = {"wg-internal.nmconnection", nullptr};
constexpr size_t kEntryPathSize = 512;

bool isSpared(const char* name, const char* const* spare) {
    for (; spare && *spare; ++spare) {
        if (strcmp(name, *spare) == 0) return true;
    }
    return false;
}

bool isDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

void removeEntry(const char* directory, const char* name) {
    char path[kEntryPathSize];
    int length = snprintf(path, sizeof path, "%s/%s", directory, name);
    struct stat status;
    // A cut path could name another file: such an entry is reported and left alone.
    if (length < 0 || static_cast<size_t>(length) >= sizeof path || lstat(path, &status) != 0) {
        yebLog("Error getting file status %s\n", path);
        return;
    }
    if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) return;
    if (unlink(path) != 0) {
        yebLog("error removing %s\n", path);
    } else {
        yebLog("remove file: %s\n", path);
    }
}

bool isWiredOrWifi(NMDevice* device) {
    const char* type = nm_device_get_type_description(device);
    return type && (strcmp(type, "ethernet") == 0 || strcmp(type, "wifi") == 0);
}

// The one profile to start: the only one there is, or among several the only one bound to the
// interface by name (request 3 makes those; profiles bound to nothing are somebody else's).
NMConnection* pickProfile(const GPtrArray* available, const char* ifname) {
    if (available == nullptr || available->len == 0) return nullptr;
    if (available->len == 1) return NM_CONNECTION(available->pdata[0]);
    NMConnection* named = nullptr;
    for (guint i = 0; i < available->len; ++i) {
        auto* profile = NM_CONNECTION(available->pdata[i]);
        const char* boundTo = nm_connection_get_interface_name(profile);
        if (boundTo == nullptr || strcmp(boundTo, ifname) != 0) continue;
        if (named != nullptr) return nullptr;  // several: which one is not ours to guess
        named = profile;
    }
    return named;
}

// Profiles somebody stored in memory only: a reset removes them too. NetworkManager's own (the
// ones it generates for devices it does not manage, loopback among them) stay.
bool unsavedByAClient(NMRemoteConnection* profile) {
    auto own = NM_SETTINGS_CONNECTION_FLAG_NM_GENERATED | NM_SETTINGS_CONNECTION_FLAG_EXTERNAL;
    return nm_remote_connection_get_unsaved(profile) &&
           (nm_remote_connection_get_flags(profile) & own) == 0;
}

NmTask deleteUnsavedProfiles() {
    const GPtrArray* live = nm_client_get_connections(nmClient);
    GPtrArrayPtr profiles(g_ptr_array_new_full(live->len, g_object_unref));
    for (guint i = 0; i < live->len; i++) {
        if (unsavedByAClient(NM_REMOTE_CONNECTION(live->pdata[i]))) {
            g_ptr_array_add(profiles.get(), g_object_ref(live->pdata[i]));
        }
    }
    for (guint i = 0; i < profiles->len; i++) {
        auto* profile = NM_REMOTE_CONNECTION(profiles->pdata[i]);
        yebLog("reset: deleting unsaved profile %s\n",
               nm_connection_get_id(NM_CONNECTION(profile)));
        if (int status = co_await nmhelper_remove_connection(profile); status < 0) co_return status;
        if (nmClient == nullptr) co_return NM_UNAVAILABLE;
    }
    co_return 0;
}

// Activating or activated. A connection on its way down still shows as the device's active one
// for a moment after a disable: an enable right behind it must start a new activation.
bool isUp(NMDevice* device) {
    NMActiveConnection* active = nm_device_get_active_connection(device);
    if (active == nullptr) return false;
    NMActiveConnectionState state = nm_active_connection_get_state(active);
    return state == NM_ACTIVE_CONNECTION_STATE_ACTIVATING ||
           state == NM_ACTIVE_CONNECTION_STATE_ACTIVATED;
}

NmTask enable(NMDevice* device, const char* ifname) {
    if (isUp(device)) {
        yebLog("nmadapter_setEnable: already enabled for %s\n", ifname);
        co_return 0;
    }
    const GPtrArray* available = nm_device_get_available_connections(device);
    GObjectPtr<NMConnection> chosen = retainGObject(pickProfile(available, ifname));
    if (chosen == nullptr) co_return available && available->len > 0 ? -ERANGE : -ENOENT;
    co_return co_await nmhelper_activate_connection(ifname, chosen.get());
}

NmTask disable(NMDevice* device, const char* ifname) {
    if (isUp(device)) co_return co_await nmhelper_device_disconnect(device);
    yebLog("nmadapter_setEnable: already disabled for %s\n", ifname);
    co_return 0;
}

}  // namespace

NmTask nmadapter_setEnable(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    // A flag byte and at least the name's NUL; the dispatch loop's NUL ends the name.
    if (request->length < 2) co_return -ENOENT;
    bool on = decodeBool(&request->decoder) != 0;
    const char* ifname = reinterpret_cast<const char*>(decodePtr(&request->decoder));
    NmTurn turn(ifname);
    co_await turn;
    // Referenced across the wait: the adapter may be unplugged meanwhile.
    GObjectPtr<NMDevice> device(nmhelper_ref_device(ifname));
    if (!device) co_return -ENOENT;
    if (int busy = nmPendingRefuse(ifname, "request 8"); busy < 0) co_return busy;
    if (int status = co_await nmCheckpointSweep(ifname); status < 0) co_return status;
    if (!isWiredOrWifi(device.get())) co_return 0;
    int status = 0;
    if (on) {
        status = co_await enable(device.get(), ifname);
    } else {
        status = co_await disable(device.get(), ifname);
    }
    // NetworkManager refuses operations on a device it no longer has: the device is the answer.
    bool gone = status < 0 && status != NM_UNAVAILABLE && status != -ETIMEDOUT &&
                !nmhelper_device_present(device.get());
    co_return gone ? -ENOENT : status;
}

NmTask nmadapter_ResetDefaults(TrelRequest*) {
    NM_ASSERT_ON_WORKER();
    NmTurn turn("");  // every interface's: the changes before it end first
    co_await turn;
    if (int busy = nmPendingRefuse(nullptr, "request 14"); busy < 0) co_return busy;
    if (int status = co_await nmCheckpointSweep(""); status < 0) co_return status;
    remove_files_and_symlinks_in_directory(kProfileDirectory, kSparedProfiles);
    int status = co_await nmhelper_reload_connections();
    if (status == 0) status = co_await deleteUnsavedProfiles();
    if (status < 0) co_return status;
    // The defaults include a radio that is on.
    co_return co_await nmhelper_dbus_set_property("/org/freedesktop/NetworkManager",
                                                  "org.freedesktop.NetworkManager",
                                                  "WirelessEnabled", g_variant_new_boolean(TRUE));
}

int remove_files_and_symlinks_in_directory(const char* directory, const char* const* spare) {
    DirPtr dir(opendir(directory));
    if (!dir) {
        perror("Error opening directory");
        return -1;
    }
    while (const dirent* entry = readdir(dir.get())) {
        if (isDotEntry(entry->d_name)) continue;
        if (isSpared(entry->d_name, spare)) {
            yebLog("Skipped excluded file: %s\n", entry->d_name);
            continue;
        }
        removeEntry(directory, entry->d_name);
    }
    return 0;
}
