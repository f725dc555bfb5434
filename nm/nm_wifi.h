#pragma once
// Wi-Fi: the access-point writer shared with the details and the events; the access-point
// list (id 10), the scan (id 11) and the radio switch (id 9) are declared in nm/nm.h.
#include <NetworkManager.h>

#include "codec/codec.h"

// Writes the access-point members into the JSON object the caller has opened. -EINVAL (nothing
// written) for a hidden network (missing or empty SSID), else 0; a null enc only tests.
int nmadapter_encodeAPDetails(Encoder* enc, NMAccessPoint* ap);
