#pragma once
// The dispatch loop's extra poll entries: the client's periodic timer and monitored descriptors
// (trelSetTimer, trelMonitorFD, trelRemoveMonitorFD of bus/trel.h).
#include "bus/trel.h"

// Poll callback of the timer descriptor: consumes the expiry count, calls the timer handler.
void trelTimerRead(TrelClient* client, int fd, int returnedEvents, void* context);
// Calls the callback of every monitored entry whose returned events are set, in order.
void trelRunMonitors(TrelClient* client);
// Changes the events polled for on a monitored descriptor (bus thread).
void trelMonitorEvents(TrelClient* client, int fd, int16_t events);
