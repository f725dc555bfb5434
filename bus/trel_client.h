#pragma once
// Creating, configuring and releasing a bus client: trelCreate, trelFree, trelRegisterInterface,
// trelRegisterApi and the three callback setters declared in bus/trel.h.
#include "bus/trel.h"

constexpr int TREL_DEFAULT_PORT = 10001;

// Splits "host:port" at its last colon; port is 0 when absent or not a number. Returns the host
// part as a heap copy (free), or null when out of memory.
char* trelSplitServer(const char* server, int* port);
