#pragma once
// Request id 3 (declared in nm/nm.h), all or nothing under a NetworkManager checkpoint, with
// its "wait" and "rollback" members, and requests 15 and 16 that end a client's checkpoint.
#include <NetworkManager.h>

#include "nm/nm.h"
#include "nm/nmjson_unmarshal.h"
