#pragma once
// Frames on a connected bus socket: the per-connection dispatch loop with its reply rules, and
// messages sent from any thread (trelDispatchUntilClosed, trelSendMsg, trelSendEncoderMsg of
// bus/trel.h).
#include <sys/uio.h>

#include <cstdint>

#include "bus/trel.h"

// The one check every reply passes before it is sent: a handler result whose reply encoder
// failed (the text outgrew the reply area) becomes -EMSGSIZE, with a log line naming the
// request; any other result is returned unchanged.
int trelFinishReply(TrelRequest* request, int result);
// Reads exactly n bytes and puts a NUL after them; 0, or -1 on end of stream or an error.
int trelReadFully(int fd, unsigned char* buffer, uint32_t n);
// Write all n bytes (all parts, in one gathered write when the socket takes them) unless the
// socket fails; 0 or -1. trelWriteParts advances the parts it is given.
int trelWriteAll(int fd, const void* buffer, uint32_t n);
int trelWriteParts(int fd, iovec* parts, int count);
// Closes the socket under sendLock and reports the disconnected event.
void trelCloseConnection(TrelClient* client);
