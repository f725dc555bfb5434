#pragma once
// The NetworkManager adapter, as the daemon sees it: the worker thread that owns the libnm
// client, the hand-over of requests to it, the service context with its interface watches, and
// the request handlers. GLib and libnm stay behind this header.
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "bus/bus.h"

// The daemon's one context record: the bus client and the interface-watch slots. Its layout
// belongs to the adapter; the daemon only creates it and passes it around.
struct ServiceContext;

// A zeroed context for the given bus client, or null when out of memory; free with
// nmadapter_context_free once the worker has stopped.
ServiceContext* nmadapter_context_create(TrelClient* client, int verbose);
void nmadapter_context_free(ServiceContext* context);
int nmadapter_context_verbose(const ServiceContext* context);

using NmApiFunction = int (*)(TrelRequest* request);
using NmStateFunction = int (*)(void* argument);

// Result of a request the worker cannot serve: NetworkManager (or the system bus) is not there,
// or the worker does not run.
constexpr int NM_UNAVAILABLE = -ENXIO;
// How long a blocking state call waits for the worker to start.
constexpr int NM_STARTUP_WAIT_MS = 30000;
// NetworkManager requests waiting behind the running one; more are refused with -EAGAIN.
constexpr size_t NM_MAX_QUEUED = 32;
// The longest any libnm operation may take before its request answers -ETIMEDOUT.
constexpr int NM_OPERATION_TIMEOUT_MS = 30000;

// The daemon's runtime directory, where the pending changes are recorded (default
// /run/linkKeeper); set before nmadapter_init.
void nmadapter_set_runtime_dir(const char* directory);
// Starts the worker thread (again, after nmadapter_deinit); always 0.
int nmadapter_init();
// Makes the worker loop return and release the client; does not wait. Calls already queued
// still run; later calls get NM_UNAVAILABLE.
void nmadapter_deinit();
// nmadapter_deinit, then waits up to timeoutMs for the worker to finish what it is running and
// stop; true when it stopped in time.
bool nmadapter_stop(int timeoutMs);
// Hands function(request) to the worker and returns at once with TREL_REPLY_LATER: the worker
// runs the requests one at a time in arrival order and sends each reply itself. Refused at
// once with NM_UNAVAILABLE while NetworkManager is away, or -EAGAIN when NM_MAX_QUEUED wait
// already. context is carried in the request, not passed.
int nmadapter_invoke_nm_api(TrelRequest* request, void* context, NmApiFunction function);
// Runs function(argument) on the worker (also without a client) and returns its result.
int nmadapter_invoke_nm_stateFunction(void* argument, NmStateFunction function);
// Queues function(argument) on the worker and returns at once; dropped when the worker does not
// run. The result is not looked at.
void nmadapter_post_state(NmStateFunction function, void* argument);

// The reaction to a lost bus connection: every interface watch of the ServiceContext given as
// context that was made over the bus ends. Runs on the worker; always 0.
int nmadapter_onDisconnect(void* context);
// The same for a control client that went away (posted to the worker; returns at once).
void nmadapter_post_control_closed(ServiceContext* context, int channel);

// Request handlers; each runs on the worker thread and returns the reply size or -errno.
// Id 1: the interface list.
int nmadapter_GetNetworkInterfaces(TrelRequest* request);
// Id 2, payload the interface name: its details; -ENOENT when NetworkManager has no such device.
int nmadapter_GetInterfaceDetails(TrelRequest* request);
// Id 3, payload the connection JSON text: replaces the interface's profile with one built from
// the request and activates it, or deletes its profiles ("remove"), all or nothing. Empty
// reply, or {"checkpoint": N} with "rollback"; -ENOENT unknown interface, -EINVAL bad request
// or a refused NetworkManager operation, -EOPNOTSUPP unsupported device type or key
// management, -EBUSY a change pending on the interface, -EIO / -ETIMEDOUT a failed or late
// activation with "wait".
int nmadapter_SetConnection(TrelRequest* request);
// Id 4, payload the interface name: the profile active on it. -ENOENT without device, active
// connection or profile; -EINVAL when the secrets cannot be fetched; -EOPNOTSUPP for a profile
// the reply cannot describe.
int nmadapter_GetConnection(TrelRequest* request);
// Id 5, payload the watch JSON text. Handle 0 adds a watch of "property" on "interface" and
// answers its handle (4 bytes); another handle removes that watch and answers nothing. -ENOENT
// unknown interface or all slots in use, -EINVAL bad request or a property the device has no
// signal for.
int nmadapter_watchInterface(TrelRequest* request);
// Id 8, payload one bool byte (enable) and the interface name. 0; -ENOENT unknown interface or
// no usable profile, -ERANGE several profiles, -EINVAL a failed activation or disconnection,
// -EBUSY a change pending on the interface.
int nmadapter_setEnable(TrelRequest* request);
// Id 9, payload one byte: 0 radio off, 1 on, 2 query (one bool byte in the reply); other codes
// are ignored.
int nmadapter_wifiRadioStatusSet(TrelRequest* request);
// Id 10, payload the interface name: its access points.
int nmadapter_getAccessPoints(TrelRequest* request);
// Id 11, payload the interface name: starts a scan.
int nmadapter_WifiStartScan(TrelRequest* request);
// Id 14, no payload: deletes every profile file but the spared one and every unsaved profile,
// reloads, and switches the Wi-Fi radio on; -EBUSY while any change is pending.
int nmadapter_ResetDefaults(TrelRequest* request);
// Id 15, payload {"checkpoint": N}: keeps the change of request 3's "rollback" (its profile
// saved, the older ones deleted) and ends the checkpoint. 0; -ENOENT when N is not pending
// (confirmed, rolled back or expired); -EINVAL; another -errno when a step failed (N stays
// pending).
int nmadapter_confirmCheckpoint(TrelRequest* request);
// Id 16, payload {"checkpoint": N}: restores the state before that change now (a rollback
// event follows). 0; -ENOENT when N is not pending; -EINVAL; another -errno when the restore
// failed (N stays pending and the daemon retries).
int nmadapter_rollbackCheckpoint(TrelRequest* request);
// Id 18, no payload: the pending changes, [{"checkpoint": N, "interface": name, "seconds": S}]
// with S the whole seconds left.
int nmadapter_listCheckpoints(TrelRequest* request);
