#pragma once
// Building the profile a set-connection request (id 3) describes, without storing it: every
// rule is checked here, before NetworkManager is asked anything.
#include <NetworkManager.h>

#include "nm/glib_ptr.h"
#include "nm/nmjson_unmarshal.h"

// The whole profile for device: 0 with it in out; -EINVAL for a request that breaks a rule
// (an unknown method, a member its method cannot carry (nm/nm_vocabulary.cpp), an IPv4
// address without a prefix of 1 to 32, a text that is no address, a key that is no WPA key,
// a key without a key management that uses it, a client key management other than open, wpa,
// wpa2 and sae, an access point without IPv4 "shared" or "manual"), -EOPNOTSUPP for a device
// that is neither Ethernet nor Wi-Fi or an access point's unknown key management. A method
// left out is rewritten to "disabled".
int nmProfileBuild(nmaConnection* request, NMDevice* device, GObjectPtr<NMConnection>& out);
// "address/prefix" (prefix 1..128) as a new IPv6 address the caller unrefs; null when the text
// does not parse.
NMIPAddress* create_ip6_address_from_cidr(const char* cidr);
