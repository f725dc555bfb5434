#include "app/service.h"

#include "codec/codec.h"
#include "nm/nm.h"
#include "platform/platform.h"

namespace {

void encodeClass(Encoder* enc, const char* name, int (*count)(), const char* (*entry)(int)) {
    encodeJsonName(enc, name);
    encodeJsonListStart(enc);
    for (int i = 0; i < count(); ++i) encodeJsonStrValue(enc, entry(i));
    encodeJsonListEnd(enc);
}

}  // namespace

void eventHandler(TrelClient* /*client*/, int event, void* context) {
    if ((event & 0xFF) == TREL_EVENT_CONTROL_CLOSED) {
        nmadapter_post_control_closed(static_cast<ServiceContext*>(context), event >> 8);
        return;
    }
    if ((event & 0xFF) != TREL_EVENT_DISCONNECTED) return;
    yebLog("Trel Disconnected\n");
    // Posted, not waited for: the bus thread never waits on NetworkManager work.
    nmadapter_post_state(nmadapter_onDisconnect, context);
}

int getInterfaceClasses(TrelRequest* request) {
    Encoder* enc = &request->encoder;
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    encodeClass(enc, "internal", yebInternalIfaceCnt, yebInternalIface);
    encodeClass(enc, "external", yebExternalIfaceCnt, yebExternalIface);
    encodeClass(enc, "integration", yebIntegrationIfaceCnt, yebIntegrationIface);
    encodeJsonObjectEnd(enc);
    encodeJsonEnd(enc);
    return encoderSize(enc);
}
