#pragma once
// The NetworkManager adapter, as the daemon sees it: the worker thread that owns the libnm
// client, the hand-over of requests to it, the service context with its interface watches, and
// the request handlers. GLib and libnm stay behind this header.
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "bus/bus.h"
#include "nm/nm_task.h"

// The daemon's one context record: the bus client and the interface-watch slots. Its layout
// belongs to the adapter; the daemon only creates it and passes it around.
struct ServiceContext;

// A zeroed context for the given bus client, or null when out of memory; free with
// nmadapter_context_free once the worker has stopped.
ServiceContext* nmadapter_context_create(TrelClient* client, int verbose);
void nmadapter_context_free(ServiceContext* context);

using NmApiFunction = NmTask (*)(TrelRequest* request);
using NmStateFunction = int (*)(void* argument);

// Result of a request the worker cannot serve: NetworkManager (or the system bus) is not there,
// or the worker does not run.
constexpr int NM_UNAVAILABLE = -ENXIO;
// How long a start waits for a worker that is stopping.
constexpr int NM_STARTUP_WAIT_MS = 30000;
// NetworkManager requests queued or under way (parked ones included); more are refused with
// -EAGAIN.
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
// starts the requests in arrival order and each sends its reply itself when it ends. A request
// that waits parks, and the worker serves the next ones meanwhile: requests that only read
// libnm's cache are answered at once, changes of other interfaces go ahead, and changes of one
// interface keep their order (they take turns). Refused at once with NM_UNAVAILABLE while
// NetworkManager is away, or -EAGAIN when NM_MAX_QUEUED are under way already. context is
// carried in the request, not passed.
int nmadapter_invoke_nm_api(TrelRequest* request, void* context, NmApiFunction function);
// Queues function(argument) on the worker and returns true at once; false (nothing queued, the
// caller keeps argument) when the worker does not run. The result is not looked at. Calls
// posted before a stop still run.
bool nmadapter_post_state(NmStateFunction function, void* argument);

// The echo check of request 3's "verify": sends echo requests to host out of interface ifname
// until one is answered or seconds have passed. 0 answered, -EHOSTUNREACH none answered, another
// -errno when no probe could run. It blocks: the adapter runs it on a thread of its own.
using NmVerifier = int (*)(const char* ifname, const char* host, uint32_t seconds);
// The daemon hands its echo engine over before it starts the worker; without one, "verify"
// answers -EOPNOTSUPP.
void nmadapter_set_verifier(NmVerifier verifier);

// The reaction to a lost bus connection: every interface watch of the ServiceContext given as
// context that was made over the bus ends. Runs on the worker; always 0.
int nmadapter_onDisconnect(void* context);
// The same for a control client that went away (posted to the worker; returns at once).
void nmadapter_post_control_closed(ServiceContext* context, int channel);

// Request handlers; each runs on the worker thread and ends with the reply size or -errno.
// Id 1: the interface list.
NmTask nmadapter_GetNetworkInterfaces(TrelRequest* request);
// Id 2, payload the interface name: its details; -ENOENT when NetworkManager has no such device.
NmTask nmadapter_GetInterfaceDetails(TrelRequest* request);
// Id 3, payload the connection JSON text: replaces the interface's profile with one built from
// the request and activates it, or deletes its profiles ("remove"), all or nothing. Empty
// reply, or {"checkpoint": N} with "rollback"; -ENOENT unknown interface, -EINVAL bad request
// or a refused NetworkManager operation, -EOPNOTSUPP unsupported device type or key
// management, -EBUSY a change pending on the interface, -EIO / -ETIMEDOUT a failed or late
// activation with "wait", -EHOSTUNREACH a "verify" host that did not answer (the change is
// undone).
NmTask nmadapter_SetConnection(TrelRequest* request);
// Id 4, payload the interface name: the profile active on it. -ENOENT without device, active
// connection or profile; -EINVAL when the secrets cannot be fetched; -EOPNOTSUPP for a profile
// the reply cannot describe.
NmTask nmadapter_GetConnection(TrelRequest* request);
// Id 5, payload the watch JSON text. Handle 0 adds a watch of "property" on "interface" and
// answers its handle (4 bytes); another handle removes that watch and answers nothing. -ENOENT
// unknown interface or all slots in use, -EINVAL bad request or a property the device has no
// signal for.
NmTask nmadapter_watchInterface(TrelRequest* request);
// Id 8, payload one bool byte (enable) and the interface name. 0; -ENOENT unknown interface or
// no usable profile, -ERANGE several profiles, -EINVAL a failed activation or disconnection,
// -EBUSY a change pending on the interface.
NmTask nmadapter_setEnable(TrelRequest* request);
// Id 9, payload one byte: 0 radio off, 1 on, 2 query (one bool byte in the reply); other codes
// are ignored.
NmTask nmadapter_wifiRadioStatusSet(TrelRequest* request);
// Id 10, payload the interface name: its access points.
NmTask nmadapter_getAccessPoints(TrelRequest* request);
// Id 11, payload the interface name: starts a scan.
NmTask nmadapter_WifiStartScan(TrelRequest* request);
// Id 14, no payload: deletes every profile file but the spared one and every unsaved profile,
// reloads, and switches the Wi-Fi radio on; -EBUSY while any change is pending.
NmTask nmadapter_ResetDefaults(TrelRequest* request);
// Id 15, payload {"checkpoint": N}: keeps the change of request 3's "rollback" (its profile
// saved, the older ones deleted) and ends the checkpoint. 0; -ENOENT when N is not pending
// (confirmed, rolled back or expired); -EINVAL; another -errno when a step failed (N stays
// pending).
NmTask nmadapter_confirmCheckpoint(TrelRequest* request);
// Id 16, payload {"checkpoint": N}: restores the state before that change now (a rollback
// event follows). 0; -ENOENT when N is not pending; -EINVAL; another -errno when the restore
// failed (N stays pending and the daemon retries).
NmTask nmadapter_rollbackCheckpoint(TrelRequest* request);
// Id 18, no payload: the pending changes, [{"checkpoint": N, "interface": name, "seconds": S}]
// with S the whole seconds left.
NmTask nmadapter_listCheckpoints(TrelRequest* request);
