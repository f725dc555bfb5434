#include "app/stop_signals.h"

#include <pthread.h>
#include <signal.h>

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
    if (!nmadapter_stop(gStopWatch.timeoutMs))
        yebLog("NetworkManager worker still busy, stopping anyway\n");
    trelShutdown(gStopWatch.client);
    // exit rather than _exit: coverage data and stdio buffers are written on the way out.
    std::exit(0);
}

}  // namespace

void blockStopSignals() {
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
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
