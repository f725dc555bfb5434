// Cost of loading a platform-sized properties file and of looking keys up in it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/properties.h"

namespace {

constexpr int kLines = 1000;
constexpr int kLookups = 1000000;

std::string keyOf(int i) {
    return "trel.service" + std::to_string(i * 7919 % 100003) + ".port";
}

// Writes a file of kLines entries (with a few comments and escapes) and returns its path.
std::string writePropertiesFile() {
    char path[] = "/tmp/lk-bench-props.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "";
    FILE* file = fdopen(fd, "w");
    for (int i = 0; i < kLines; ++i) {
        if (i % 50 == 0) std::fprintf(file, "# section %d\n", i / 50);
        std::fprintf(file, "%s = value\\:%d\\=on\n", keyOf(i).c_str(), i);
    }
    std::fclose(file);
    return path;
}

void BM_PropLoad1000Lines(benchmark::State& state) {
    std::string path = writePropertiesFile();
    for (auto _ : state) {
        Properties* props = propLoad(path.c_str());
        benchmark::DoNotOptimize(props);
        propFree(props);
    }
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_PropLoad1000Lines)->Unit(benchmark::kMicrosecond);

// One iteration is a million look-ups over the loaded keys (every tenth one absent), so its time
// in milliseconds reads as nanoseconds per look-up.
void BM_PropGetMillion(benchmark::State& state) {
    std::string path = writePropertiesFile();
    Properties* props = propLoad(path.c_str());
    unlink(path.c_str());
    std::vector<std::string> keys;
    for (int i = 0; i < kLines; ++i) keys.push_back(i % 10 == 9 ? keyOf(i) + ".absent" : keyOf(i));
    for (auto _ : state) {
        size_t found = 0;
        for (int i = 0; i < kLookups; ++i) {
            found += propGet(props, keys[static_cast<size_t>(i * 31 % kLines)].c_str()) != nullptr;
        }
        benchmark::DoNotOptimize(found);
    }
    propFree(props);
    // Seconds per look-up, printed with an SI suffix ("45n" is 45 ns).
    state.counters["per_lookup"] = benchmark::Counter(
        kLookups, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PropGetMillion)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
