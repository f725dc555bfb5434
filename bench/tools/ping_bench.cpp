// Figures of the ICMP echo engine, run through run-ping-bench.sh inside a private network
// namespace:
//   SilentHostProbe: CPU time of a 10-second probe whose requests all time out (the engine
//                    sleeps in poll while it waits, so this should be close to nothing);
//   LoopbackRoundTrip: round-trip times to 127.0.0.1 for LK_PING_COUNT requests
//                      LK_PING_INTERVAL_MS apart, to set next to Debian's ping.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tools/ping_engine.h"

namespace {

struct Figures {
    uint64_t replies = 0;
    uint64_t timeouts = 0;
    uint64_t minUs = UINT64_MAX;
    uint64_t maxUs = 0;
    uint64_t totalUs = 0;
};

void collect(pingRequest* request, const char*, const pingReply* reply) {
    if (!reply) return;
    auto* figures = static_cast<Figures*>(request->job);
    if (!reply->received) {
        ++figures->timeouts;
        return;
    }
    ++figures->replies;
    figures->minUs = std::min(figures->minUs, reply->rttUs);
    figures->maxUs = std::max(figures->maxUs, reply->rttUs);
    figures->totalUs += reply->rttUs;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

uint32_t envNumber(const char* name, uint32_t fallback) {
    const char* text = getenv(name);
    return text ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : fallback;
}

pingRequest makeRequest(Figures* figures, const char* host) {
    pingRequest request{};
    request.job = figures;
    snprintf(request.hostname, sizeof request.hostname, "%s", host);
    request.ipVersion = 4;
    return request;
}

void SilentHostProbe(benchmark::State& state) {
    Figures figures;
    pingRequest request = makeRequest(&figures, "127.0.0.1");
    request.totalTimeout = 10000;
    request.pingInterval = 1000;
    request.pingTimeout = 1000;
    for (auto _ : state) {
        double cpu = cpuSeconds();
        double wall = wallSeconds();
        if (ping_operation(&request, collect) != 0) state.SkipWithError("probe failed");
        cpu = cpuSeconds() - cpu;
        wall = wallSeconds() - wall;
        state.counters["cpu_ms"] = cpu * 1e3;
        state.counters["wall_s"] = wall;
        state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
    }
    state.counters["timeouts"] = static_cast<double>(figures.timeouts);
    state.counters["replies"] = static_cast<double>(figures.replies);
}

void LoopbackRoundTrip(benchmark::State& state) {
    Figures figures;
    pingRequest request = makeRequest(&figures, "127.0.0.1");
    request.pingCount = envNumber("LK_PING_COUNT", 50);
    request.pingInterval = envNumber("LK_PING_INTERVAL_MS", 100);
    request.pingTimeout = 1000;
    for (auto _ : state) {
        if (ping_operation(&request, collect) != 0) state.SkipWithError("probe failed");
    }
    if (figures.replies == 0) return;
    state.counters["requests"] = static_cast<double>(figures.replies + figures.timeouts);
    state.counters["rtt_min_us"] = static_cast<double>(figures.minUs);
    state.counters["rtt_avg_us"] = static_cast<double>(figures.totalUs) / figures.replies;
    state.counters["rtt_max_us"] = static_cast<double>(figures.maxUs);
}

}  // namespace

BENCHMARK(SilentHostProbe)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LoopbackRoundTrip)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
