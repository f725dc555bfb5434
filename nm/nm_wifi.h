#pragma once
// Wi-Fi requests: the access-point writer shared with the details and the events, the
// access-point list (id 10), the scan request (id 11) and the radio switch (id 9).
#include "bus/trel.h"
#include "codec/encoder.h"

// Same declaration as libnm's, so that bus-side code need not see GLib or libnm headers.
typedef struct _NMAccessPoint NMAccessPoint;

// Writes the access-point members into the JSON object the caller has opened. -22 (nothing
// written) for a hidden network (missing or empty SSID), else 0; a null enc only tests.
int nmadapter_encodeAPDetails(Encoder* enc, NMAccessPoint* ap);

int nmadapter_getAccessPoints(TrelRequest* request);
int nmadapter_WifiStartScan(TrelRequest* request);
// Payload: one byte, 0 radio off, 1 on, 2 query (one bool byte in the reply), other: ignored.
int nmadapter_wifiRadioStatusSet(TrelRequest* request);
