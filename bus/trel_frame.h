#pragma once
// Frames on a connected bus socket: the per-connection dispatch loop with its reply rules, and
// messages sent from any thread (trelDispatchUntilClosed, trelSendMsg, trelSendEncoderMsg of
// bus/trel.h). The socket is non-blocking; every read and write of a frame has a deadline.
#include <sys/uio.h>

#include <cstdint>

#include "bus/trel.h"
#include "bus/trel_header.h"

// The one check every reply passes before it is sent: a handler result whose reply encoder
// failed (the text outgrew the reply area) becomes -EMSGSIZE, with a log line naming the
// request; any other result is returned unchanged.
int trelFinishReply(TrelRequest* request, int result);
// Reads exactly n bytes by the monotonic deadline and puts a NUL after them; 0, -1 on end of
// stream or an error, -ETIMEDOUT when the deadline passed first.
int trelReadFully(int fd, unsigned char* buffer, uint32_t n, int64_t deadlineMs);
// Writes all parts (advancing them) by the deadline; 0, -1 on an error, -ETIMEDOUT.
int trelWriteParts(int fd, iovec* parts, int count, int64_t deadlineMs);
// Writes one frame to fd with the client's next sequence number, within TREL_FRAME_DEADLINE_MS;
// the caller holds sendLock. 0, -1 or -ETIMEDOUT.
int trelWriteNumberedLocked(TrelClient* client, int fd, const TrelFrameHeader& header,
                            const void* payload);
// Writes one whole frame on the connection; the caller holds sendLock. A frame that cannot be
// written within TREL_FRAME_DEADLINE_MS ends the connection (log line; the bus thread then
// connects again). false when the frame did not go out whole.
bool trelWriteFrameLocked(TrelClient* client, const TrelFrameHeader& header, const void* payload);
// The same on a route: the bus connection or a control client, while it is the connection the
// route names; false otherwise or when the frame did not go out whole.
bool trelWriteRouteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                          const void* payload);
// Handles one whole frame that came on a route (bus or control), the payload already in the
// client's input buffer; replies go back on the route.
void trelDispatchFrame(TrelClient* client, const TrelFrameHeader& header, TrelRoute route);
// Sends the messages kept while disconnected; the caller holds sendLock.
void trelFlushKeptLocked(TrelClient* client);
// Closes the socket under sendLock and reports the disconnected event.
void trelCloseConnection(TrelClient* client);
