// linkKeeper: gives the device's services one place to inspect and configure its network
// interfaces over the trel bus, driving NetworkManager.
#include <unistd.h>

#include <cstdio>

#include "app/request_table.h"
#include "app/service.h"
#include "app/service_context.h"
#include "bus/trel.h"
#include "nm/nm_worker.h"
#include "platform/log.h"
#include "platform/properties.h"

namespace {

constexpr unsigned kRevision = 1;

void printUsage() {
    std::printf("Usage: linkKeeper [-h][-v][-c][-s server][-p file] (rev=%d)\n", kRevision);
    std::printf("   -h : Display this usage information.\n");
    std::printf("   -v : Enable verbose output for debugging.\n");
    std::printf("   -c : Log to console instead of syslog.\n");
    std::printf("   -s : Server to connect to, overrides properties.\n");
    std::printf("   -p : Use the specified properties file to override settings.\n");
}

}  // namespace

int main(int argc, char** argv) {
    ServiceContext context{};
    bool console = false;
    const char* server = nullptr;
    const char* propertiesPath = nullptr;

    int option;
    while ((option = getopt(argc, argv, "hvcs:p:")) != -1) {
        switch (option) {
            case 'h':
                printUsage();
                return 255;
            case 'v':
                context.verbose = 1;
                break;
            case 'c':
                console = true;
                break;
            case 's':
                server = optarg;
                break;
            case 'p':
                propertiesPath = optarg;
                break;
            case '?':  // unknown letter or missing argument; getopt has said which
                return 1;
            default:
                break;
        }
    }

    if (!console) yebLogToSyslog();
    Properties* properties = nullptr;
    if (propertiesPath != nullptr) {
        properties = propLoad(propertiesPath);
        if (properties == nullptr && context.verbose) {
            yebLog("Failed to load property file: %s\n", propertiesPath);
        }
    }
    context.client = trelCreate("yeb.linkKeeper", kRevision, server, properties, 0, 0);
    if (context.client == nullptr) {
        yebLog("Failed to create the bus client: out of memory\n");
        return 1;
    }
    int status = nmadapter_init();
    if (status < 0) return status;
    trelSetEventHandler(context.client, eventHandler, &context);
    registerHandlers(&context);
    trelDispatch(context.client);
}
