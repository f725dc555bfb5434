#include "bus/trel_deferred.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "bus/trel_frame.h"
#include "bus/trel_lock.h"
#include "platform/platform.h"

struct TrelDeferred {
    TrelRequest request;
    MallocPtr<unsigned char> payload;
    MallocPtr<unsigned char> reply;

    // Request and reply may hold a key (requests 3 and 4): nothing of them outlives the request.
    ~TrelDeferred() {
        if (payload) explicit_bzero(payload.get(), request.length + 1);
        if (reply) explicit_bzero(reply.get(), request.replyCapacity);
    }
};

TrelDeferred* trelDeferRequest(const TrelRequest* request) {
    auto* deferred = new (std::nothrow) TrelDeferred{};
    if (deferred == nullptr) return nullptr;
    deferred->request.length = request->length;
    deferred->request.replyCapacity = request->replyCapacity;
    deferred->payload.reset(static_cast<unsigned char*>(std::malloc(request->length + 1)));
    deferred->reply.reset(static_cast<unsigned char*>(std::malloc(request->replyCapacity)));
    if (!deferred->payload || !deferred->reply) {
        delete deferred;
        return nullptr;
    }
    std::memcpy(deferred->payload.get(), request->payload, request->length);
    deferred->payload.get()[request->length] = '\0';  // as the dispatch loop hands it over
    TrelRequest& copy = deferred->request;
    copy = *request;
    copy.payload = deferred->payload.get();
    decoderWrap(&copy.decoder, copy.payload, static_cast<int>(copy.length));
    copy.replyPayload = deferred->reply.get();
    encoderWrap(&copy.encoder, copy.replyPayload, static_cast<int>(copy.replyCapacity));
    trelRouteHold(copy.client, copy.route, 1);  // a request in progress keeps its client
    return deferred;
}

TrelRequest* trelDeferredRequest(TrelDeferred* deferred) {
    return &deferred->request;
}

void trelCompleteDeferred(TrelDeferred* deferred, int result) {
    std::unique_ptr<TrelDeferred> owned(deferred);
    TrelRequest& request = deferred->request;
    result = trelFinishReply(&request, result);
    TrelClient* client = request.client;
    if (request.replyWanted) {
        TrelSendLock lock(client);
        TrelFrameHeader reply{request.magic, trelReplyStatus(result),
                              static_cast<uint16_t>(request.sequence),
                              trelReplyLength(result, request.replyCapacity), 0};
        // A reply whose connection is gone is dropped: the close was logged already.
        trelWriteRouteLocked(client, request.route, reply, request.replyPayload);
    }
    trelRouteHold(client, request.route, -1);
}
