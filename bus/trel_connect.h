#pragma once
// Connecting to the bus server with back-off and announcing the client (trelDispatch and
// encodeIdentity of bus/trel.h).
#include <cstdint>

#include "bus/trel.h"

constexpr int TREL_CONNECT_TIMEOUT_MS = 20000;
// A connection that lasted longer than this starts the next back-off series afresh.
constexpr int64_t TREL_SERIES_RESET_MS = 5000;

// The wait before the next attempt of a series; advances *retryCount as the series goes on.
int trelBackoffDelayMs(int32_t* retryCount);
// Opens a TCP connection to the client's server within the time limit; the socket (blocking),
// or -1.
int trelConnectOnce(TrelClient* client);
// Takes over a connected socket: installs it and writes the identity as its first bytes under
// sendLock, then reports the connected event. -1 (socket closed) when the identity does not
// fit the output buffer.
int trelAttachSocket(TrelClient* client, int fd);
