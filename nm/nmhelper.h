#pragma once
// Blocking wrappers around libnm's asynchronous operations, profile housekeeping and the
// reader of kernel interface attributes. Everything here runs on the NetworkManager worker
// thread: a wrapper waits by iterating the default main context until its callback has run or
// its time is up. Results: 0 on success, -ENOENT no such device, -EIO attribute without a
// line, -EINVAL a failed operation, -ETIMEDOUT an operation that took longer than its limit,
// NM_UNAVAILABLE when NetworkManager went away during the wait.
#include <NetworkManager.h>

#include "nm/nm.h"

// What a wrapper shares with its completion callback. Both hold a reference: a wait that times
// out leaves, and the late callback then releases the result and the record on its own.
struct NmOp {
    const char* name;  // the operation, for log lines
    int refs;
    bool done;
    bool failed;
    bool timedOut;  // NetworkManager did not answer within the D-Bus call's own time-out
    GCancellable* cancellable;  // owned; cancelled when the wait gives up
    void* result;               // the secrets variant (secrets operation only)
};

// A new operation record, referenced by the wrapper and by the callback to come; null when the
// client is gone (NetworkManager went away during an earlier wait of the same request): the
// wrapper then answers NM_UNAVAILABLE without calling libnm.
NmOp* nmhelper_op_new(const char* name);
// The end of a completion callback: records the outcome and drops the callback's reference.
void nmhelper_op_settle(NmOp* op, bool ok, const GError* error);
// Drops a reference a wrapper took beyond its own (see the secrets and checkpoint wrappers).
void nmhelper_op_unref(NmOp* op);
// Waits until the callback has run or timeoutMs has passed, then (drain) dispatches whatever
// else is pending without blocking; drops the wrapper's reference. 0, -EINVAL when the
// operation failed, -ETIMEDOUT (the operation is cancelled; a late completion is discarded), or
// NM_UNAVAILABLE when the client went away meanwhile.
int nmhelper_wait(NmOp* op, bool drain, int timeoutMs = NM_OPERATION_TIMEOUT_MS);

// The device NetworkManager knows under that interface name; null when there is none.
NMDevice* nmhelper_find_device(const char* ifname);
// A reference on that device, kept across waits; null when there is none.
NMDevice* nmhelper_ref_device(const char* ifname);
// Whether the network device is still there: the one NetworkManager knows under its name, and
// a link the kernel still has. After any wait a device may have been unplugged (then -ENOENT
// for the request).
bool nmhelper_device_present(NMDevice* device);

int nmhelper_device_disconnect(NMDevice* device);
int nmhelper_deactivate_activeconnection(NMActiveConnection* active);
// -ENOENT without starting anything when NetworkManager has no device of that name.
int nmhelper_activate_connection(const char* ifname, NMConnection* connection);
int nmhelper_device_wifi_request_scan(NMDeviceWifi* device);
// Sets one D-Bus property of a NetworkManager object; a floating value is consumed.
int nmhelper_dbus_set_property(NMClient* client, const char* objectPath, const char* interfaceName,
                               const char* propertyName, GVariant* value);
// On success hands the secrets to *secrets (caller unrefs) or releases them when secrets is
// null; on failure *secrets is left alone.
int nmhelper_remote_connection_get_secrets(NMRemoteConnection* connection, const char* settingName,
                                           GVariant** secrets);
// Makes NetworkManager re-read its profile files; `client` is ignored (always nmClient).
int nmhelper_reload_connections(NMClient* client);
// Stores a new profile in NetworkManager, saved to disk (in memory only with inMemory: gone at
// the next boot); 0 or -EINVAL. The profile builder's failure line
// ("nmhelper_create_new_connection: returning error") is logged here.
int nmhelper_add_connection(NMConnection* connection, bool inMemory = false);

int nmhelper_remove_connection(NMRemoteConnection* connection);
// Deletes every profile bound to the device (by interface name, or by hardware address when a
// profile names no interface) except the one with uuid `spareUuid` (may be null).
int nmhelper_remove_connections(NMClient* client, NMDevice* device, const char* spareUuid);

// Reads the first line of /sys/class/net/<ifname>/<attribute> into out (size >= 1), without
// its newline, truncated to size-1 bytes.
int nmhelper_querySysFsNetProperty(const char* ifname, const char* attribute, char* out, int size);
