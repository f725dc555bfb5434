/* Preloaded into a linkKeeper started by the tests (test_ping_sandbox.py, test_field_bus.py),
 * never into the product, to bring about faults a device meets in the field:
 * - LK_CLOCK_STEP_S: steps the wall clock (CLOCK_REALTIME as clock_gettime, gettimeofday and time
 *   read it) by that many seconds once LK_CLOCK_STEP_AFTER_MS milliseconds have passed since the
 *   program started, the way the first NTP correction after boot does. Every other clock keeps
 *   running untouched.
 * - LK_FILTER_DELAY_MS: holds back every ICMP type filter set on a raw socket by that many
 *   milliseconds, as a busy machine may hold back the thread that sets it.
 * - LK_WORKER_HANG_MS: the NetworkManager worker (the one thread that runs a GLib main loop)
 *   stops answering that long after its loop started, as a worker stuck in a call would. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long long start_ms = -1, after_ms, step_s; /* start_ms: -1 until the constructor ran */

static int read_clock(clockid_t clock, struct timespec* now) {
    static int (*real)(clockid_t, struct timespec*); /* other constructors may read it first */
    if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    return real(clock, now);
}

static long long monotonic_ms(void) {
    struct timespec now;
    read_clock(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

__attribute__((constructor)) static void note_start(void) {
    after_ms = atoll(getenv("LK_CLOCK_STEP_AFTER_MS") ?: "0");
    step_s = atoll(getenv("LK_CLOCK_STEP_S") ?: "0");
    start_ms = monotonic_ms();
}

int clock_gettime(clockid_t clock, struct timespec* now) {
    int result = read_clock(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME && start_ms >= 0 &&
        monotonic_ms() - start_ms >= after_ms)
        now->tv_sec += step_s;
    return result;
}

int gettimeofday(struct timeval* restrict tv, void* restrict) {
    struct timespec now;
    int result = clock_gettime(CLOCK_REALTIME, &now);
    *tv = (struct timeval){.tv_sec = now.tv_sec, .tv_usec = now.tv_nsec / 1000};
    return result;
}

time_t time(time_t* out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return out ? (*out = now.tv_sec) : now.tv_sec;
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    static int (*real)(int, int, int, const void*, socklen_t);
    if (!real)
        real = (int (*)(int, int, int, const void*, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
    if ((level == SOL_RAW && name == ICMP_FILTER) ||
        (level == IPPROTO_ICMPV6 && name == ICMP6_FILTER))
        usleep(1000 * atoi(getenv("LK_FILTER_DELAY_MS") ?: "0"));
    return real(fd, level, name, value, length);
}

/* GLib is the daemon's, found at run time: this library links nothing but libdl. */
typedef struct GMainLoop GMainLoop;

static int hang_forever(void* unused) {
    (void)unused;
    fprintf(stderr, "faults: the worker hangs on purpose\n");
    for (;;) pause();
    return 0;
}

void g_main_loop_run(GMainLoop* loop) {
    static void (*real)(GMainLoop*);
    if (!real) real = (void (*)(GMainLoop*))dlsym(RTLD_NEXT, "g_main_loop_run");
    const char* hang_ms = getenv("LK_WORKER_HANG_MS");
    if (hang_ms) {
        unsigned (*add_timeout)(unsigned, int (*)(void*), void*) =
            (unsigned (*)(unsigned, int (*)(void*), void*))dlsym(RTLD_DEFAULT, "g_timeout_add");
        add_timeout((unsigned)atoi(hang_ms), hang_forever, NULL);
    }
    real(loop);
}
