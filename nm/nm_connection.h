#pragma once
// Building, storing and replacing an interface's profile (request id 3, declared in nm/nm.h).
// Runs on the NetworkManager worker thread.
#include <NetworkManager.h>

#include "nm/nm.h"
#include "nm/nmjson_unmarshal.h"

constexpr int NMA_UUID_BUFFER = 48;

// Builds the profile, stores it (saved to disk) and writes its uuid into uuid[NMA_UUID_BUFFER].
// Empty method members are rewritten to "disabled". 0, -ENOENT, -EINVAL or -EOPNOTSUPP; nothing
// reaches NetworkManager unless every setting could be built.
int nmhelper_create_new_connection(nmaConnection* connection, char* uuid);
// "address/prefix" (prefix 1..128) as a new IPv6 address the caller unrefs; null when the text
// does not parse.
NMIPAddress* create_ip6_address_from_cidr(const char* cidr);
