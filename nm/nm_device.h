#pragma once
// Finding NetworkManager's device for an interface name, telling whether it is still there,
// and deleting the profiles bound to it. Worker thread only.
#include <NetworkManager.h>

#include <string>

#include "nm/nm.h"

// The device NetworkManager knows under that interface name; null when there is none.
NMDevice* nmhelper_find_device(const char* ifname);
// A reference on that device, kept across waits; null when there is none.
NMDevice* nmhelper_ref_device(const char* ifname);
// Whether the network device is still there: the one NetworkManager knows under its name, and
// a link the kernel still has. After any wait a device may have been unplugged (then -ENOENT
// for the request).
bool nmhelper_device_present(NMDevice* device);
// The uuid of the profile the device runs; empty when it runs none (or device is null).
std::string nmDeviceActiveUuid(NMDevice* device);

// Deletes every profile bound to the device (by interface name, or by hardware address when a
// profile names no interface) except the one with uuid `spareUuid` (may be null).
NmTask nmhelper_remove_connections(NMDevice* device, const char* spareUuid);
