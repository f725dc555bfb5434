#pragma once
// The NetworkManager worker thread: it owns the process's one libnm client and runs a GLib main
// loop on the default main context; bus-thread callers hand work to it and wait for the result.
// GLib-free on purpose, so that the request table can include it.
#include "bus/trel.h"

// libnm's own spelling of the type, so that this header needs no libnm include.
typedef struct _NMClient NMClient;

// The process's libnm client, touched only on the worker thread; null until the worker has
// created it, and for good when it could not be created.
extern NMClient* nmClient;

using NmApiFunction = int (*)(TrelRequest* request);
using NmStateFunction = int (*)(void* argument);

// Result of a call the worker cannot serve: no libnm client (API calls), worker not started,
// still starting after NM_STARTUP_WAIT_MS, or stopped by nmadapter_deinit. -ENXIO.
constexpr int NM_UNAVAILABLE = -6;
// How long a caller waits for the worker to finish creating the client.
constexpr int NM_STARTUP_WAIT_MS = 30000;

// Starts the worker thread (again, after nmadapter_deinit); always 0.
int nmadapter_init();
// Makes the worker loop return and release the client; does not wait. Calls already queued
// still run; later calls get NM_UNAVAILABLE.
void nmadapter_deinit();
// Runs function(request) on the worker and returns its result; refused with NM_UNAVAILABLE,
// without reaching libnm, while there is no client. context is carried, not passed.
int nmadapter_invoke_nm_api(TrelRequest* request, void* context, NmApiFunction function);
// Runs function(argument) on the worker (also without a client) and returns its result.
int nmadapter_invoke_nm_stateFunction(void* argument, NmStateFunction function);
