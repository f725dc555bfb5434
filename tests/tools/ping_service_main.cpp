// Test driver: feeds ping requests to the request handler and prints its replies and the result
// messages it sends. Reads standard input a line at a time:
//   a JSON text   -> handler call; prints "handle H" or "refused RESULT"
//   "wait"        -> prints "result JSON" for every accepted probe still outstanding
// End of input waits like "wait". The handler's own log lines go to standard output too.
#include <cstdio>
#include <iostream>
#include <string>

#include "tests/tools/ping_bus.h"
#include "tools/networktools.h"

namespace {

constexpr int kResultWaitMs = 120000;

bool awaitResults(PingBus& bus, int& outstanding) {
    BusMessage message;
    while (outstanding > 0) {
        if (!bus.readMessage(kResultWaitMs, &message)) {
            printf("missing %d results\n", outstanding);
            return false;
        }
        if (message.apiId != NETWORKTOOLS_PING_RESULT_ID) {
            printf("unexpected message %u\n", message.apiId);
            continue;
        }
        printf("result %s\n", message.payload.c_str());
        fflush(stdout);
        --outstanding;
    }
    return true;
}

}  // namespace

int main() {
    PingBus bus;
    if (!bus.ok()) {
        fprintf(stderr, "cannot set up the bus pair\n");
        return 1;
    }
    int outstanding = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "wait") {
            if (!awaitResults(bus, outstanding)) return 1;
            continue;
        }
        int32_t handle = 0;
        int result = bus.request(line, &handle);
        if (result == 4) {
            printf("handle %d\n", handle);
            ++outstanding;
        } else {
            printf("refused %d\n", result);
        }
        fflush(stdout);
    }
    return awaitResults(bus, outstanding) ? 0 : 1;
}
