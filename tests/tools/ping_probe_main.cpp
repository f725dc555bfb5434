// Test driver: runs one probe with the echo engine and prints every reporter event as a line
// that the integration tests parse:
//   start ADDRESS | timeout | reply SEQUENCE RTT_US CHECKSUM_OK | result CODE
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/ping_engine.h"

namespace {

void printEvent(pingRequest*, const char* addressText, const pingReply* reply) {
    if (!reply)
        printf("start %s\n", addressText);
    else if (!reply->received)
        printf("timeout\n");
    else
        printf("reply %u %llu %u\n", reply->sequence, static_cast<unsigned long long>(reply->rttUs),
               reply->checksumOk);
    fflush(stdout);
}

uint32_t number(const char* text) {
    return static_cast<uint32_t>(strtoul(text, nullptr, 0));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s host ipVersion count totalTimeoutMs intervalMs timeoutMs\n",
                argv[0]);
        return 2;
    }
    pingRequest request{};
    snprintf(request.hostname, sizeof request.hostname, "%s", argv[1]);
    request.ipVersion = number(argv[2]);
    request.pingCount = number(argv[3]);
    request.totalTimeout = number(argv[4]);
    request.pingInterval = number(argv[5]);
    request.pingTimeout = number(argv[6]);
    int result = ping_operation(&request, printEvent);
    printf("result %d\n", result);
    return 0;
}
