#pragma once
// The local control socket: a Unix stream socket on which tools on the device (lkctl) speak
// the bus's frames without the identity exchange. Its clients' requests go through the same
// handlers as the bus's, and their replies and events come back to them. Served from the
// monitored descriptors of the bus thread, also while there is no bus connection.
#include "bus/trel.h"
#include "bus/trel_header.h"

// Listens on path (its directory made 0750, the socket 0600, a stale socket replaced); at most
// TREL_MAX_CONTROL clients at a time. 0, or -errno after a log line.
int trelListenControl(TrelClient* client, const char* path);
// Writes one frame to the control client the route names; the caller holds sendLock. A client
// that takes no frame for TREL_FRAME_DEADLINE_MS is dropped. false when the client is gone or
// the frame did not go out whole.
bool trelControlWriteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                            const void* payload);
// Removes the socket's path, so that no tool connects any more (the process is stopping).
void trelControlUnlink(TrelClient* client);
// Closes the socket and every client (the path is removed).
void trelControlFree(TrelClient* client);
