#pragma once
// Connecting to the bus server with back-off and announcing the client (trelDispatch and
// encodeIdentity of bus/trel.h).
#include <cstdint>
#include <string>

#include "bus/trel.h"

constexpr int TREL_CONNECT_TIMEOUT_MS = 20000;
// A connection that lasted longer than this starts the next back-off series afresh.
constexpr int64_t TREL_SERIES_RESET_MS = 5000;

// The wait before the next attempt of a series; advances *retryCount as the series goes on.
int trelBackoffDelayMs(int32_t* retryCount);
// Opens a TCP connection to the client's server, trying every address the name resolves to, in
// order; the socket, or -1 with *reason saying why the last address failed.
int trelConnectOnce(TrelClient* client, std::string* reason);
// Takes over a connected socket: installs it (non-blocking), writes the identity as its first
// bytes under sendLock, then the messages kept while disconnected, and reports the connected
// event. -1 (socket closed) when the identity does not fit or cannot be written.
int trelAttachSocket(TrelClient* client, int fd);
// Waits up to timeoutMs for events on fd (-1: none) while serving the monitored descriptors
// (the timer among them), so that they keep working without a connection; fd's returned
// events, 0 when the time ran out.
short trelPollServingMonitors(TrelClient* client, int fd, short events, int timeoutMs);
