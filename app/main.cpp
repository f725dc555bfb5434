// linkKeeper: gives the device's services one place to inspect and configure its network
// interfaces over the trel bus, driving NetworkManager.
#include <unistd.h>

#include <cstdio>

#include "app/request_table.h"
#include "app/service.h"
#include "app/stop_signals.h"
#include "app/watchdog.h"
#include "bus/bus.h"
#include "nm/nm.h"
#include "platform/platform.h"

namespace {

constexpr unsigned kRevision = 1;
// How long a stop signal waits for a NetworkManager request in progress.
constexpr int kStopTimeoutMs = 10000;

struct Options {
    bool verbose = false;
    bool console = false;
    const char* server = nullptr;
    const char* propertiesPath = nullptr;
};

void printUsage() {
    std::printf("Usage: linkKeeper [-h][-v][-c][-s server][-p file] (rev=%d)\n", kRevision);
    std::printf("   -h : Display this usage information.\n");
    std::printf("   -v : Enable verbose output for debugging.\n");
    std::printf("   -c : Log to console instead of syslog.\n");
    std::printf("   -s : Server to connect to, overrides properties.\n");
    std::printf("   -p : Use the specified properties file to override settings.\n");
}

// -1 to go on, else the status main returns at once.
int parseOptions(int argc, char** argv, Options* options) {
    int option;
    while ((option = getopt(argc, argv, "hvcs:p:")) != -1) {
        switch (option) {
            case 'h':
                printUsage();
                return 255;
            case 'v':
                options->verbose = true;
                break;
            case 'c':
                options->console = true;
                break;
            case 's':
                options->server = optarg;
                break;
            case 'p':
                options->propertiesPath = optarg;
                break;
            case '?':  // unknown letter or missing argument; getopt has said which
                return 1;
            default:
                break;
        }
    }
    return -1;
}

Properties* loadProperties(const Options& options) {
    if (options.propertiesPath == nullptr) return nullptr;
    Properties* properties = propLoad(options.propertiesPath);
    if (properties == nullptr && options.verbose) {
        yebLog("Failed to load property file: %s\n", options.propertiesPath);
    }
    return properties;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int status = parseOptions(argc, argv, &options); status >= 0) return status;
    blockStopSignals();
    if (!options.console) yebLogToSyslog();
    TrelClient* client =
        trelCreate("yeb.linkKeeper", kRevision, options.server, loadProperties(options), 0, 0);
    ServiceContext* context = client ? nmadapter_context_create(client, options.verbose) : nullptr;
    if (context == nullptr) {
        yebLog("Failed to create the bus client: out of memory\n");
        return 1;
    }
    int status = nmadapter_init();
    if (status < 0) return status;
    if (!startStopWatcher(client, kStopTimeoutMs)) yebLog("no stop-signal thread: kill to stop\n");
    trelSetEventHandler(client, eventHandler, context);
    registerHandlers(client, context);
    startWatchdog(client);
    yebNotifyReady();
    trelDispatch(client);
}
