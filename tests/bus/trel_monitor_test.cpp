// The descriptor monitors of the poll set, and the back-off between connection attempts.
#include <gtest/gtest.h>

#include <vector>

#include "bus/trel.h"
#include "bus/trel_connect.h"
#include "bus/trel_poll.h"

namespace {

std::vector<int> calls;
void record(TrelClient*, int fd, int events, void*) {
    calls.push_back(fd * 10 + events);
}

TEST(Monitors, RemovalKeepsTheOthersInOrderOnlyReturnedEventsAreCalledAndTheSetIsCapped) {
    TrelClient client{};
    client.pollCount = 1;
    int contexts[4] = {};
    for (int fd = 5; fd <= 8; ++fd) trelMonitorFD(&client, fd, POLLIN, record, &contexts[fd - 5]);
    EXPECT_EQ(trelRemoveMonitorFD(&client, 6), &contexts[1]);
    EXPECT_EQ(trelRemoveMonitorFD(&client, 99), nullptr);
    ASSERT_EQ(client.pollCount, 4);
    client.pollSet[1].revents = POLLIN;
    client.pollSet[3].revents = POLLHUP;
    calls.clear();
    trelRunMonitors(&client);
    EXPECT_EQ(calls, (std::vector<int>{5 * 10 + POLLIN, 8 * 10 + POLLHUP}));
    EXPECT_EQ(client.pollSet[2].fd, 7);
    EXPECT_EQ(client.monitors[2].context, &contexts[2]);
    for (int fd = 100; fd < 140; ++fd) trelMonitorFD(&client, fd, POLLIN, record, nullptr);
    EXPECT_EQ(client.pollCount, TREL_MAX_POLL) << "the set never grows beyond its size";
}

TEST(Backoff, Waits250msFor22AttemptsThenGrowsTo2500AndStaysThere) {
    std::vector<int> got;
    for (int32_t retry = 0; got.size() < 36;) got.push_back(trelBackoffDelayMs(&retry));
    std::vector<int> want(22, 250);
    for (int ms = 500; ms <= 2250; ms += 250) want.push_back(ms);
    want.insert(want.end(), 6, 2500);
    EXPECT_EQ(got, want);
}

}  // namespace
