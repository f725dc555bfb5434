#pragma once
// The daemon's one context record, shared by every request handler and the event handler.
#include <cstdint>

#include "bus/trel.h"

constexpr int SERVICE_WATCH_SLOTS = 16;

struct WatchSlot {
    void* device;  // borrowed libnm device (a GObject); null when the slot is free
    uint32_t handlerId;
};

struct ServiceContext {
    TrelClient* client;
    int32_t verbose;
    WatchSlot watches[SERVICE_WATCH_SLOTS];
};
