#pragma once
// Read-only requests: the interface list (id 1), one interface's details (id 2) and the
// profile active on an interface (id 4), declared in nm/nm.h, with the writers of that profile.
#include <NetworkManager.h>

#include "codec/codec.h"

// Write the "ip4" / "ip6" member of a profile; -EOPNOTSUPP (after a log line) for a method
// request 3 does not know, or one that carries members request 3 would refuse with it.
int encodeIP4Details(Encoder* enc, NMSettingIPConfig* setting);
int encodeIP6Details(Encoder* enc, NMSettingIPConfig* setting);
