#pragma once
// Building the profile a set-connection request (id 3) describes, without storing it: every
// rule is checked here, before NetworkManager is asked anything.
#include <NetworkManager.h>

#include "nm/glib_ptr.h"
#include "nm/nmjson_unmarshal.h"

// The whole profile for device: 0 with it in out; -EINVAL for a request that breaks a rule
// (unknown method, a prefix outside 1 to 32 for a manual or shared IPv4 address, a key that is
// no WPA key, a client key management other than open, wpa, wpa2 and sae, bad addresses),
// -EOPNOTSUPP for a device that is neither Ethernet nor Wi-Fi or an access point's unknown key
// management. Empty method members are rewritten to "disabled".
int nmProfileBuild(nmaConnection* request, NMDevice* device, GObjectPtr<NMConnection>& out);
// "address/prefix" (prefix 1..128) as a new IPv6 address the caller unrefs; null when the text
// does not parse.
NMIPAddress* create_ip6_address_from_cidr(const char* cidr);
