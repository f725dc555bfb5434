#include "bus/trel_message.h"

#include <cerrno>

#include "bus/trel_header.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace {

// Room for a typical event; the encoder grows for larger ones.
constexpr int kInitialMessageSize = 1024;

class OwnedEncoder {
  public:
    OwnedEncoder() : ok_(encoderCreate(&enc_, kInitialMessageSize) == 0) {}
    ~OwnedEncoder() {
        if (ok_) encoderFree(&enc_);
    }
    OwnedEncoder(const OwnedEncoder&) = delete;
    OwnedEncoder& operator=(const OwnedEncoder&) = delete;
    bool ok() const { return ok_; }
    Encoder* get() { return &enc_; }

  private:
    Encoder enc_{};
    bool ok_;
};

}  // namespace

int trelSendJsonObject(TrelInterface* iface, uint8_t apiId, TrelJsonMembers writeMembers,
                       void* context) {
    return trelSendJsonObjectTo(iface, trelBusRoute(iface->client), apiId, writeMembers, context);
}

int trelSendJsonObjectTo(TrelInterface* iface, TrelRoute route, uint8_t apiId,
                         TrelJsonMembers writeMembers, void* context) {
    OwnedEncoder message;
    if (!message.ok()) {
        yebLog("message %u dropped: no memory for its encoder\n", apiId);
        return -ENOMEM;
    }
    Encoder* enc = message.get();
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    writeMembers(enc, context);
    encodeJsonObjectEnd(enc);
    if (encodeJsonEnd(enc) != 0 || encoderSize(enc) > static_cast<int>(TREL_MAX_PAYLOAD)) {
        yebLog("message %u dropped: its text could not be built whole\n", apiId);
        return -EMSGSIZE;
    }
    trelSendMsgTo(iface, route, apiId, enc->data, encoderSize(enc));
    return 0;
}
