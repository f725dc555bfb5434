#pragma once
// Blocking wrappers around libnm's asynchronous operations, profile housekeeping and the
// reader of kernel interface attributes. Everything here runs on the NetworkManager worker
// thread: a wrapper waits by iterating the default main context until its callback has run.
// Results: 0 on success, -2 no such device, -5 attribute without a line, -22 failure.
#include <NetworkManager.h>

#include <cstdint>

// What a wrapper shares with its completion callback; lives in the wrapper's frame, which
// outlives the callback because the wait ends only once `done` is set.
struct NmOpCompletion {
    int32_t done;    // set by the callback as its last step
    int32_t failed;  // the finish call reported an error
    void* result;    // the secrets variant (secrets operation only)
};

// Waits until op->done, then (drain) dispatches whatever else is pending without blocking;
// -22 when the operation failed, else 0. Shared by every asynchronous wrapper.
int nmhelper_wait(NmOpCompletion* op, bool drain);

// The device NetworkManager knows under that interface name; null when there is none.
NMDevice* nmhelper_find_device(const char* ifname);

int nmhelper_device_disconnect(NMDevice* device);
int nmhelper_deactivate_activeconnection(NMActiveConnection* active);
// -2 without starting anything when NetworkManager has no device of that name.
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
// Stores a new profile in NetworkManager, saved to disk; 0 or -22. The profile builder's
// failure line ("nmhelper_create_new_connection: returning error") is logged here.
int nmhelper_add_connection(NMConnection* connection);

int nmhelper_remove_connection(NMRemoteConnection* connection);
// Deletes every profile bound to the device's interface except the one with uuid `spareUuid`
// (may be null); an activated device is disconnected first.
int nmhelper_remove_connections(NMClient* client, NMDevice* device, const char* spareUuid);

// Reads the first line of /sys/class/net/<ifname>/<attribute> into out (size >= 1), without
// its newline, truncated to size-1 bytes.
int nmhelper_querySysFsNetProperty(const char* ifname, const char* attribute, char* out, int size);
