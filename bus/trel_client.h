#pragma once
// Creating, configuring and releasing a bus client: trelCreate, trelFree, trelRegisterInterface,
// trelRegisterApi and the three callback setters declared in bus/trel.h.
#include "bus/trel.h"

constexpr int TREL_DEFAULT_PORT = 10001;

// Reads a server text: "[v6-address]:port", "[v6-address]", a bare IPv6 address, "host:port"
// or "host". Returns the host as a heap copy (free), or null when out of memory; *port is the
// port, 0 when the text names none, -1 when it names one outside 1 to 65535.
char* trelParseServer(const char* server, int* port);
