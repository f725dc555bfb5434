#pragma once
// Request id 3: replace the profile of one interface with one built from the request (stored,
// older profiles deleted, activated), or delete every profile bound to it. Runs on the
// NetworkManager worker thread.
#include "bus/trel.h"
#include "nm/nmjson_unmarshal.h"

// Same declaration as libnm's, so that bus-side code need not see GLib or libnm headers.
typedef struct NMIPAddress NMIPAddress;

constexpr int NMA_UUID_BUFFER = 48;

// Payload: the connection JSON text. The reply is empty; -2 unknown interface, -22 bad request
// or a refused NetworkManager operation, -95 unsupported device type or key management.
int nmadapter_SetConnection(TrelRequest* request);
// Builds the profile, stores it (saved to disk) and writes its uuid into uuid[NMA_UUID_BUFFER].
// Empty method members are rewritten to "disabled". 0, -2, -22 or -95; nothing reaches
// NetworkManager unless every setting could be built.
int nmhelper_create_new_connection(nmaConnection* connection, char* uuid);
// "address/prefix" (prefix 1..128) as a new IPv6 address the caller unrefs; null when the text
// does not parse.
NMIPAddress* create_ip6_address_from_cidr(const char* cidr);
