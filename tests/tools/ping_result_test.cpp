// The probe thread's reporter (statistics and log lines), the result message and the handler's
// bookkeeping of handles, seen through a socket-pair bus.
#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
#include <string>

#include "codec/encoder.h"
#include "tests/platform/stdout_capture.h"
#include "tests/tools/ping_bus.h"
#include "tools/networktools.h"

namespace {

constexpr uint64_t kTimedOut = 0;

// Feeds a probe's events to pingLogReply; a round-trip time of kTimedOut stands for a time-out.
pingStats runEvents(std::initializer_list<uint64_t> rtts) {
    pingStats stats{};
    pingJob job{0x1000, nullptr, &stats};
    pingRequest request{};
    request.job = &job;
    captureStdout([&] {
        pingLogReply(&request, "192.0.2.9", nullptr);
        uint16_t sequence = 0;
        for (uint64_t rtt : rtts) {
            pingReply reply{};
            if (rtt != kTimedOut) reply = pingReply{1, sequence, rtt, 1};
            pingLogReply(&request, "192.0.2.9", &reply);
            ++sequence;
        }
    });
    return stats;
}

std::string resultText(int32_t handle, int engineResult, const pingStats& stats) {
    Encoder enc;
    encoderCreate(&enc, 64);
    EXPECT_EQ(networktools_encodePingResult(&enc, handle, engineResult, &stats), 0);
    std::string text(reinterpret_cast<const char*>(enc.data));
    EXPECT_EQ(encoderSize(&enc), static_cast<int>(text.size()) + 1) << "the NUL is counted";
    encoderFree(&enc);
    return text;
}

TEST(PingResult, ReportsMinimumMaximumAndRoundedDownAverage) {
    EXPECT_EQ(resultText(4096, 0, runEvents({1000, 2000, 4000})),
              R"({"handle":4096,"requests":3,"timeouts":0,"maxReplyUs":4000,"minReplyUs":1000,)"
              R"("avgReplyUs":2333})");
}

TEST(PingResult, AveragesOverRepliesOnlyWhenSomeTimedOut) {
    EXPECT_EQ(resultText(4097, 0, runEvents({kTimedOut, 5000, kTimedOut, 3000})),
              R"({"handle":4097,"requests":4,"timeouts":2,"maxReplyUs":5000,"minReplyUs":3000,)"
              R"("avgReplyUs":4000})");
}

TEST(PingResult, LeavesOutRoundTripMembersWhenEveryRequestTimedOut) {
    EXPECT_EQ(resultText(4098, 0, runEvents({kTimedOut, kTimedOut, kTimedOut})),
              R"({"handle":4098,"requests":3,"timeouts":3})");
}

TEST(PingResult, CarriesOnlyTheHandleAndTheErrorOfAFailedProbe) {
    pingStats stats = runEvents({1000});
    EXPECT_EQ(resultText(4099, 1, stats), R"({"handle":4099,"error":1})");
}

TEST(PingStatistics, CountRoundTripTimesCutTo32Bits) {
    pingStats stats = runEvents({(1ull << 32) + 7, 9});
    EXPECT_EQ(stats.minReplyUs, 7u);
    EXPECT_EQ(stats.maxReplyUs, 9u);
    EXPECT_EQ(stats.totalReplyUs, 16u);
}

TEST(PingLog, LinesCarryTheHandleInHexadecimalAndMarkBadChecksums) {
    pingStats stats{};
    pingJob job{0x1000, nullptr, &stats};
    pingRequest request{};
    request.job = &job;
    std::string out = captureStdout([&] {
        pingLogReply(&request, "2001:db8::2", nullptr);
        pingReply timedOut{};
        pingLogReply(&request, "2001:db8::2", &timedOut);
        pingReply good{1, 1, 1500, 1};
        pingLogReply(&request, "2001:db8::2", &good);
        pingReply bad{1, 2, 250, 0};
        pingLogReply(&request, "2001:db8::2", &bad);
    });
    EXPECT_NE(out.find("| ping[0x1000] PING 2001:db8::2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("| ping[0x1000] Request timed out\n"), std::string::npos) << out;
    EXPECT_NE(out.find("| ping[0x1000] Received reply from 2001:db8::2: seq=1, time=1.500 ms\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("| ping[0x1000] Received reply from 2001:db8::2: seq=2, time=0.250 ms"
                       " (bad checksum)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(stats.requests, 3u) << "the start is not counted, a bad checksum is";
    EXPECT_EQ(stats.timeouts, 1u);
}

TEST(ReportPing, PrintsTheSameEventsOnStandardOutput) {
    std::string out = captureStdout([] {
        pingReply timedOut{};
        pingReply bad{1, 3, 12345, 0};
        reportPing(nullptr, "192.0.2.1", nullptr);
        reportPing(nullptr, "192.0.2.1", &timedOut);
        reportPing(nullptr, "192.0.2.1", &bad);
    });
    EXPECT_EQ(out,
              "PING 192.0.2.1\nRequest timed out\n"
              "Received reply from 192.0.2.1: seq=3, time=12.345 ms (bad checksum)\n");
}

// An ipVersion outside 0, 4 and 6 makes the engine fail before it opens a socket, so these
// probes need no privilege and end at once.
std::string failingRequest() {
    return R"({"hostname":"192.0.2.1","ipVersion":5,"pingCount":1,"totalTimeout":0,)"
           R"("pingInterval":0,"pingTimeout":0})";
}

TEST(PingHandler, AnswersWithConsecutiveHandlesAndSendsOneResultForEach) {
    PingBus bus;
    ASSERT_TRUE(bus.ok());
    const int32_t first = nextPingHandle;
    int32_t handles[2] = {};
    ASSERT_EQ(bus.request(failingRequest(), &handles[0]), 4);
    ASSERT_EQ(bus.request(failingRequest(), &handles[1]), 4);
    EXPECT_EQ(handles[0], first);
    EXPECT_EQ(handles[1], first + 1);

    std::set<std::string> results;
    BusMessage message;
    while (results.size() < 2 && bus.readMessage(10000, &message)) {
        EXPECT_EQ(message.apiId, NETWORKTOOLS_PING_RESULT_ID);
        results.insert(message.payload);
    }
    EXPECT_EQ(results, (std::set<std::string>{
                           R"({"handle":)" + std::to_string(first) + R"(,"error":1})",
                           R"({"handle":)" + std::to_string(first + 1) + R"(,"error":1})"}));
}

TEST(PingHandler, ARefusedRequestStartsNothingAndConsumesNoHandle) {
    PingBus bus;
    ASSERT_TRUE(bus.ok());
    const int32_t next = nextPingHandle;
    int32_t handle = -1;
    EXPECT_EQ(bus.request(R"({"hostname":"192.0.2.1","pingCount":1,"totalTimeout":0,)"
                          R"("pingInterval":0})",
                          &handle),
              -22);
    EXPECT_EQ(bus.request(R"({"hostname":"192.0.2.1","pingCount":0,"totalTimeout":0,)"
                          R"("pingInterval":0,"pingTimeout":0})",
                          &handle),
              -22);
    EXPECT_EQ(nextPingHandle, next);

    ASSERT_EQ(bus.request(failingRequest(), &handle), 4);
    EXPECT_EQ(handle, next);
    BusMessage message;
    ASSERT_TRUE(bus.readMessage(10000, &message));
    EXPECT_EQ(message.payload, R"({"handle":)" + std::to_string(next) + R"(,"error":1})")
        << "the first message is the accepted probe's";
}

}  // namespace
