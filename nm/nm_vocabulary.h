#pragma once
// NetworkManager's words as requests 3 and 4 spell them: one table per vocabulary, read by the
// profile builder (request 3) and the profile reader (request 4) alike, so that whatever one
// answers the other accepts.
#include <NetworkManager.h>

// Members of "ip4" and "ip6" beyond "method" (the IPv4 "prefix" goes with its "address").
enum IpMember : unsigned {
    IP_MEMBER_ADDRESS = 1,          // "address" and "prefix", or "addresses"
    IP_MEMBER_GATEWAY = 2,          // "gateway"
    IP_MEMBER_DNS = 4,              // "dns"
    IP_MEMBER_IGNORE_AUTO_DNS = 8,  // "ignore-auto-dns": the method brings name servers of its own
};

struct IpMethod {
    const char* name;   // NetworkManager's method, which the requests use as it is
    unsigned members;   // IpMember bits the method can carry; any other member is refused
    bool needsAddress;  // refused without one
};

// The method of that name for the family (AF_INET, AF_INET6); null when there is none.
const IpMethod* nmIpMethod(int family, const char* name);

// Key management of a Wi-Fi profile: the request's word, NetworkManager's key-mgmt (null: no
// security setting at all) and the one protocol it is restricted to (null: any).
struct KeyManagement {
    const char* name;
    const char* keyMgmt;
    const char* proto;
};

// By the request's word; null for an unknown one.
const KeyManagement* nmKeyManagementNamed(const char* name);
// What a stored security setting (null: none) reads as; null when it has no word here.
const KeyManagement* nmKeyManagementOf(NMSettingWirelessSecurity* security);

// "addr-gen-mode": 0 with the mode for a known word, -EINVAL otherwise.
int nmAddrGenModeNamed(const char* name, NMSettingIP6ConfigAddrGenMode* mode);
// The word for a stored mode; null for the mode a new setting has (left out of the request).
const char* nmAddrGenModeWord(NMSettingIP6ConfigAddrGenMode mode);
