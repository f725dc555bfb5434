#include "app/stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>

#include "nm/nm.h"
#include "platform/platform.h"

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

struct StopWatch {
    TrelClient* client;
    int timeoutMs;
};
StopWatch gStopWatch;

void* waitAndStop(void*) {
    sigset_t set = stopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    yebLog("signal %d: stopping\n", signal);
    yebNotifyStopping();
    if (!nmadapter_stop(gStopWatch.timeoutMs))
        yebLog("NetworkManager worker still busy, stopping anyway\n");
    trelShutdown(gStopWatch.client);
    // exit rather than _exit: coverage data and stdio buffers are written on the way out.
    std::exit(0);
}

struct Reload {
    const char* server;
    const char* propertiesPath;
};
Reload gReload;

void onReloadSignal(TrelClient* client, int fd, int, void*) {
    signalfd_siginfo info;
    if (read(fd, &info, sizeof info) != sizeof info) return;
    yebNotifyReloading();
    yebLog("SIGHUP: reading the properties again\n");
    Properties* properties =
        gReload.propertiesPath != nullptr ? propLoad(gReload.propertiesPath) : nullptr;
    if (gReload.propertiesPath != nullptr && properties == nullptr)
        yebLog("cannot read %s; the platform's properties apply\n", gReload.propertiesPath);
    int changed = trelReloadServer(client, gReload.server, properties);
    if (properties != nullptr) propFree(properties);
    if (changed < 0) yebLog("the bus server named there cannot be used; it stays\n");
    if (changed == 0) yebLog("the bus server is the same\n");
    yebNotifyReady();
}

}  // namespace

void blockStopSignals() {
    sigset_t set = stopSignals();
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool watchReloadSignal(TrelClient* client, const char* server, const char* propertiesPath) {
    gReload = Reload{server, propertiesPath};
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return false;
    trelMonitorFD(client, fd, POLLIN, onReloadSignal, nullptr);
    return true;
}

bool startStopWatcher(TrelClient* client, int timeoutMs) {
    gStopWatch = StopWatch{client, timeoutMs};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, waitAndStop, nullptr) != 0) {
        sigset_t set = stopSignals();
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // the default action must still stop us
        return false;
    }
    pthread_detach(thread);
    return true;
}
