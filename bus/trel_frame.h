#pragma once
// Frames on the bus connection and on every peer: the dispatch loop with its reply rules, and
// frames queued from any thread (trelDispatchUntilClosed, trelSendMsg, trelSendEncoderMsg of
// bus/trel.h). No thread waits on a peer: frames go into the peer's queue and are written as
// its socket takes them; what a peer sends is read as it comes.
#include <cstdint>

#include "bus/trel.h"
#include "bus/trel_header.h"
#include "bus/trel_peer.h"

// The one check every reply passes before it is sent: a handler result whose reply encoder
// failed (the text outgrew the reply area) becomes -EMSGSIZE, with a log line naming the
// request; any other result is returned unchanged.
int trelFinishReply(TrelRequest* request, int result);
// Queues one frame on a peer's queue with the client's next sequence number and writes what
// the socket takes at once; the caller holds sendLock. false when the queue's bound was passed
// (nothing queued) or the socket failed (*failed set); then the peer must go.
bool trelQueueFrameLocked(TrelClient* client, TrelOutQueue* queue, int fd,
                          const TrelFrameHeader& header, const void* payload, bool* failed);
// Queues one whole frame on the bus connection; the caller holds sendLock. A server that does
// not take it ends the connection (one log line; the bus thread then connects again). false
// when the frame was not queued.
bool trelQueueBusLocked(TrelClient* client, const TrelFrameHeader& header, const void* payload);
// The same on a route: the bus connection or a control client, while it is the connection the
// route names; false otherwise or when the frame was not queued.
bool trelWriteRouteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                          const void* payload);
// Handles one whole frame that came on a route (bus or control); replies go back on the route.
void trelDispatchFrame(TrelClient* client, const TrelFrameHeader& header,
                       const unsigned char* payload, TrelRoute route);
// Sends the messages kept while disconnected; the caller holds sendLock.
void trelFlushKeptLocked(TrelClient* client);
// Closes the socket under sendLock and reports the disconnected event.
void trelCloseConnection(TrelClient* client);
// Before the bus thread polls: the events each peer waits for, and the milliseconds until the
// next peer deadline (-1: none).
int trelPreparePoll(TrelClient* client);
// After it polled: peers past a deadline (output not taken, a frame left unfinished, idle) go.
void trelExpirePeers(TrelClient* client);
