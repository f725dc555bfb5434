#pragma once
// Telling the service manager how we are: readiness, a status line, and the watchdog. Without
// a notification socket (not started by systemd) every call does nothing.
#include <cstdint>

// READY=1: set up and serving.
void yebNotifyReady();
// STOPPING=1: on the way out, so that the service manager waits instead of restarting us.
void yebNotifyStopping();
// RELOADING=1 while the configuration is read again; yebNotifyReady() when done.
void yebNotifyReloading();
// STATUS=<text>; printf-style. Repeated texts are sent once.
void yebNotifyStatus(const char* format, ...) __attribute__((format(printf, 1, 2)));
// WATCHDOG=1: we are alive; call at least every yebWatchdogPeriodMs().
void yebNotifyWatchdog();
// How often the watchdog wants to hear from us (half its time-out), or 0 when none is set.
int64_t yebWatchdogPeriodMs();
