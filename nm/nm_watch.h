#pragma once
// Request id 5: watches on a device's libnm signals, held in the ServiceContext's slots, and
// the events (message id 6) each emission sends. Everything runs on the NetworkManager worker.
#include "app/service_context.h"
#include "bus/trel.h"

// Same declarations as libnm's, so that bus-side code need not see GLib or libnm headers.
typedef struct _NMDevice NMDevice;
typedef struct _NMAccessPoint NMAccessPoint;

constexpr int NMA_EVENT_MESSAGE_ID = 6;

// Payload: the watch JSON text. Handle 0 adds a watch of "property" on "interface" and answers
// its handle (4 bytes); another handle removes that watch and answers nothing. -2 unknown
// interface or all slots in use, -22 bad request or a property the device has no signal for.
int nmadapter_watchInterface(TrelRequest* request);

// Send one event; the ServiceContext names the bus client.
void handle_nmdevicestate_change(ServiceContext* service, const char* ifname, uint32_t state);
// No event for an access point without SSID (a hidden network).
void handle_wifi_ap_event(ServiceContext* service, const char* ifname, NMAccessPoint* ap,
                          const char* eventName);

// Signal callbacks; data is the ServiceContext.
void onDeviceStateChanged(NMDevice* device, unsigned newState, unsigned oldState, unsigned reason,
                          void* data);
void onAccessPointAdded(NMDevice* device, NMAccessPoint* ap, void* data);
void onAccessPointRemoved(NMDevice* device, NMAccessPoint* ap, void* data);
