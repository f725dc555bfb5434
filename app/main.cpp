// linkKeeper: gives the device's services one place to inspect and configure its network
// interfaces over the trel bus, driving NetworkManager.
#include <getopt.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/request_table.h"
#include "app/service.h"
#include "app/stop_signals.h"
#include "app/watchdog.h"
#include "bus/bus.h"
#include "nm/nm.h"
#include "platform/platform.h"
#include "tools/tools.h"

namespace {

constexpr unsigned kRevision = 1;
// How long a stop signal waits for a NetworkManager request in progress.
constexpr int kStopTimeoutMs = 10000;

// Keys pass through the daemon (requests 3 and 4). What held one is wiped where we free it;
// for what libraries free (GLib, GDBus), glibc clears every freed block, which its per-thread
// cache of small blocks would skip, so that cache is turned off. Symbols are bound at start:
// the loader's lazy binding saves every vector register on the stack, and those may hold a
// key a string function just read. Both are read only at start: hence one exec of ourselves.
// No core file either.
void hideSecrets(char** argv) {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    mallopt(M_PERTURB, 0xA5);
    constexpr const char* kNoCache = "glibc.malloc.tcache_count=0";
    const char* tunables = getenv("GLIBC_TUNABLES");
    bool cached = tunables == nullptr || strstr(tunables, kNoCache) == nullptr;
    if (!cached && getenv("LD_BIND_NOW") != nullptr) return;
    std::string wanted = tunables ? std::string(tunables) + ":" + kNoCache : kNoCache;
    if (cached) setenv("GLIBC_TUNABLES", wanted.c_str(), 1);
    setenv("LD_BIND_NOW", "1", 1);
    execv("/proc/self/exe", argv);
    yebLog("warning: freed blocks may keep keys: %s\n", strerror(errno));
}

struct Options {
    bool verbose = false;
    bool console = false;
    const char* server = nullptr;
    const char* propertiesPath = nullptr;
    const char* controlPath = nullptr;  // null: from the properties, else the default
    const char* runtimeDir = LK_RUNTIME_DIR;
};

void printHelp() {
    std::printf(
        "Usage: linkKeeper [-h][-v][-c][-s server][-p file][-C path][-r dir] [--help] [--version]\n"
        "The device's network-configuration service: answers requests on the trel bus and on\n"
        "a local control socket, and drives NetworkManager.\n\n"
        "  -h              print the short usage and exit with status 255\n"
        "  -v              verbose: also log a properties file that cannot be read\n"
        "  -c              log to standard output instead of syslog\n"
        "  -s server       the bus server: host, host:port, [v6-address]:port or a bare IPv6\n"
        "                  address (default localhost, port 10001); overrides the properties\n"
        "  -p file         properties file (default %s); keys\n"
        "                  trel.yeb.linkKeeper.server, trel.server, trel.yeb.linkKeeper.port,\n"
        "                  trel.port, linkKeeper.control, linkKeeper.controlGroup (default\n"
        "                  netdev: its members may run the commands that only read),\n"
        "                  linkKeeper.controlIdleSeconds (default 60: a silent client that\n"
        "                  holds no watch, probe or request is closed then)\n"
        "  -C path         the control socket for lkctl (default %s; \"\" for none)\n"
        "  -r dir          runtime directory, where pending changes are recorded so that a\n"
        "                  restarted service keeps them (default %s)\n"
        "  --help          print this help and exit\n"
        "  --version       print the version and exit\n\n"
        "SIGTERM or SIGINT stop the service (status 0); SIGHUP reads the properties again and\n"
        "moves to another bus server when they name one. See linkKeeper(8).\n",
        LK_PROPERTIES_PATH, LK_DEFAULT_CONTROL_PATH, LK_RUNTIME_DIR);
}

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
    static const option kLong[] = {{"help", no_argument, nullptr, 'H'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "hvcs:p:C:r:", kLong, nullptr)) != -1) {
        switch (option) {
            case 'H':
                printHelp();
                return 0;
            case 'V':
                std::printf("linkKeeper %s (rev=%u)\n", LK_VERSION, kRevision);
                return 0;
            case 'C':
                options->controlPath = optarg;
                break;
            case 'r':
                options->runtimeDir = optarg;
                break;
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

// A key of the control socket: the properties given, else the platform's, else fallback.
std::string controlSetting(Properties* properties, const char* key, const char* fallback) {
    Properties* platform = properties == nullptr ? propLoad(LK_PROPERTIES_PATH) : nullptr;
    Properties* source = properties != nullptr ? properties : platform;
    const char* configured = source != nullptr ? propGet(source, key) : nullptr;
    std::string value = configured != nullptr ? configured : fallback;
    if (platform != nullptr) propFree(platform);
    return value;
}

// The control socket's path: -C, else the properties' key, else the default; empty: none.
std::string controlPath(const Options& options, Properties* properties) {
    if (options.controlPath != nullptr) return options.controlPath;
    return controlSetting(properties, LK_CONTROL_KEY, LK_DEFAULT_CONTROL_PATH);
}

// How long a silent control client that holds nothing is kept; a bad value is logged and the
// default used.
int controlIdleSeconds(Properties* properties) {
    std::string text = controlSetting(properties, LK_CONTROL_IDLE_KEY, "");
    long seconds = LK_CONTROL_IDLE_DEFAULT_S;
    if (!text.empty() && !propParseNumber(text.c_str(), 1, LK_CONTROL_IDLE_MAX_S, &seconds)) {
        yebLog("%s \"%s\" is not 1 to %d seconds; %d used\n", LK_CONTROL_IDLE_KEY, text.c_str(),
               LK_CONTROL_IDLE_MAX_S, LK_CONTROL_IDLE_DEFAULT_S);
    }
    return static_cast<int>(seconds);
}

}  // namespace

int main(int argc, char** argv) {
    hideSecrets(argv);
    Options options;
    if (int status = parseOptions(argc, argv, &options); status >= 0) return status;
    blockStopSignals();
    if (!options.console) yebLogToSyslog();
    Properties* properties = loadProperties(options);
    std::string control = controlPath(options, properties);
    TrelClient* client = trelCreate("yeb.linkKeeper", kRevision, options.server, properties, 0, 0);
    ServiceContext* context = client ? nmadapter_context_create(client, options.verbose) : nullptr;
    if (context == nullptr) {
        yebLog("Failed to create the bus client: out of memory\n");
        return 1;
    }
    nmadapter_set_runtime_dir(options.runtimeDir);
    nmadapter_set_verifier(networktools_echoCheck);  // request 3's "verify"
    int status = nmadapter_init();
    if (status < 0) return status;
    if (!startStopWatcher(client, kStopTimeoutMs)) yebLog("no stop-signal thread: kill to stop\n");
    if (!watchReloadSignal(client, options.server, options.propertiesPath))
        yebLog("SIGHUP cannot be watched: it is ignored\n");
    trelSetEventHandler(client, eventHandler, context);
    registerHandlers(client, context);
    std::string group = controlSetting(properties, LK_CONTROL_GROUP_KEY, LK_DEFAULT_CONTROL_GROUP);
    if (!control.empty() && trelListenControl(client, control.c_str(), group.c_str(),
                                              controlIdleSeconds(properties)) != 0) {
        yebLog("linkKeeper: cannot serve the control socket %s; exiting\n", control.c_str());
        return 1;
    }
    startWatchdog(client);
    yebNotifyReady();
    trelDispatch(client);
}
