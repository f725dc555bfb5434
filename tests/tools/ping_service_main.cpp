// Test driver: feeds ping requests to the request handler over a socket-pair bus and prints its
// replies and the result messages it sends. Reads standard input a line at a time:
//   a JSON text   -> handler call; prints "handle H" or "refused RESULT"
//   "wait"        -> prints "result JSON" for every accepted probe still outstanding
// End of input waits like "wait". The handler's own log lines go to standard output too.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/service_context.h"
#include "bus/trel_frame.h"
#include "bus/trel_header.h"
#include "tools/networktools.h"

namespace {

constexpr int kResultWaitMs = 120000;

int callHandler(ServiceContext& context, std::string text, int32_t* handle) {
    unsigned char reply[64] = {};
    TrelRequest req{};
    req.client = context.client;
    req.interface = context.client->defaultInterface;
    req.apiId = NETWORKTOOLS_PING_REQUEST_ID;
    req.replyWanted = 1;
    req.payload = reinterpret_cast<unsigned char*>(text.data());  // NUL-terminated, as in inBuf
    req.length = static_cast<uint32_t>(text.size());
    decoderWrap(&req.decoder, text.data(), static_cast<int>(text.size()));
    req.replyPayload = reply;
    req.replyCapacity = sizeof reply;
    encoderWrap(&req.encoder, reply, sizeof reply);
    req.context = &context;
    int result = networktools_trelHandlePing(&req);
    if (result == 4) {
        Decoder dec;
        decoderWrap(&dec, reply, result);
        *handle = decodeInt32(&dec);
    }
    return result;
}

// The payload of the next message frame without its NUL; false when none came in time.
bool readMessage(int fd, std::string* payload) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    // Probe threads dropping privilege signal every thread, which interrupts poll.
    while ((ready = poll(&entry, 1, kResultWaitMs)) < 0 && errno == EINTR) {
    }
    unsigned char header[TREL_HEADER_SIZE + 1];
    if (ready != 1 || trelReadFully(fd, header, TREL_HEADER_SIZE) != 0) return false;
    TrelFrameHeader frame = trelHeaderDecode(header, 0);
    std::vector<unsigned char> bytes(frame.length + 1);
    if (trelReadFully(fd, bytes.data(), frame.length) != 0) return false;
    if (trelControlApi(frame.word) != NETWORKTOOLS_PING_RESULT_ID) return false;
    payload->assign(bytes.begin(), bytes.begin() + (frame.length > 0 ? frame.length - 1 : 0));
    return true;
}

bool awaitResults(int fd, int& outstanding) {
    for (std::string payload; outstanding > 0; --outstanding) {
        if (!readMessage(fd, &payload)) {
            printf("missing %d results\n", outstanding);
            return false;
        }
        printf("result %s\n", payload.c_str());
        fflush(stdout);
    }
    return true;
}

}  // namespace

int main() {
    int ends[2];
    // Static: probe threads may still be inside a send when main returns, so the client is
    // never freed; a static keeps it reachable rather than leaked.
    static ServiceContext context{};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 ||
        !(context.client = trelCreate("ping.test", 1, "localhost", nullptr, 0, 0))) {
        fprintf(stderr, "cannot set up the bus pair\n");
        return 1;
    }
    context.client->socket = ends[0];
    context.client->connected = 1;
    int outstanding = 0;
    bool ok = true;
    for (std::string line; ok && std::getline(std::cin, line);) {
        int32_t handle = 0;
        if (line == "wait") {
            ok = awaitResults(ends[1], outstanding);
        } else if (int result = callHandler(context, line, &handle); result == 4) {
            printf("handle %d\n", handle);
            ++outstanding;
        } else {
            printf("refused %d\n", result);
        }
        fflush(stdout);
    }
    ok = ok && awaitResults(ends[1], outstanding);
    return ok ? 0 : 1;
}
