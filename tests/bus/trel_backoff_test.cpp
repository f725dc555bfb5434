#include <gtest/gtest.h>

#include <vector>

#include "bus/trel_connect.h"

namespace {

std::vector<int> delays(int32_t start, int attempts) {
    std::vector<int> out;
    int32_t retry = start;
    for (int i = 0; i < attempts; ++i) out.push_back(trelBackoffDelayMs(&retry));
    return out;
}

TEST(Backoff, FreshSeriesWaits250msFor22AttemptsThenGrowsTo2500) {
    std::vector<int> got = delays(0, 34);
    std::vector<int> want(22, 250);
    for (int ms = 500; ms <= 2250; ms += 250) want.push_back(ms);
    want.insert(want.end(), 4, 2500);
    EXPECT_EQ(got, want);
}

TEST(Backoff, SeriesThatGoesOnKeepsTheLongestWait) {
    EXPECT_EQ(delays(40, 3), (std::vector<int>{2500, 2500, 2500}));
    int32_t retry = 30;
    trelBackoffDelayMs(&retry);
    EXPECT_EQ(retry, 30);
}

}  // namespace
