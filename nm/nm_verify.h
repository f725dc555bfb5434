#pragma once
// Request 3's "verify": the echo check of a change, run off the worker while the request parks.
#include <cstdint>

#include "nm/nm.h"

// 0 when host answered an echo request sent out of ifname within seconds, -EHOSTUNREACH when
// it did not, -EOPNOTSUPP without an echo engine, NM_UNAVAILABLE when the worker lost
// NetworkManager or stops meanwhile (the probe then runs out on its own).
NmTask nmVerify(const char* ifname, const char* host, uint32_t seconds);
