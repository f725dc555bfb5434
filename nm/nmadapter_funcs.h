#pragma once
// Read-only NetworkManager requests: the interface list (id 1), one interface's details
// (id 2) and the profile active on an interface (id 4), with the writers of that profile.
// Handlers run on the NetworkManager worker thread and return the reply size or -errno.
#include "bus/trel.h"
#include "codec/encoder.h"

// Same declarations as libnm's, so that bus-side code need not see GLib or libnm headers.
typedef struct _NMSettingIPConfig NMSettingIPConfig;
typedef struct _NMSettingWirelessSecurity NMSettingWirelessSecurity;

int nmadapter_GetNetworkInterfaces(TrelRequest* request);
// Payload: the interface name. -2 when NetworkManager has no such device.
int nmadapter_GetInterfaceDetails(TrelRequest* request);
// Payload: the interface name. -2 without device, active connection or profile; -22 when the
// secrets cannot be fetched; -95 for a profile the reply cannot describe (see the .cpp).
int nmadapter_GetConnection(TrelRequest* request);

// Write the "ip4" / "ip6" member of a profile; -95 (after a log line) for an unknown method.
int encodeIP4Details(Encoder* enc, NMSettingIPConfig* setting);
int encodeIP6Details(Encoder* enc, NMSettingIPConfig* setting);
// "open", "wpa2" or "wpa"; null (after a log line) for any other key management.
const char* getAdapterKeyMgtFromSecurity(NMSettingWirelessSecurity* security);
