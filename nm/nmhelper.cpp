#include "nm/nmhelper.h"

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nm/glib_ptr.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

constexpr int kFailed = -EINVAL;
constexpr const char* kKernelLinkKey = "lk-kernel-link";

NmOp* opOf(gpointer userData) {
    return static_cast<NmOp*>(userData);
}

const char* messageOf(const GError* error) {
    return error && error->message ? error->message : "unknown error";
}

void unrefOp(NmOp* op) {
    if (--op->refs > 0) return;
    if (op->result != nullptr) g_variant_unref(static_cast<GVariant*>(op->result));
    g_object_unref(op->cancellable);
    delete op;
}

// The common tail of every completion callback: log the outcome (failFormat may be null when
// the callback logged it already), record it, and drop the callback's reference. A completion
// that comes after its wait gave up only releases what it got.
void settle(NmOp* op, bool ok, const GError* error, const char* failFormat, const char* okMessage) {
    if (op->refs == 1) {
        yebLog("late completion of %s discarded\n", op->name);
    } else if (!ok) {
        if (failFormat) yebLog(failFormat, messageOf(error));
        op->failed = true;
        op->timedOut = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                       g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
                       g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT);
    } else if (okMessage) {
        yebLog("%s", okMessage);
    }
    op->done = true;
    unrefOp(op);
}

void device_disconnect_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_device_disconnect_finish(NM_DEVICE(source), res, outPtr(error));
    settle(opOf(userData), ok, error.get(),
           "device_disconnect_callback: Failed to disconnect device: %s\n",
           "device_disconnect_callback: Device disconnected\n");
}

void deactivate_connection_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_deactivate_connection_finish(NM_CLIENT(source), res, outPtr(error));
    settle(opOf(userData), ok, error.get(),
           "deactivate_connection_callback: Failed to deactivate connection: %s\n",
           "deactivate_connection_callback: Connection deactivated successfully\n");
}

void activate_connection_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    // The new active connection is not needed: released when this scope ends.
    auto active =
        adoptGObject(nm_client_activate_connection_finish(NM_CLIENT(source), res, outPtr(error)));
    settle(opOf(userData), active != nullptr, error.get(),
           "activate_connection_callback: Failed to activate connection: %s\n",
           "activate_connection_callback: Connection activated successfully\n");
}

void wifi_scan_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_device_wifi_request_scan_finish(NM_DEVICE_WIFI(source), res, outPtr(error));
    settle(opOf(userData), ok, error.get(), "Error requesting wifi scan: %s\n", nullptr);
}

void dbus_set_property_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_dbus_set_property_finish(NM_CLIENT(source), res, outPtr(error));
    settle(opOf(userData), ok, error.get(), "Error nmhelper_dbus_set_property: %s\n", nullptr);
}

void nmremote_conn_get_secrets_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, outPtr(error)));
    GVariant* secrets = reply ? g_variant_get_child_value(reply.get(), 0) : nullptr;
    NmOp* op = opOf(userData);
    op->result = secrets;  // the waiter takes it, or the record releases it
    settle(op, secrets != nullptr, error.get(), "Error nmremote_conn_get_secrets_callback: %s\n",
           nullptr);
}

void reload_connections_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_reload_connections_finish(NM_CLIENT(source), res, outPtr(error));
    settle(opOf(userData), ok, error.get(), "failed to reload connections: %s\n",
           "NetworkManager: Connections reloaded.\n");
}

void add_connection_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    // Callers look the stored profile up again by uuid; this reference is not kept.
    auto remote = adoptGObject(
        nm_client_add_connection2_finish(NM_CLIENT(source), res, nullptr, outPtr(error)));
    settle(opOf(userData), remote != nullptr, error.get(), "Error adding connection: %s\n",
           "Connection added successfully.\n");
}

void delete_connection_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_remote_connection_delete_finish(NM_REMOTE_CONNECTION(source), res, outPtr(error));
    settle(opOf(userData), ok, error.get(), "could not remove connection: %s\n", nullptr);
}

// Wrapper-level failure line for the members that have one.
int reportFailure(int status, const char* message) {
    if (status < 0) yebLog("%s", message);
    return status;
}

gboolean wakeWaiter(gpointer) {
    return G_SOURCE_REMOVE;  // only ends the blocking iteration
}

bool clientAvailable(NMClient* before) {
    return nmClient != nullptr && nmClient == before && nm_client_get_nm_running(nmClient);
}

// A system bus connection of its own for one call, or null. GDBus keeps the last message a
// connection received in its receive buffer until a longer one overwrites it; a key in there
// would outlive the request. A connection closed after the call frees that buffer.
GDBusConnection* privateSystemBus() {
    GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr));
    auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    return address ? g_dbus_connection_new_for_address_sync(address.get(), flags, nullptr, nullptr,
                                                            nullptr)
                   : nullptr;
}

}  // namespace

void nmhelper_op_settle(NmOp* op, bool ok, const GError* error) {
    settle(op, ok, error, nullptr, nullptr);
}

void nmhelper_op_unref(NmOp* op) {
    unrefOp(op);
}

NmOp* nmhelper_op_new(const char* name) {
    if (nmClient == nullptr) {
        yebLog("%s: NetworkManager is gone\n", name);
        return nullptr;
    }
    return new NmOp{name, 2, false, false, false, g_cancellable_new(), nullptr};
}

int nmhelper_wait(NmOp* op, bool drain, int timeoutMs) {
    NMClient* client = nmClient;
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeoutMs) * 1000;
    while (!op->done) {
        gint64 left = deadline - g_get_monotonic_time();
        if (left <= 0) break;
        guint wake = g_timeout_add(static_cast<guint>(left / 1000 + 1), wakeWaiter, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        // The wake source may have fired and gone; removing it then would be an error.
        if (GSource* source = g_main_context_find_source_by_id(nullptr, wake)) {
            g_source_destroy(source);
        }
    }
    const char* name = op->name;
    int status = op->timedOut ? -ETIMEDOUT : op->failed ? kFailed : 0;
    if (!op->done) {
        yebLog("%s timed out after %d ms\n", name, timeoutMs);
        g_cancellable_cancel(op->cancellable);
        status = -ETIMEDOUT;
    } else if (drain) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    unrefOp(op);
    if (status != -ETIMEDOUT && !clientAvailable(client)) {
        yebLog("NetworkManager went away during %s\n", name);
        return NM_UNAVAILABLE;
    }
    return status;
}

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

int nmhelper_device_disconnect(NMDevice* device) {
    NmOp* op = nmhelper_op_new("device disconnect");
    if (!op) return NM_UNAVAILABLE;
    nm_device_disconnect_async(device, op->cancellable, device_disconnect_callback, op);
    return nmhelper_wait(op, true);
}

int nmhelper_deactivate_activeconnection(NMActiveConnection* active) {
    NmOp* op = nmhelper_op_new("connection deactivation");
    if (!op) return NM_UNAVAILABLE;
    nm_client_deactivate_connection_async(nmClient, active, op->cancellable,
                                          deactivate_connection_callback, op);
    return nmhelper_wait(op, true);
}

int nmhelper_activate_connection(const char* ifname, NMConnection* connection) {
    NMDevice* device = nmhelper_find_device(ifname);
    if (!device) return -ENOENT;
    NmOp* op = nmhelper_op_new("connection activation");
    if (!op) return NM_UNAVAILABLE;
    nm_client_activate_connection_async(nmClient, connection, device, nullptr, op->cancellable,
                                        activate_connection_callback, op);
    return nmhelper_wait(op, true);
}

int nmhelper_device_wifi_request_scan(NMDeviceWifi* device) {
    NmOp* op = nmhelper_op_new("Wi-Fi scan request");
    if (!op) return NM_UNAVAILABLE;
    nm_device_wifi_request_scan_async(device, op->cancellable, wifi_scan_callback, op);
    return reportFailure(nmhelper_wait(op, false),
                         "nmhelper_device_wifi_request_scan() returns error\n");
}

int nmhelper_dbus_set_property(NMClient* client, const char* objectPath, const char* interfaceName,
                               const char* propertyName, GVariant* value) {
    NmOp* op = nmhelper_op_new("D-Bus property change");
    if (!op) return NM_UNAVAILABLE;
    nm_client_dbus_set_property(client, objectPath, interfaceName, propertyName, value, -1,
                                op->cancellable, dbus_set_property_callback, op);
    return reportFailure(nmhelper_wait(op, false), "nmhelper_dbus_set_property() returns error\n");
}

int nmhelper_remote_connection_get_secrets(NMRemoteConnection* connection, const char* settingName,
                                           GVariant** secrets) {
    GObjectPtr<GDBusConnection> bus(privateSystemBus());
    if (!bus) return NM_UNAVAILABLE;
    NmOp* op = nmhelper_op_new("secrets request");
    if (!op) return NM_UNAVAILABLE;
    op->refs = 3;  // this wrapper keeps its own until it has taken the result
    g_dbus_connection_call(
        bus.get(), NM_DBUS_SERVICE, nm_connection_get_path(NM_CONNECTION(connection)),
        NM_DBUS_INTERFACE_SETTINGS_CONNECTION, "GetSecrets", g_variant_new("(s)", settingName),
        G_VARIANT_TYPE("(a{sa{sv}})"), G_DBUS_CALL_FLAGS_NONE, -1, op->cancellable,
        nmremote_conn_get_secrets_callback, op);
    int status = nmhelper_wait(op, false);
    g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    GVariantPtr result(status == 0 ? static_cast<GVariant*>(op->result) : nullptr);
    if (status == 0) op->result = nullptr;
    unrefOp(op);
    if (status == 0 && secrets) *secrets = result.release();
    return reportFailure(status, "nmhelper_remote_connection_get_secrets() returns error\n");
}

int nmhelper_reload_connections(NMClient* /*client*/) {
    NmOp* op = nmhelper_op_new("profile reload");
    if (!op) return NM_UNAVAILABLE;
    nm_client_reload_connections_async(nmClient, op->cancellable, reload_connections_callback, op);
    return reportFailure(nmhelper_wait(op, true), "nmhelper_reload_connections() returns error\n");
}

int nmhelper_add_connection(NMConnection* connection, bool inMemory) {
    NmOp* op = nmhelper_op_new("profile add");
    if (!op) return NM_UNAVAILABLE;
    // Saved to disk, so it autoconnects at the next boot, but not started on its own now: the
    // request activates it once, explicitly.
    auto flags = static_cast<NMSettingsAddConnection2Flags>(
        (inMemory ? NM_SETTINGS_ADD_CONNECTION2_FLAG_IN_MEMORY
                  : NM_SETTINGS_ADD_CONNECTION2_FLAG_TO_DISK) |
        NM_SETTINGS_ADD_CONNECTION2_FLAG_BLOCK_AUTOCONNECT);
    nm_client_add_connection2(nmClient,
                              nm_connection_to_dbus(connection, NM_CONNECTION_SERIALIZE_ALL), flags,
                              nullptr, TRUE, op->cancellable, add_connection_callback, op);
    return reportFailure(nmhelper_wait(op, false),
                         "nmhelper_create_new_connection: returning error\n");
}

int nmhelper_remove_connection(NMRemoteConnection* connection) {
    NmOp* op = nmhelper_op_new("profile delete");
    if (!op) return NM_UNAVAILABLE;
    nm_remote_connection_delete_async(connection, op->cancellable, delete_connection_callback, op);
    return nmhelper_wait(op, false);
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

int nmhelper_remove_connections(NMClient* client, NMDevice* device, const char* spareUuid) {
    // No explicit disconnect: deleting the active profile deactivates it, and NetworkManager
    // blocks autoconnect after a disconnect of ours.
    GCharPtr ifname(g_strdup(nm_device_get_iface(device)));
    GCharPtr hwaddress(g_strdup(nm_device_get_hw_address(device)));
    // The client's array changes as deletions reach its cache: walk a referenced copy.
    const GPtrArray* live = nm_client_get_connections(client);
    GPtrArrayPtr profiles(g_ptr_array_new_full(live->len, g_object_unref));
    for (guint i = 0; i < live->len; i++)
        g_ptr_array_add(profiles.get(), g_object_ref(live->pdata[i]));

    for (guint i = 0; i < profiles->len; i++) {
        auto* profile = NM_CONNECTION(profiles->pdata[i]);
        if (!boundToDevice(profile, ifname.get(), hwaddress.get())) continue;
        const char* uuid = nm_connection_get_uuid(profile);
        if (spareUuid && uuid && strcmp(uuid, spareUuid) == 0) continue;
        yebLog("nmhelper_remove_connections: remove %s\n", uuid ? uuid : "");
        if (int status = nmhelper_remove_connection(NM_REMOTE_CONNECTION(profile)); status < 0) {
            return status;
        }
    }
    return 0;
}

int nmhelper_querySysFsNetProperty(const char* ifname, const char* attribute, char* out, int size) {
    if (!ifname || !attribute || !out || size < 1) return kFailed;
    char path[256];
    int length = snprintf(path, sizeof path, "%s%s/%s", "/sys/class/net/", ifname, attribute);
    if (length < 0 || length > 255) return kFailed;
    // A plain read rather than stdio: the details request reads two attributes every time, and
    // an attribute file holds one short line.
    UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file) return kFailed;
    char line[256];
    ssize_t got;
    do {
        got = read(file.get(), line, sizeof line - 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return -EIO;  // empty, or the kernel refuses the value (no link, no driver)
    line[got] = '\0';
    if (char* newline = strchr(line, '\n')) newline[1] = '\0';  // the first line only
    strncpy(out, line, size - 1);
    out[size - 1] = '\0';
    size_t copied = strlen(out);
    if (copied > 0 && out[copied - 1] == '\n') out[copied - 1] = '\0';
    return 0;
}
