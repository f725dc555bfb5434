#include "app/watchdog.h"

#include <atomic>
#include <cstdint>

#include "nm/nm.h"
#include "platform/platform.h"

namespace {

// The round trip posted last (written by the bus thread) and the last one the worker answered.
uintptr_t gPosted = 0;
std::atomic<uintptr_t> gAnswered{0};

int answer(void* round) {
    gAnswered.store(reinterpret_cast<uintptr_t>(round));
    return 0;
}

// On the bus thread, from its poll loop or its waits between connection attempts.
void onTick(TrelClient*, void*) {
    if (gAnswered.load() == gPosted) yebNotifyWatchdog();
    ++gPosted;
    nmadapter_post_state(answer, reinterpret_cast<void*>(gPosted));
}

}  // namespace

void startWatchdog(TrelClient* client) {
    int64_t period = yebWatchdogPeriodMs();
    if (period <= 0) return;
    yebNotifyWatchdog();
    trelSetTimerHandler(client, onTick, nullptr);
    // Two ticks per period: a round trip has half a period to come back.
    trelSetTimer(client, static_cast<int>(period / 2));
}
