#pragma once
// libnm's asynchronous operations as awaitable steps of a request. Everything here runs on the
// NetworkManager worker thread: a request that awaits an operation parks (nm/nm_park.h) until
// the completion callback has run or the operation's time is up, and the worker serves other
// requests meanwhile. Results: 0 on success, the errno of NetworkManager's error
// (nmErrnoOfError), -ENOENT no such device, -ETIMEDOUT an operation that took longer than its
// limit, NM_UNAVAILABLE when NetworkManager went away during the wait.
#include <NetworkManager.h>

#include <string>

#include "nm/glib_ptr.h"
#include "nm/nm.h"
#include "nm/nm_park.h"

// NetworkManager's (or GIO's) error as an errno: permission denied -EACCES, an unknown object,
// device or profile -ENOENT, an invalid profile or argument -EINVAL, a profile not available on
// the device or an operation the device does not allow -ENODEV, no answer in time -ETIMEDOUT;
// any other error -EINVAL.
int nmErrnoOfError(const GError* error);

// What one libnm operation in flight leaves behind. The request that started it and the
// completion callback each hold a reference: a request that gives up (time-out, NetworkManager
// gone) leaves, and the late callback then releases the result on its own.
class NmCallRecord {
  public:
    explicit NmCallRecord(const char* name);
    NmCallRecord(const NmCallRecord&) = delete;
    NmCallRecord& operator=(const NmCallRecord&) = delete;

    void ref() { ++refs_; }
    void unref();
    // The end of a completion callback (data as handed to libnm): records the outcome, wakes the
    // request and drops the callback's reference. failFormat (may be null) logs a failure.
    static void settle(gpointer data, bool ok, const GError* error, const char* failFormat);
    static NmCallRecord& of(gpointer data) { return *static_cast<NmCallRecord*>(data); }
    // Whether the request gave up waiting (only the callback's reference is left).
    bool abandoned() const { return refs_ == 1; }

    const char* name;
    GObjectPtr<GCancellable> cancellable;
    bool done = false;
    int status = 0;
    NmPark* waiter = nullptr;  // the parked request, while it waits
    // The operation's result, for the operations that have one.
    GVariantPtr variant;
    std::string path;

  private:
    ~NmCallRecord() = default;
    int refs_ = 1;
};

// The request's side of one operation: start it with cancellable() and forCallback(), then
// co_await finished().
class NmCall {
  public:
    // No record (false) when the client is gone: the caller answers NM_UNAVAILABLE without
    // calling libnm.
    explicit NmCall(const char* name);
    ~NmCall();
    NmCall(const NmCall&) = delete;
    NmCall& operator=(const NmCall&) = delete;
    explicit operator bool() const { return record_ != nullptr; }

    GCancellable* cancellable() const { return record_->cancellable.get(); }
    // The callback's reference, as the user data of the libnm call.
    gpointer forCallback() {
        record_->ref();
        return record_;
    }
    NmCallRecord& record() { return *record_; }
    // Waits for the completion: 0, the error's errno, -ETIMEDOUT (the operation is cancelled; a
    // late completion is discarded), or NM_UNAVAILABLE when the client went away meanwhile.
    NmTask finished(int timeoutMs = NM_OPERATION_TIMEOUT_MS);

  private:
    NmCallRecord* record_ = nullptr;
};

NmTask nmhelper_device_disconnect(NMDevice* device);
// -ENOENT without starting anything when NetworkManager has no device of that name.
NmTask nmhelper_activate_connection(const char* ifname, NMConnection* connection);
NmTask nmhelper_device_wifi_request_scan(NMDeviceWifi* device);
// Sets one D-Bus property of a NetworkManager object; a floating value is consumed.
NmTask nmhelper_dbus_set_property(const char* objectPath, const char* interfaceName,
                                  const char* propertyName, GVariant* value);
// On success hands the secrets to secrets; on failure it is left alone.
NmTask nmhelper_remote_connection_get_secrets(NMRemoteConnection* connection,
                                              const char* settingName, GVariantPtr& secrets);
// Makes NetworkManager re-read its profile files.
NmTask nmhelper_reload_connections();
// Stores a new profile in NetworkManager, saved to disk (in memory only with inMemory: gone at
// the next boot). The profile builder's failure line ("nmhelper_create_new_connection:
// returning error") is logged here.
NmTask nmhelper_add_connection(NMConnection* connection, bool inMemory = false);
NmTask nmhelper_remove_connection(NMRemoteConnection* connection);
