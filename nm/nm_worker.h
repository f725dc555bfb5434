#pragma once
// The worker thread's own side: the process's libnm client and the check that code runs on
// the worker. The hand-over functions are declared in nm/nm.h.
#include <NetworkManager.h>

#include "nm/nm.h"

// The process's libnm client, touched only on the worker thread; null until the worker has
// created it, and for good when it could not be created.
extern NMClient* nmClient;

// Called on the worker whenever the client changes: the new one, or null when it went away
// (system bus lost, worker stopping). Watches follow it (nm_watch.cpp).
void nmWatchesOnClient(NMClient* client);

// Every entry point of the adapter runs on the worker, which owns the default main context for
// its whole life: anything else would race with libnm's own callbacks.
#define NM_ASSERT_ON_WORKER() g_assert(g_main_context_is_owner(g_main_context_default()))
