#pragma once
// Read-only requests: the interface list (id 1), one interface's details (id 2) and the
// profile active on an interface (id 4), declared in nm/nm.h, with the writers of that profile.
#include <NetworkManager.h>

#include "codec/codec.h"

// Write the "ip4" / "ip6" member of a profile; -EOPNOTSUPP (after a log line) for an unknown
// method.
int encodeIP4Details(Encoder* enc, NMSettingIPConfig* setting);
int encodeIP6Details(Encoder* enc, NMSettingIPConfig* setting);
// "open", "wpa2", "wpa" or "sae"; null (after a log line) for any other key management.
const char* getAdapterKeyMgtFromSecurity(NMSettingWirelessSecurity* security);
