#include "platform/supervisor.h"

#include <systemd/sd-daemon.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex& gStatusLock = *new std::mutex;  // never destroyed: used until the process ends
char gLastStatus[256];

}  // namespace

void yebNotifyReady() {
    sd_notify(0, "READY=1");
}

void yebNotifyStopping() {
    sd_notify(0, "STOPPING=1");
}

void yebNotifyReloading() {
    sd_notify(0, "RELOADING=1");
}

void yebNotifyStatus(const char* format, ...) {
    char text[sizeof gLastStatus];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(gStatusLock);
    if (std::strcmp(text, gLastStatus) == 0) return;
    std::memcpy(gLastStatus, text, sizeof text);
    sd_notifyf(0, "STATUS=%s", text);
}

void yebNotifyWatchdog() {
    sd_notify(0, "WATCHDOG=1");
}

int64_t yebWatchdogPeriodMs() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return 0;
    return static_cast<int64_t>(usec / 2000);
}
