#pragma once
// Request id 8, enable or disable an interface, and request id 14, reset NetworkManager's
// profiles to the defaults, with the directory clean-up the reset uses.
#include "bus/trel.h"

// Payload: one bool byte (enable) and the interface name. 0; -2 unknown interface or no
// usable profile, -34 several profiles, -22 a failed activation or disconnection. Devices that
// are neither "ethernet" nor "wifi" are left alone (0).
int nmadapter_setEnable(TrelRequest* request);
// No payload. Deletes every profile file but the spared one, then reloads: 0 or -22.
int nmadapter_ResetDefaults(TrelRequest* request);
// Unlinks the regular files and symbolic links directly in directory, except the names in
// the null-terminated list spare (may be null); subdirectories stay. 0, or -1 when the
// directory cannot be opened.
int remove_files_and_symlinks_in_directory(const char* directory, const char* const* spare);
