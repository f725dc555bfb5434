#pragma once
// The layout of the ServiceContext: touched only on the worker thread once the worker runs.
#include <NetworkManager.h>

#include <cstdint>

#include "nm/nm.h"

constexpr int SERVICE_WATCH_SLOTS = 16;

struct WatchSlot {
    NMDevice* device;  // borrowed from the libnm client's cache; null when the slot is free
    uint32_t handlerId;
};

struct ServiceContext {
    TrelClient* client;
    int32_t verbose;
    WatchSlot watches[SERVICE_WATCH_SLOTS];
};
