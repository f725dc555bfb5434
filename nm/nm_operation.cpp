#include "nm/nm_operation.h"

#include <cerrno>

#include "nm/nm_device.h"
#include "nm/nm_park.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

struct ErrorRow {
    const char* domain;  // by name: libnm's headers declare its quark functions for C only
    int code;            // -1: every code of the domain
    int status;
};

constexpr const char* kManager = "nm-manager-error-quark";
constexpr const char* kSettings = "nm-settings-error-quark";
constexpr const char* kDevice = "nm-device-error-quark";
constexpr const char* kConnection = "nm-connection-error-quark";
constexpr const char* kDbus = "g-dbus-error-quark";
constexpr const char* kIo = "g-io-error-quark";

// One row per error a client can tell apart; the rest answers -EINVAL.
const ErrorRow kErrorTable[] = {
    {kManager, NM_MANAGER_ERROR_PERMISSION_DENIED, -EACCES},
    {kSettings, NM_SETTINGS_ERROR_PERMISSION_DENIED, -EACCES},
    {kDbus, G_DBUS_ERROR_ACCESS_DENIED, -EACCES},
    {kIo, G_IO_ERROR_PERMISSION_DENIED, -EACCES},
    {kManager, NM_MANAGER_ERROR_UNKNOWN_DEVICE, -ENOENT},
    {kDevice, NM_DEVICE_ERROR_SPECIFIC_OBJECT_NOT_FOUND, -ENOENT},
    {kDbus, G_DBUS_ERROR_UNKNOWN_OBJECT, -ENOENT},
    {kIo, G_IO_ERROR_NOT_FOUND, -ENOENT},
    {kManager, NM_MANAGER_ERROR_INVALID_ARGUMENTS, -EINVAL},
    {kSettings, NM_SETTINGS_ERROR_INVALID_CONNECTION, -EINVAL},
    {kSettings, NM_SETTINGS_ERROR_INVALID_ARGUMENTS, -EINVAL},
    {kDevice, NM_DEVICE_ERROR_INVALID_CONNECTION, -EINVAL},
    {kDevice, NM_DEVICE_ERROR_INVALID_ARGUMENT, -EINVAL},
    {kConnection, -1, -EINVAL},
    {kDbus, G_DBUS_ERROR_INVALID_ARGS, -EINVAL},
    {kManager, NM_MANAGER_ERROR_CONNECTION_NOT_AVAILABLE, -ENODEV},
    // What NetworkManager answers when a profile is not available on the device it is to run
    // on; a profile that is gone answers as an unknown object.
    {kManager, NM_MANAGER_ERROR_UNKNOWN_CONNECTION, -ENODEV},
    {kDevice, NM_DEVICE_ERROR_INCOMPATIBLE_CONNECTION, -ENODEV},
    {kDevice, NM_DEVICE_ERROR_NOT_ALLOWED, -ENODEV},
    {kIo, G_IO_ERROR_TIMED_OUT, -ETIMEDOUT},
    {kDbus, G_DBUS_ERROR_NO_REPLY, -ETIMEDOUT},
    {kDbus, G_DBUS_ERROR_TIMEOUT, -ETIMEDOUT},
};

const char* messageOf(const GError* error) {
    return error && error->message ? error->message : "unknown error";
}

// Wrapper-level failure line for the members that have one.
int reportFailure(int status, const char* message) {
    if (status < 0) yebLog("%s", message);
    return status;
}

bool clientAvailable(NMClient* before) {
    return nmClient != nullptr && nmClient == before && nm_client_get_nm_running(nmClient);
}

void onDisconnected(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    bool ok = nm_device_disconnect_finish(NM_DEVICE(source), res, outPtr(error));
    if (ok) yebLog("device_disconnect_callback: Device disconnected\n");
    NmCallRecord::settle(data, ok, error.get(),
                         "device_disconnect_callback: Failed to disconnect device: %s\n");
}

void onActivated(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    // The new active connection is not needed: released when this scope ends.
    auto active =
        adoptGObject(nm_client_activate_connection_finish(NM_CLIENT(source), res, outPtr(error)));
    if (active) yebLog("activate_connection_callback: Connection activated successfully\n");
    NmCallRecord::settle(data, active != nullptr, error.get(),
                         "activate_connection_callback: Failed to activate connection: %s\n");
}

void onScanRequested(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    bool ok = nm_device_wifi_request_scan_finish(NM_DEVICE_WIFI(source), res, outPtr(error));
    NmCallRecord::settle(data, ok, error.get(), "Error requesting wifi scan: %s\n");
}

void onPropertySet(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    bool ok = nm_client_dbus_set_property_finish(NM_CLIENT(source), res, outPtr(error));
    NmCallRecord::settle(data, ok, error.get(), "Error nmhelper_dbus_set_property: %s\n");
}

void onSecrets(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, outPtr(error)));
    GVariantPtr secrets(reply ? g_variant_get_child_value(reply.get(), 0) : nullptr);
    bool ok = secrets != nullptr;
    NmCallRecord::of(data).variant = std::move(secrets);  // the request takes it, or the record
    NmCallRecord::settle(data, ok, error.get(), "Error nmremote_conn_get_secrets_callback: %s\n");
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

void onReloaded(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    bool ok = nm_client_reload_connections_finish(NM_CLIENT(source), res, outPtr(error));
    if (ok) yebLog("NetworkManager: Connections reloaded.\n");
    NmCallRecord::settle(data, ok, error.get(), "failed to reload connections: %s\n");
}

void onAdded(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    // Callers look the stored profile up again by uuid; this reference is not kept.
    auto remote = adoptGObject(
        nm_client_add_connection2_finish(NM_CLIENT(source), res, nullptr, outPtr(error)));
    if (remote) yebLog("Connection added successfully.\n");
    NmCallRecord::settle(data, remote != nullptr, error.get(), "Error adding connection: %s\n");
}

void onDeleted(GObject* source, GAsyncResult* res, gpointer data) {
    GErrorPtr error;
    bool ok = nm_remote_connection_delete_finish(NM_REMOTE_CONNECTION(source), res, outPtr(error));
    NmCallRecord::settle(data, ok, error.get(), "could not remove connection: %s\n");
}

}  // namespace

int nmErrnoOfError(const GError* error) {
    if (error == nullptr) return -EINVAL;
    for (const ErrorRow& row : kErrorTable) {
        if (error->domain == g_quark_from_static_string(row.domain) &&
            (row.code < 0 || error->code == row.code)) {
            return row.status;
        }
    }
    return -EINVAL;
}

NmCallRecord::NmCallRecord(const char* operation)
    : name(operation), cancellable(g_cancellable_new()) {}

void NmCallRecord::unref() {
    if (--refs_ == 0) delete this;
}

void NmCallRecord::settle(gpointer data, bool ok, const GError* error, const char* failFormat) {
    NmCallRecord& record = of(data);
    if (record.abandoned()) {
        yebLog("late completion of %s discarded\n", record.name);
    } else {
        if (!ok && failFormat) yebLog(failFormat, messageOf(error));
        record.status = ok ? 0 : nmErrnoOfError(error);
        record.done = true;
        if (record.waiter != nullptr) record.waiter->wake(0);
    }
    record.unref();
}

NmCall::NmCall(const char* name) {
    if (nmClient == nullptr) {
        yebLog("%s: NetworkManager is gone\n", name);
        return;
    }
    record_ = new NmCallRecord(name);
}

NmCall::~NmCall() {
    if (record_ == nullptr) return;
    if (!record_->done) g_cancellable_cancel(record_->cancellable.get());
    record_->unref();
}

NmTask NmCall::finished(int timeoutMs) {
    NMClient* client = nmClient;
    if (!record_->done) {
        NmPark park(timeoutMs);
        record_->waiter = &park;
        int woke = co_await park;
        record_->waiter = nullptr;
        if (!record_->done) {
            g_cancellable_cancel(record_->cancellable.get());
            if (woke == -ETIMEDOUT) {
                yebLog("%s timed out after %d ms\n", record_->name, timeoutMs);
                co_return -ETIMEDOUT;
            }
            yebLog("NetworkManager went away during %s\n", record_->name);
            co_return NM_UNAVAILABLE;
        }
    }
    if (record_->status != -ETIMEDOUT && !clientAvailable(client)) {
        yebLog("NetworkManager went away during %s\n", record_->name);
        co_return NM_UNAVAILABLE;
    }
    co_return record_->status;
}

NmTask nmhelper_device_disconnect(NMDevice* device) {
    NmCall call("device disconnect");
    if (!call) co_return NM_UNAVAILABLE;
    nm_device_disconnect_async(device, call.cancellable(), onDisconnected, call.forCallback());
    co_return co_await call.finished();
}

NmTask nmhelper_activate_connection(const char* ifname, NMConnection* connection) {
    NMDevice* device = nmhelper_find_device(ifname);
    if (!device) co_return -ENOENT;
    NmCall call("connection activation");
    if (!call) co_return NM_UNAVAILABLE;
    nm_client_activate_connection_async(nmClient, connection, device, nullptr, call.cancellable(),
                                        onActivated, call.forCallback());
    co_return co_await call.finished();
}

NmTask nmhelper_device_wifi_request_scan(NMDeviceWifi* device) {
    NmCall call("Wi-Fi scan request");
    if (!call) co_return NM_UNAVAILABLE;
    nm_device_wifi_request_scan_async(device, call.cancellable(), onScanRequested,
                                      call.forCallback());
    co_return reportFailure(co_await call.finished(),
                            "nmhelper_device_wifi_request_scan() returns error\n");
}

NmTask nmhelper_dbus_set_property(const char* objectPath, const char* interfaceName,
                                  const char* propertyName, GVariant* value) {
    NmCall call("D-Bus property change");
    if (!call) {
        g_variant_unref(g_variant_ref_sink(value));
        co_return NM_UNAVAILABLE;
    }
    nm_client_dbus_set_property(nmClient, objectPath, interfaceName, propertyName, value, -1,
                                call.cancellable(), onPropertySet, call.forCallback());
    co_return reportFailure(co_await call.finished(),
                            "nmhelper_dbus_set_property() returns error\n");
}

NmTask nmhelper_remote_connection_get_secrets(NMRemoteConnection* connection,
                                              const char* settingName, GVariantPtr& secrets) {
    GObjectPtr<GDBusConnection> bus(privateSystemBus());
    if (!bus) co_return NM_UNAVAILABLE;
    NmCall call("secrets request");
    if (!call) co_return NM_UNAVAILABLE;
    g_dbus_connection_call(
        bus.get(), NM_DBUS_SERVICE, nm_connection_get_path(NM_CONNECTION(connection)),
        NM_DBUS_INTERFACE_SETTINGS_CONNECTION, "GetSecrets", g_variant_new("(s)", settingName),
        G_VARIANT_TYPE("(a{sa{sv}})"), G_DBUS_CALL_FLAGS_NONE, -1, call.cancellable(), onSecrets,
        call.forCallback());
    int status = co_await call.finished();
    g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    if (status == 0) secrets = std::move(call.record().variant);
    co_return reportFailure(status, "nmhelper_remote_connection_get_secrets() returns error\n");
}

NmTask nmhelper_reload_connections() {
    NmCall call("profile reload");
    if (!call) co_return NM_UNAVAILABLE;
    nm_client_reload_connections_async(nmClient, call.cancellable(), onReloaded,
                                       call.forCallback());
    co_return reportFailure(co_await call.finished(),
                            "nmhelper_reload_connections() returns error\n");
}

NmTask nmhelper_add_connection(NMConnection* connection, bool inMemory) {
    NmCall call("profile add");
    if (!call) co_return NM_UNAVAILABLE;
    // Saved to disk, so it autoconnects at the next boot, but not started on its own now: the
    // request activates it once, explicitly.
    auto flags = static_cast<NMSettingsAddConnection2Flags>(
        (inMemory ? NM_SETTINGS_ADD_CONNECTION2_FLAG_IN_MEMORY
                  : NM_SETTINGS_ADD_CONNECTION2_FLAG_TO_DISK) |
        NM_SETTINGS_ADD_CONNECTION2_FLAG_BLOCK_AUTOCONNECT);
    nm_client_add_connection2(nmClient,
                              nm_connection_to_dbus(connection, NM_CONNECTION_SERIALIZE_ALL), flags,
                              nullptr, TRUE, call.cancellable(), onAdded, call.forCallback());
    co_return reportFailure(co_await call.finished(),
                            "nmhelper_create_new_connection: returning error\n");
}

NmTask nmhelper_remove_connection(NMRemoteConnection* connection) {
    NmCall call("profile delete");
    if (!call) co_return NM_UNAVAILABLE;
    nm_remote_connection_delete_async(connection, call.cancellable(), onDeleted,
                                      call.forCallback());
    co_return co_await call.finished();
}
