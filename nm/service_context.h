#pragma once
// The layout of the ServiceContext: touched only on the worker thread once the worker runs.
#include <NetworkManager.h>

#include <cstdint>

#include "nm/nm.h"

constexpr int SERVICE_WATCH_SLOTS = 16;

// One watch, kept by interface name: it follows the interface through unplugging and
// NetworkManager restarts, and ends only when the client removes it or the bus drops.
struct WatchSlot {
    uint32_t handle;   // the client's handle; 0 when the slot is free
    char ifname[32];   // the interface watched
    int signal;        // index into the watchable signals
    NMDevice* device;  // a reference while the device exists; null while it is away
    gulong signalId;   // the connection on device
    TrelRoute route;   // where its events go: the bus, or the control client that made it
};

struct ServiceContext {
    TrelClient* client;
    int32_t verbose;
    WatchSlot watches[SERVICE_WATCH_SLOTS];
};
