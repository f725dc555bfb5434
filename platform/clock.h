#pragma once
// The program's one clock for waits, deadlines and durations. It is monotonic: a step of the
// wall clock (the first NTP correction after boot) never stretches a wait, ends one early or
// makes a round trip negative.
#include <cstdint>

// Monotonic microseconds, arbitrary origin.
int64_t yebMonoTimeUs();

// The same clock in milliseconds.
inline int64_t yebMonoTimeMs() {
    return yebMonoTimeUs() / 1000;
}
