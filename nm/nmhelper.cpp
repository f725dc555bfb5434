#include "nm/nmhelper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nm/glib_ptr.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

constexpr int kFailed = -EINVAL;

NmOpCompletion* completionOf(gpointer userData) {
    return static_cast<NmOpCompletion*>(userData);
}

const char* messageOf(const GError* error) {
    return error && error->message ? error->message : "unknown error";
}

// The common tail of every completion callback: log the outcome (failFormat may be null when
// the callback logged it already), record it, and set done last: it ends the waiter's loop.
void settle(NmOpCompletion* op, bool ok, const GError* error, const char* failFormat,
            const char* okMessage) {
    if (!ok) {
        if (failFormat) yebLog(failFormat, messageOf(error));
        op->failed = 1;
    } else if (okMessage) {
        yebLog("%s", okMessage);
    }
    op->done = 1;
}

void device_disconnect_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_device_disconnect_finish(NM_DEVICE(source), res, outPtr(error));
    if (!ok) {
        printf("failed to disconnect %s\n", messageOf(error.get()));
        fflush(stdout);
    }
    settle(completionOf(userData), ok, error.get(),
           "device_disconnect_callback: Failed to disconnect device: %s\n",
           "device_disconnect_callback: Device disconnected\n");
}

void deactivate_connection_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_deactivate_connection_finish(NM_CLIENT(source), res, outPtr(error));
    settle(completionOf(userData), ok, error.get(),
           "deactivate_connection_callback: Failed to deactivate connection: %s\n",
           "deactivate_connection_callback: Connection deactivated successfully\n");
}

void activate_connection_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    // The new active connection is not needed: released when this scope ends.
    auto active =
        adoptGObject(nm_client_activate_connection_finish(NM_CLIENT(source), res, outPtr(error)));
    settle(completionOf(userData), active != nullptr, error.get(),
           "activate_connection_callback: Failed to activate connection: %s\n",
           "activate_connection_callback: Connection activated successfully\n");
}

void wifi_scan_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_device_wifi_request_scan_finish(NM_DEVICE_WIFI(source), res, outPtr(error));
    settle(completionOf(userData), ok, error.get(), "Error requesting wifi scan: %s\n", nullptr);
}

void dbus_set_property_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_dbus_set_property_finish(NM_CLIENT(source), res, outPtr(error));
    settle(completionOf(userData), ok, error.get(), "Error nmhelper_dbus_set_property: %s\n",
           nullptr);
}

void nmremote_conn_get_secrets_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    GVariant* secrets =
        nm_remote_connection_get_secrets_finish(NM_REMOTE_CONNECTION(source), res, outPtr(error));
    NmOpCompletion* op = completionOf(userData);
    op->result = secrets;  // handed to the waiter, which owns it from here
    settle(op, secrets != nullptr, error.get(), "Error nmremote_conn_get_secrets_callback: %s\n",
           nullptr);
}

void reload_connections_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_reload_connections_finish(NM_CLIENT(source), res, outPtr(error));
    settle(completionOf(userData), ok, error.get(), "failed to reload connections: %s\n",
           "NetworkManager: Connections reloaded.\n");
}

void add_connection_callback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    // Callers look the stored profile up again by uuid; this reference is not kept.
    auto remote =
        adoptGObject(nm_client_add_connection_finish(NM_CLIENT(source), res, outPtr(error)));
    if (!remote) {
        yebLog("Error adding connection: %s\n", messageOf(error.get()));
        printf("error adding connection %s\n", messageOf(error.get()));
        fflush(stdout);
    }
    settle(completionOf(userData), remote != nullptr, error.get(), nullptr,
           "Connection added successfully.\n");
}

// Wrapper-level failure line for the members that have one.
int reportFailure(int status, const char* message) {
    if (status < 0) yebLog("%s", message);
    return status;
}

}  // namespace

int nmhelper_wait(NmOpCompletion* op, bool drain) {
    while (!op->done) g_main_context_iteration(nullptr, TRUE);
    if (drain) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    return op->failed ? kFailed : 0;
}

NMDevice* nmhelper_find_device(const char* ifname) {
    if (!ifname) return nullptr;
    return nm_client_get_device_by_iface(nmClient, ifname);
}

int nmhelper_device_disconnect(NMDevice* device) {
    NmOpCompletion op{};
    nm_device_disconnect_async(device, nullptr, device_disconnect_callback, &op);
    return nmhelper_wait(&op, true);
}

int nmhelper_deactivate_activeconnection(NMActiveConnection* active) {
    NmOpCompletion op{};
    nm_client_deactivate_connection_async(nmClient, active, nullptr, deactivate_connection_callback,
                                          &op);
    return nmhelper_wait(&op, true);
}

int nmhelper_activate_connection(const char* ifname, NMConnection* connection) {
    NMDevice* device = nmhelper_find_device(ifname);
    if (!device) return -ENOENT;
    NmOpCompletion op{};
    nm_client_activate_connection_async(nmClient, connection, device, nullptr, nullptr,
                                        activate_connection_callback, &op);
    return nmhelper_wait(&op, true);
}

int nmhelper_device_wifi_request_scan(NMDeviceWifi* device) {
    NmOpCompletion op{};
    nm_device_wifi_request_scan_async(device, nullptr, wifi_scan_callback, &op);
    return reportFailure(nmhelper_wait(&op, false),
                         "nmhelper_device_wifi_request_scan() returns error\n");
}

int nmhelper_dbus_set_property(NMClient* client, const char* objectPath, const char* interfaceName,
                               const char* propertyName, GVariant* value) {
    NmOpCompletion op{};
    nm_client_dbus_set_property(client, objectPath, interfaceName, propertyName, value, -1, nullptr,
                                dbus_set_property_callback, &op);
    return reportFailure(nmhelper_wait(&op, false), "nmhelper_dbus_set_property() returns error\n");
}

int nmhelper_remote_connection_get_secrets(NMRemoteConnection* connection, const char* settingName,
                                           GVariant** secrets) {
    NmOpCompletion op{};
    nm_remote_connection_get_secrets_async(connection, settingName, nullptr,
                                           nmremote_conn_get_secrets_callback, &op);
    int status = nmhelper_wait(&op, false);
    GVariantPtr result(static_cast<GVariant*>(op.result));
    if (status == 0 && secrets) *secrets = result.release();
    return reportFailure(status, "nmhelper_remote_connection_get_secrets() returns error\n");
}

int nmhelper_reload_connections(NMClient* /*client*/) {
    NmOpCompletion op{};
    nm_client_reload_connections_async(nmClient, nullptr, reload_connections_callback, &op);
    return reportFailure(nmhelper_wait(&op, true), "nmhelper_reload_connections() returns error\n");
}

int nmhelper_add_connection(NMConnection* connection) {
    NmOpCompletion op{};
    nm_client_add_connection_async(nmClient, connection, TRUE, nullptr, add_connection_callback,
                                   &op);
    return reportFailure(nmhelper_wait(&op, false),
                         "nmhelper_create_new_connection: returning error\n");
}

int nmhelper_remove_connection(NMRemoteConnection* connection) {
    // The blocking delete is meant: this runs on the worker thread, which may block.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    gboolean ok = nm_remote_connection_delete(connection, nullptr, nullptr);
#pragma GCC diagnostic pop
    return ok ? 0 : kFailed;
}

int nmhelper_remove_connections(NMClient* client, NMDevice* device, const char* spareUuid) {
    if (nm_device_get_state(device) == NM_DEVICE_STATE_ACTIVATED) {
        yebLog("nmhelper_remove_connections: disconnecting device\n");
        int status = nmhelper_device_disconnect(device);
        if (status < 0) {
            puts("check activated err");
            fflush(stdout);
            return status;
        }
    }
    const char* ifname = nm_device_get_iface(device);
    // The client's array changes as deletions reach its cache: walk a referenced copy.
    const GPtrArray* live = nm_client_get_connections(client);
    GPtrArrayPtr profiles(g_ptr_array_new_full(live->len, g_object_unref));
    for (guint i = 0; i < live->len; i++)
        g_ptr_array_add(profiles.get(), g_object_ref(live->pdata[i]));

    for (guint i = 0; i < profiles->len; i++) {
        auto* profile = NM_CONNECTION(profiles->pdata[i]);
        const char* boundTo = nm_connection_get_interface_name(profile);
        if (!boundTo || !ifname || strcmp(boundTo, ifname) != 0) continue;
        const char* uuid = nm_connection_get_uuid(profile);
        if (spareUuid && uuid && strcmp(uuid, spareUuid) == 0) continue;
        yebLog("nmhelper_remove_connections: remove %s\n", uuid ? uuid : "");
        if (nmhelper_remove_connection(NM_REMOTE_CONNECTION(profile)) < 0) {
            yebLog("could not remove connection\n");
            return kFailed;
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
