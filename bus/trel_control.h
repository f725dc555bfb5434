#pragma once
// The local control socket: a Unix stream socket on which tools on the device (lkctl) speak
// the bus's frames without the identity exchange. Its clients' requests go through the same
// handlers as the bus's, and their replies and events come back to them. Served from the
// monitored descriptors of the bus thread, also while there is no bus connection. Every client
// is a peer with its own output queue; see bus/trel_peer.h for the limits.
#include <cstdint>

#include "bus/trel.h"
#include "bus/trel_header.h"

// Listens on path, at most TREL_MAX_CONTROL clients at a time. The directory must be a real
// directory (no symbolic link) of root or of our user that nobody else may write; a missing
// one is made (0750, group as below) and an existing one is never changed. The socket is 0660
// with group (its members may send the open requests; null or "": 0600, root only). A stale
// socket is replaced; while another process listens on path nothing is touched. A client that
// sends nothing for idleSeconds and holds nothing is closed. 0, or -errno after a log line that
// says why.
int trelListenControl(TrelClient* client, const char* path, const char* group, int idleSeconds);
// Queues one frame for the control client the route names; the caller holds sendLock. A client
// whose queue passes its bound is dropped. false when the client is gone or was dropped.
bool trelControlWriteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                            const void* payload);
// Removes the socket's path while it is still ours, so that no tool connects any more.
void trelControlUnlink(TrelClient* client);
// Closes the socket and every client (the path is removed while it is ours).
void trelControlFree(TrelClient* client);
// The bus thread's turns (see trelPreparePoll): the events of each client and the time of
// the next client deadline (-1: none); then the clients past one are closed.
int64_t trelControlPrepare(TrelClient* client, int64_t nowMs);
void trelControlExpire(TrelClient* client, int64_t nowMs);
