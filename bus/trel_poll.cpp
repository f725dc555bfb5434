#include "bus/trel_poll.h"

#include "bus/trel_client_state.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

void trelSetTimer(TrelClient* client, int milliseconds) {
    if (client->timerHandler == nullptr || !client->timerFd) return;
    if (milliseconds < 0) milliseconds = 0;
    struct itimerspec period {};
    period.it_value.tv_sec = milliseconds / 1000;
    period.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    period.it_interval = period.it_value;
    timerfd_settime(client->timerFd.get(), 0, &period, nullptr);
}

void trelTimerRead(TrelClient* client, int fd, int /*returnedEvents*/, void* context) {
    uint64_t expiries = 0;
    // Missed expiries arrive as one count and give one call.
    if (read(fd, &expiries, sizeof expiries) != sizeof expiries) return;
    if (client->timerHandler != nullptr) client->timerHandler(client, context);
}

void trelMonitorFD(TrelClient* client, int fd, int16_t events, TrelMonitorCallback callback,
                   void* context) {
    if (client->pollCount >= TREL_MAX_POLL) return;
    int i = client->pollCount++;
    client->pollSet[i] = pollfd{fd, events, 0};
    client->monitors[i] = TrelMonitor{fd, callback, context};
}

void trelMonitorEvents(TrelClient* client, int fd, int16_t events) {
    for (int i = 1; i < client->pollCount; ++i) {
        if (client->monitors[i].fd == fd) client->pollSet[i].events = events;
    }
}

void* trelRemoveMonitorFD(TrelClient* client, int fd) {
    for (int i = 1; i < client->pollCount; ++i) {
        if (client->monitors[i].fd != fd) continue;
        void* context = client->monitors[i].context;
        for (int j = i; j + 1 < client->pollCount; ++j) {
            client->pollSet[j] = client->pollSet[j + 1];
            client->monitors[j] = client->monitors[j + 1];
        }
        --client->pollCount;
        return context;
    }
    return nullptr;
}

void trelRunMonitors(TrelClient* client) {
    // A callback may remove entries; the bound is re-read on every step.
    for (int i = 1; i < client->pollCount; ++i) {
        short returned = client->pollSet[i].revents;
        if (returned == 0) continue;
        client->pollSet[i].revents = 0;
        TrelMonitor monitor = client->monitors[i];
        if (monitor.callback != nullptr) {
            monitor.callback(client, monitor.fd, returned, monitor.context);
        }
    }
}
