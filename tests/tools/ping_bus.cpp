#include "tests/tools/ping_bus.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "bus/trel_frame.h"
#include "bus/trel_header.h"
#include "tools/networktools.h"

PingBus::PingBus() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    peer_.reset(ends[1]);
    context_.client = trelCreate("ping.test", 1, "localhost", nullptr, 0, 0);
    if (!context_.client) {
        close(ends[0]);
        return;
    }
    context_.client->socket = ends[0];
    context_.client->connected = 1;
}

PingBus::~PingBus() {
    if (!context_.client) return;
    // A probe thread releases the send lock only after its message is on the wire; taking the
    // lock once waits for that, so the client is not freed under a thread still in the send.
    // (The daemon's client lives for the whole process and never needs this.)
    pthread_mutex_lock(&context_.client->sendLock);
    pthread_mutex_unlock(&context_.client->sendLock);
    trelFree(context_.client);
}

int PingBus::request(const std::string& text, int32_t* handle) {
    std::vector<unsigned char> payload(text.begin(), text.end());
    payload.push_back(0);
    unsigned char reply[64] = {};
    TrelRequest req{};
    req.client = context_.client;
    req.interface = context_.client->defaultInterface;
    req.apiId = NETWORKTOOLS_PING_REQUEST_ID;
    req.replyWanted = 1;
    req.payload = payload.data();
    req.length = static_cast<uint32_t>(text.size());
    decoderWrap(&req.decoder, payload.data(), static_cast<int>(text.size()));
    req.replyPayload = reply;
    req.replyCapacity = sizeof reply;
    encoderWrap(&req.encoder, reply, sizeof reply);
    req.context = &context_;
    int result = networktools_trelHandlePing(&req);
    if (result == 4) {
        Decoder dec;
        decoderWrap(&dec, reply, result);
        *handle = decodeInt32(&dec);
    }
    return result;
}

bool PingBus::readMessage(int timeoutMs, BusMessage* message) {
    // Probe threads dropping privilege signal every thread, which interrupts poll.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{peer_.get(), POLLIN, 0};
        int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready == 1) break;
        if (ready == 0 || errno != EINTR) return false;
    }
    unsigned char header[TREL_HEADER_SIZE + 1];
    if (trelReadFully(peer_.get(), header, TREL_HEADER_SIZE) != 0) return false;
    TrelFrameHeader frame = trelHeaderDecode(header, context_.client->byteOrder);
    std::vector<unsigned char> payload(frame.length + 1);
    if (trelReadFully(peer_.get(), payload.data(), frame.length) != 0) return false;
    message->apiId = trelControlApi(frame.word);
    size_t length = frame.length;
    if (length > 0 && payload[length - 1] == 0) --length;
    message->payload.assign(payload.begin(), payload.begin() + static_cast<long>(length));
    return true;
}
