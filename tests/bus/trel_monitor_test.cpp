#include <gtest/gtest.h>

#include <vector>

#include "bus/trel.h"
#include "bus/trel_poll.h"

namespace {

struct ClientRecord {
    TrelClient client{};
    ClientRecord() { client.pollCount = 1; }
};

void noop(TrelClient*, int, int, void*) {}

std::vector<int> monitoredFds(const TrelClient& client) {
    std::vector<int> fds;
    for (int i = 1; i < client.pollCount; ++i) {
        EXPECT_EQ(client.pollSet[i].fd, client.monitors[i].fd);
        fds.push_back(client.monitors[i].fd);
    }
    return fds;
}

TEST(Monitors, RemovingTheMiddleEntryKeepsTheOthersInOrder) {
    ClientRecord r;
    int a = 1, b = 2, c = 3;
    trelMonitorFD(&r.client, 10, POLLIN, noop, &a);
    trelMonitorFD(&r.client, 11, POLLOUT, noop, &b);
    trelMonitorFD(&r.client, 12, POLLIN, noop, &c);
    EXPECT_EQ(trelRemoveMonitorFD(&r.client, 11), &b);
    EXPECT_EQ(monitoredFds(r.client), (std::vector<int>{10, 12}));
    EXPECT_EQ(r.client.pollSet[2].events, POLLIN);
    EXPECT_EQ(r.client.monitors[2].context, &c);
}

TEST(Monitors, RemovingAnUnknownDescriptorReturnsNullAndChangesNothing) {
    ClientRecord r;
    trelMonitorFD(&r.client, 10, POLLIN, noop, nullptr);
    EXPECT_EQ(trelRemoveMonitorFD(&r.client, 99), nullptr);
    EXPECT_EQ(monitoredFds(r.client), (std::vector<int>{10}));
}

TEST(Monitors, TheThirtyThirdEntryIsRefused) {
    ClientRecord r;
    for (int fd = 100; fd < 140; ++fd) trelMonitorFD(&r.client, fd, POLLIN, noop, nullptr);
    EXPECT_EQ(r.client.pollCount, TREL_MAX_POLL);
    EXPECT_EQ(r.client.monitors[TREL_MAX_POLL - 1].fd, 130);
}

TEST(Monitors, OnlyEntriesWithReturnedEventsAreCalledInOrder) {
    ClientRecord r;
    static std::vector<int> calls;
    calls.clear();
    auto record = [](TrelClient*, int fd, int events, void*) { calls.push_back(fd * 10 + events); };
    trelMonitorFD(&r.client, 5, POLLIN, record, nullptr);
    trelMonitorFD(&r.client, 6, POLLIN, record, nullptr);
    trelMonitorFD(&r.client, 7, POLLIN, record, nullptr);
    r.client.pollSet[1].revents = POLLIN;
    r.client.pollSet[3].revents = POLLHUP;
    trelRunMonitors(&r.client);
    EXPECT_EQ(calls, (std::vector<int>{5 * 10 + POLLIN, 7 * 10 + POLLHUP}));
}

}  // namespace
