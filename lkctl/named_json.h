#pragma once
// lkctl's own JSON (--json): the daemon's replies and events with NetworkManager's numbers
// and bytes by name, for scripts that should not need NetworkManager's tables. Members are
// renamed or converted wherever they occur; everything else is copied as it came:
//   "nmdevicestate": 100           -> "state": "activated"
//   "reason": 39                   -> "reason": "user-requested"
//   "yebtype": "external"          -> "class": "external"
//   "ssid": Base64                 -> "ssid": text when the bytes are UTF-8, else
//                                     "ssid-hex": "ff00..."
//   "apFlags", "wpaFlags", "rsnFlags" -> "security": "WPA2" (open, WEP, WPA, WPA2, WPA3, ...)
//   "psk": text                    -> null unless showSecrets
#include <string>

#include "lkctl/json_view.h"

std::string namedJson(JsonView value, bool showSecrets);
