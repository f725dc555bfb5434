#include "nm/nm_disconnect.h"

#include <glib-object.h>

#include "app/service_context.h"
#include "platform/log.h"

int nmadapter_onDisconnect(void* context) {
    yebLog("nmadapter onDisconnect()\n");
    auto* service = static_cast<ServiceContext*>(context);
    for (WatchSlot& slot : service->watches) {
        if (slot.device == nullptr) continue;
        g_signal_handler_disconnect(slot.device, slot.handlerId);
        slot.device = nullptr;
        slot.handlerId = 0;
    }
    return 0;
}
