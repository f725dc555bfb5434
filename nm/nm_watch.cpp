#include "nm/nm_watch.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "nm/nm_wifi.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"
#include "nm/nmjson_unmarshal.h"
#include "platform/platform.h"

namespace {

struct WatchableSignal {
    const char* name;
    GCallback callback;
};

const WatchableSignal kSignals[] = {
    {"state-changed", G_CALLBACK(onDeviceStateChanged)},
    {"access-point-added", G_CALLBACK(onAccessPointAdded)},
    {"access-point-removed", G_CALLBACK(onAccessPointRemoved)},
};

ServiceContext* serviceOf(void* data) {
    return static_cast<ServiceContext*>(data);
}

const WatchableSignal* signalNamed(const char* property) {
    for (const WatchableSignal& signal : kSignals) {
        if (strcmp(signal.name, property) == 0) return &signal;
    }
    return nullptr;
}

void clearSlot(WatchSlot& slot) {
    g_signal_handler_disconnect(slot.device, slot.handlerId);
    slot.device = nullptr;
    slot.handlerId = 0;
}

// A device NetworkManager drops takes its watches with it, so that no slot is left pointing at
// an object libnm is about to release.
void onDeviceRemoved(NMClient*, NMDevice* device, gpointer data) {
    for (WatchSlot& slot : serviceOf(data)->watches) {
        if (slot.device == device) clearSlot(slot);
    }
}

// The client's device-removed signal is connected once per client, at the first watch.
void followDeviceRemoval(ServiceContext* service) {
    static NMClient* followed = nullptr;
    if (followed == nmClient) return;
    g_signal_connect(nmClient, NM_CLIENT_DEVICE_REMOVED, G_CALLBACK(onDeviceRemoved), service);
    followed = nmClient;
}

int removeWatch(ServiceContext* service, uint32_t handle) {
    for (WatchSlot& slot : service->watches) {
        if (slot.device != nullptr && slot.handlerId == handle) {
            clearSlot(slot);
            break;
        }
    }
    return 0;
}

WatchSlot* freeSlot(ServiceContext* service) {
    for (WatchSlot& slot : service->watches) {
        if (slot.device == nullptr) return &slot;
    }
    return nullptr;
}

int addWatch(TrelRequest* request, ServiceContext* service, const nmaWatchInterfaceCfg& config) {
    NMDevice* device = nmhelper_find_device(config.interface);
    if (!device) return -ENOENT;
    WatchSlot* slot = freeSlot(service);
    if (!slot) return -ENOENT;
    const WatchableSignal* signal = signalNamed(config.property);
    // The access-point signals exist on Wi-Fi devices only; asking for them elsewhere is
    // refused like an unknown name rather than leaving a slot with a handler id of 0.
    if (!signal || g_signal_lookup(signal->name, G_OBJECT_TYPE(device)) == 0) {
        yebLog("error: nmadapter_watchInterface() unknown property: %s\n", config.property);
        return -EINVAL;
    }
    followDeviceRemoval(service);
    gulong id = g_signal_connect_data(device, signal->name, signal->callback, service, nullptr,
                                      static_cast<GConnectFlags>(0));
    slot->device = device;
    slot->handlerId = static_cast<uint32_t>(id);
    encodeUint32(&request->encoder, slot->handlerId);
    return encoderSize(&request->encoder);
}

}  // namespace

ServiceContext* nmadapter_context_create(TrelClient* client, int verbose) {
    auto* context = new (std::nothrow) ServiceContext{};
    if (context == nullptr) return nullptr;
    context->client = client;
    context->verbose = verbose;
    return context;
}

void nmadapter_context_free(ServiceContext* context) {
    delete context;
}

int nmadapter_context_verbose(const ServiceContext* context) {
    return context->verbose;
}

int nmadapter_onDisconnect(void* context) {
    NM_ASSERT_ON_WORKER();
    yebLog("nmadapter onDisconnect()\n");
    for (WatchSlot& slot : serviceOf(context)->watches) {
        if (slot.device != nullptr) clearSlot(slot);
    }
    return 0;
}

int nmadapter_watchInterface(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    nmaWatchInterfaceCfg config;
    int status = nmjson_unmarshal_nmaWatchInterfaceCfg(&request->decoder, &config);
    if (status < 0) return status;
    auto* service = serviceOf(request->context);
    if (config.handle != 0) return removeWatch(service, config.handle);
    return addWatch(request, service, config);
}

void handle_nmdevicestate_change(ServiceContext* service, const char* ifname, uint32_t state) {
    trelSendJsonObject(service->client->defaultInterface, NMA_EVENT_MESSAGE_ID, [&](Encoder* enc) {
        encodeJsonNameStrValue(enc, "event", "nmdevicestate");
        encodeJsonNameStrValue(enc, "interface", ifname);
        encodeJsonNameIntValue(enc, "nmdevicestate", static_cast<int>(state));
    });
}

void handle_wifi_ap_event(ServiceContext* service, const char* ifname, NMAccessPoint* ap,
                          const char* eventName) {
    if (nmadapter_encodeAPDetails(nullptr, ap) < 0) return;  // a hidden network
    trelSendJsonObject(service->client->defaultInterface, NMA_EVENT_MESSAGE_ID, [&](Encoder* enc) {
        encodeJsonNameStrValue(enc, "event", eventName);
        encodeJsonNameStrValue(enc, "interface", ifname);
        nmadapter_encodeAPDetails(enc, ap);
    });
}

void onDeviceStateChanged(NMDevice* device, unsigned newState, unsigned, unsigned, void* data) {
    const char* ifname = nm_device_get_iface(device);
    yebLog("NMDevice state changed: %s (%d)\n", ifname, static_cast<int>(newState));
    handle_nmdevicestate_change(serviceOf(data), ifname, newState);
}

void onAccessPointAdded(NMDevice* device, NMAccessPoint* ap, void* data) {
    handle_wifi_ap_event(serviceOf(data), nm_device_get_iface(device), ap, "access-point-added");
}

void onAccessPointRemoved(NMDevice* device, NMAccessPoint* ap, void* data) {
    handle_wifi_ap_event(serviceOf(data), nm_device_get_iface(device), ap, "access-point-removed");
}
