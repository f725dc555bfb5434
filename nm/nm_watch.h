#pragma once
// Watches on a device's libnm signals (request id 5, declared in nm/nm.h), held in the
// ServiceContext's slots, and the events (message id 6) each emission sends. Everything runs
// on the NetworkManager worker.
#include <NetworkManager.h>

#include "nm/service_context.h"

// The daemon's one context, once made (null before).
ServiceContext* nmServiceContext();

// No event for an access point without SSID (a hidden network).
void handle_wifi_ap_event(ServiceContext* service, TrelRoute route, const char* ifname,
                          NMAccessPoint* ap, const char* eventName);
// Ends the watches made over a channel (the bus, or a control client that went away).
void nmWatchesEndOnChannel(ServiceContext* service, int channel);

// Signal callbacks; data is the watch slot.
void onDeviceStateChanged(NMDevice* device, unsigned newState, unsigned oldState, unsigned reason,
                          void* data);
void onAccessPointAdded(NMDevice* device, NMAccessPoint* ap, void* data);
void onAccessPointRemoved(NMDevice* device, NMAccessPoint* ap, void* data);
