#include "nm/nm_watch.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "nm/nm_device.h"
#include "nm/nm_follow.h"
#include "nm/nm_operation.h"
#include "nm/nm_wifi.h"
#include "nm/nm_worker.h"
#include "nm/nmjson_unmarshal.h"
#include "platform/platform.h"

namespace {

struct WatchableSignal {
    const char* name;
    GCallback callback;
    bool wifiOnly;
};

const WatchableSignal kSignals[] = {
    {"state-changed", G_CALLBACK(onDeviceStateChanged), false},
    {"access-point-added", G_CALLBACK(onAccessPointAdded), true},
    {"access-point-removed", G_CALLBACK(onAccessPointRemoved), true},
};
constexpr int kStateSignal = 0;
// Not a device signal: the watch of NetworkManager's device list (property "devices").
constexpr int kDeviceListWatch = static_cast<int>(std::size(kSignals));
constexpr const char* kDeviceListProperty = "devices";
// Device-list watches have no signal connection to take a handle from; theirs have the top bit
// set, which a signal id of this process never reaches.
uint32_t gNextListHandle = 0x80000001u;

// The daemon's one context; the client-level signals need it.
ServiceContext* gService = nullptr;
// The client whose device-added and device-removed signals we follow.
NmFollow& gFollowed = *new NmFollow;

ServiceContext* serviceOf(void* data) {
    return static_cast<ServiceContext*>(data);
}

int signalNamed(const char* property) {
    for (int i = 0; i < static_cast<int>(std::size(kSignals)); ++i) {
        if (strcmp(kSignals[i].name, property) == 0) return i;
    }
    return -1;
}

bool signalFits(int signal, NMDevice* device) {
    return signal < kDeviceListWatch && (!kSignals[signal].wifiOnly || NM_IS_DEVICE_WIFI(device));
}

// "device-added" or "device-removed" to every watch of the device list.
void sendDeviceListEvent(NMDevice* device, const char* eventName) {
    const char* ifname = nm_device_get_iface(device);
    if (gService == nullptr || ifname == nullptr) return;
    const char* type = nm_device_get_type_description(device);
    for (const WatchSlot& slot : gService->watches) {
        if (slot.handle == 0 || slot.signal != kDeviceListWatch) continue;
        trelSendJsonObjectTo(trelDefaultInterface(gService->client), slot.route, LK_MSG_EVENT,
                             [&](Encoder* enc) {
                                 encodeJsonNameStrValue(enc, "event", eventName);
                                 encodeJsonNameStrValue(enc, "interface", ifname);
                                 encodeJsonNameStrValue(enc, "type", type ? type : "");
                             });
    }
}

void sendStateEvent(ServiceContext* service, TrelRoute route, const char* ifname, uint32_t state,
                    uint32_t reason) {
    trelSendJsonObjectTo(trelDefaultInterface(service->client), route, LK_MSG_EVENT,
                         [&](Encoder* enc) {
                             encodeJsonNameStrValue(enc, "event", "nmdevicestate");
                             encodeJsonNameStrValue(enc, "interface", ifname);
                             encodeJsonNameIntValue(enc, "nmdevicestate", static_cast<int>(state));
                             encodeJsonNameIntValue(enc, "reason", static_cast<int>(reason));
                         });
}

// The slot a signal handler was connected for: its data.
WatchSlot* slotOf(void* data) {
    return static_cast<WatchSlot*>(data);
}

// Connects the slot's signal on the device, holding a reference for as long as it is connected.
void attach(ServiceContext*, WatchSlot& slot, NMDevice* device) {
    slot.device = NM_DEVICE(g_object_ref(device));
    slot.signalId =
        g_signal_connect(device, kSignals[slot.signal].name, kSignals[slot.signal].callback, &slot);
}

// The device went away: a state watch hears of it once, then waits for the name to return.
void detach(ServiceContext* service, WatchSlot& slot, bool announce) {
    if (slot.device == nullptr) return;
    g_signal_handler_disconnect(slot.device, slot.signalId);
    g_clear_object(&slot.device);
    slot.signalId = 0;
    if (announce && slot.signal == kStateSignal) {
        sendStateEvent(service, slot.route, slot.ifname, NM_DEVICE_STATE_UNMANAGED,
                       NM_DEVICE_STATE_REASON_REMOVED);
    }
}

void clearSlot(ServiceContext* service, WatchSlot& slot) {
    detach(service, slot, false);
    trelRouteHold(service->client, slot.route, -1);
    slot = WatchSlot{};
}

void onDeviceRemoved(NMClient*, NMDevice* device, gpointer data) {
    if (gService == nullptr) return;
    if (data != nullptr) sendDeviceListEvent(device, "device-removed");
    for (WatchSlot& slot : gService->watches) {
        if (slot.handle != 0 && slot.device == device) {
            yebLog("watched device %s removed; the watch waits for it\n", slot.ifname);
            detach(gService, slot, true);
        }
    }
}

void onDeviceAdded(NMClient*, NMDevice* device, gpointer data) {
    if (gService == nullptr) return;
    if (data != nullptr) sendDeviceListEvent(device, "device-added");
    const char* ifname = nm_device_get_iface(device);
    for (WatchSlot& slot : gService->watches) {
        if (slot.handle == 0 || slot.device != nullptr || ifname == nullptr) continue;
        if (strcmp(slot.ifname, ifname) != 0 || !signalFits(slot.signal, device)) continue;
        yebLog("watched device %s is back; watch %u re-attached\n", ifname, slot.handle);
        attach(gService, slot, device);
    }
}

// Ends the watch the requester made; another peer's watch is not there for it.
int removeWatch(ServiceContext* service, uint32_t handle, TrelRoute requester) {
    for (WatchSlot& slot : service->watches) {
        if (slot.handle == handle && trelSameOwner(slot.route, requester)) {
            clearSlot(service, slot);
            return 0;
        }
    }
    return -ENOENT;
}

// A free slot when the pool has one and the requester holds less than its share.
WatchSlot* freeSlot(ServiceContext* service, TrelRoute requester) {
    WatchSlot* free = nullptr;
    int used = 0, held = 0;
    for (WatchSlot& slot : service->watches) {
        if (slot.handle == 0) {
            if (free == nullptr) free = &slot;
            continue;
        }
        ++used;
        held += trelSameOwner(slot.route, requester) ? 1 : 0;
    }
    return trelPoolAdmits(held, used, SERVICE_WATCH_SLOTS) ? free : nullptr;
}

int addDeviceListWatch(TrelRequest* request, ServiceContext* service) {
    WatchSlot* slot = freeSlot(service, request->route);
    if (!slot) return -ENOENT;
    *slot = WatchSlot{};
    slot->signal = kDeviceListWatch;
    slot->route = request->route;
    slot->handle = gNextListHandle++;
    trelRouteHold(service->client, slot->route, 1);  // a watch keeps its control client
    encodeUint32(&request->encoder, slot->handle);
    return encoderSize(&request->encoder);
}

int addWatch(TrelRequest* request, ServiceContext* service, const nmaWatchInterfaceCfg& config) {
    // A request that waited while its connection went: the watch would follow a later one.
    if (!trelRouteLive(service->client, request->route)) return -ENOENT;
    if (strcmp(config.property, kDeviceListProperty) == 0)
        return addDeviceListWatch(request, service);
    NMDevice* device = nmhelper_find_device(config.interface);
    if (!device) return -ENOENT;
    WatchSlot* slot = freeSlot(service, request->route);
    if (!slot) return -ENOENT;
    int signal = signalNamed(config.property);
    // The access-point signals exist on Wi-Fi devices only; asking for them elsewhere is
    // refused like an unknown name.
    if (signal < 0 || !signalFits(signal, device)) {
        yebLog("error: nmadapter_watchInterface() unknown property: %s\n", config.property);
        return -EINVAL;
    }
    *slot = WatchSlot{};
    g_strlcpy(slot->ifname, config.interface, sizeof slot->ifname);
    slot->signal = signal;
    slot->route = request->route;
    attach(service, *slot, device);
    slot->handle = static_cast<uint32_t>(slot->signalId);  // unique for the process's life
    trelRouteHold(service->client, slot->route, 1);        // a watch keeps its control client
    encodeUint32(&request->encoder, slot->handle);
    return encoderSize(&request->encoder);
}

}  // namespace

void nmWatchesOnClient(NMClient* client) {
    gFollowed.reset();
    if (gService != nullptr) {
        for (WatchSlot& slot : gService->watches) {
            if (slot.device != nullptr) detach(gService, slot, true);
        }
    }
    if (client == nullptr) return;
    gFollowed.reset(client);
    // Non-null data marks a signal: the walk over the present devices below announces nothing.
    gFollowed.connect(NM_CLIENT_DEVICE_REMOVED, G_CALLBACK(onDeviceRemoved), &gFollowed);
    gFollowed.connect(NM_CLIENT_DEVICE_ADDED, G_CALLBACK(onDeviceAdded), &gFollowed);
    const GPtrArray* devices = nm_client_get_devices(client);
    for (guint i = 0; devices && i < devices->len; i++) {
        onDeviceAdded(client, NM_DEVICE(devices->pdata[i]), nullptr);
    }
}

ServiceContext* nmServiceContext() {
    return gService;
}

ServiceContext* nmadapter_context_create(TrelClient* client, int verbose) {
    auto* context = new (std::nothrow) ServiceContext{};
    if (context == nullptr) return nullptr;
    context->client = client;
    context->verbose = verbose;
    gService = context;
    return context;
}

void nmadapter_context_free(ServiceContext* context) {
    if (gService == context) gService = nullptr;
    delete context;
}

void nmWatchesEndOnChannel(ServiceContext* service, int channel) {
    // Only the connection that went: a later one on the channel may have watches already.
    for (WatchSlot& slot : service->watches) {
        if (slot.handle != 0 && slot.route.channel == channel &&
            !trelRouteLive(service->client, slot.route)) {
            clearSlot(service, slot);
        }
    }
}

namespace {

struct ClosedChannel {
    ServiceContext* service;
    int channel;
};

int endChannelWatches(void* data) {
    std::unique_ptr<ClosedChannel> closed(static_cast<ClosedChannel*>(data));
    nmWatchesEndOnChannel(closed->service, closed->channel);
    return 0;
}

}  // namespace

void nmadapter_post_control_closed(ServiceContext* context, int channel) {
    if (auto* closed = new (std::nothrow) ClosedChannel{context, channel}) {
        if (!nmadapter_post_state(endChannelWatches, closed)) delete closed;
    }
}

int nmadapter_onDisconnect(void* context) {
    NM_ASSERT_ON_WORKER();
    yebLog("nmadapter onDisconnect()\n");
    nmWatchesEndOnChannel(serviceOf(context), TREL_BUS_CHANNEL);
    return 0;
}

NmTask nmadapter_watchInterface(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    nmaWatchInterfaceCfg config;
    int status = nmjson_unmarshal_nmaWatchInterfaceCfg(&request->decoder, &config);
    if (status < 0) co_return status;
    auto* service = serviceOf(request->context);
    if (config.handle != 0) co_return removeWatch(service, config.handle, request->route);
    co_return addWatch(request, service, config);
}

void handle_wifi_ap_event(ServiceContext* service, TrelRoute route, const char* ifname,
                          NMAccessPoint* ap, const char* eventName) {
    if (nmadapter_encodeAPDetails(nullptr, ap) < 0) return;  // a hidden network
    trelSendJsonObjectTo(trelDefaultInterface(service->client), route, LK_MSG_EVENT,
                         [&](Encoder* enc) {
                             encodeJsonNameStrValue(enc, "event", eventName);
                             encodeJsonNameStrValue(enc, "interface", ifname);
                             nmadapter_encodeAPDetails(enc, ap);
                         });
}

void onDeviceStateChanged(NMDevice* device, unsigned newState, unsigned, unsigned reason,
                          void* data) {
    const char* ifname = nm_device_get_iface(device);
    yebLog("NMDevice state changed: %s (%d, reason %u)\n", ifname, static_cast<int>(newState),
           reason);
    if (gService != nullptr)
        sendStateEvent(gService, slotOf(data)->route, ifname, newState, reason);
}

void onAccessPointAdded(NMDevice* device, NMAccessPoint* ap, void* data) {
    if (gService == nullptr) return;
    handle_wifi_ap_event(gService, slotOf(data)->route, nm_device_get_iface(device), ap,
                         "access-point-added");
}

void onAccessPointRemoved(NMDevice* device, NMAccessPoint* ap, void* data) {
    if (gService == nullptr) return;
    handle_wifi_ap_event(gService, slotOf(data)->route, nm_device_get_iface(device), ap,
                         "access-point-removed");
}
