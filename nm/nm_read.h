#pragma once
// Read-only requests: the interface list (id 1), one interface's details (id 2) and the
// profile active on an interface (id 4), declared in nm/nm.h, with the writers of that profile.
#include <NetworkManager.h>

#include "codec/codec.h"
#include "nm/nm_task.h"

// Room for a stored key and its NUL: a raw key has 64 hexadecimal digits.
constexpr size_t kStoredPskSize = 65;

// Write the "ip4" / "ip6" member of a profile; -EOPNOTSUPP (after a log line) for a method
// request 3 does not know, or one that carries members request 3 would refuse with it.
int encodeIP4Details(Encoder* enc, NMSettingIPConfig* setting);
int encodeIP6Details(Encoder* enc, NMSettingIPConfig* setting);
// The profile of the connection active on the interface: null when any link is missing.
NMRemoteConnection* findActiveProfile(const char* ifname);
// The key NetworkManager stores for the profile's Wi-Fi security, copied NUL-terminated into
// key (left empty when it stores none); 0, or below 0 when the secrets cannot be read (or the
// key does not fit in size). The profile is held by the caller across the wait.
NmTask nmStoredPsk(NMRemoteConnection* remote, char* key, size_t size);
