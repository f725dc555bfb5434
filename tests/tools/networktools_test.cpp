// The Internet checksum, the ping request's decoding, the probe thread's statistics and log
// lines, and the result message. Real probes and their handles: test_ping_sandbox.py.
#include "tools/networktools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/platform/stdout_capture.h"
#include "tools/ping_engine.h"

namespace {

struct ChecksumCase {
    const char* what;
    std::vector<unsigned char> data;
    unsigned wire;  // the two bytes as stored, first byte high
};

class InternetChecksum : public testing::TestWithParam<ChecksumCase> {};

TEST_P(InternetChecksum, GivesTheComplementOfTheOnesComplementSum) {
    const ChecksumCase& c = GetParam();
    uint16_t sum = ping_checksum(c.data.data(), c.data.size());
    unsigned char bytes[2];
    memcpy(bytes, &sum, 2);
    EXPECT_EQ(bytes[0] << 8 | bytes[1], c.wire) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    KnownValues, InternetChecksum,
    testing::Values(
        ChecksumCase{"RFC 1071 example", {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d},
        ChecksumCase{"echo request id 0x1234 seq 1", {8, 0, 0, 0, 0x12, 0x34, 0, 1}, 0xe5ca},
        ChecksumCase{"the same holding its checksum", {8, 0, 0xe5, 0xca, 0x12, 0x34, 0, 1}, 0},
        ChecksumCase{"carries fold back in twice", {0xff, 0xff, 0xff, 0xff, 0x01, 0x00}, 0xfeff},
        ChecksumCase{"an odd last byte is padded", {0x12, 0x34, 0x56}, 0x97cb}));

int decode(const std::string& text, pingRequest* out, int size = -1) {
    Decoder dec;
    decoderWrap(&dec, text.c_str(), size < 0 ? static_cast<int>(text.size()) : size);
    return nmjson_unmarshal_pingRequest(&dec, out);
}

// A valid request with the given members changed; an empty value leaves the member out.
std::string request(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> members{{"hostname", "\"h\""},
                                               {"pingCount", "1"},
                                               {"totalTimeout", "0"},
                                               {"pingInterval", "1"},
                                               {"pingTimeout", "1"}};
    for (const auto& [name, value] : changes) {
        members.erase(name);
        if (!value.empty()) members.emplace(name, value);
    }
    std::string text;
    for (const auto& [name, value] : members) text += ",\"" + name + "\":" + value;
    return "{" + text.substr(1) + "}";
}

TEST(PingRequestDecoding, FillsEveryFieldCutToSizeAndReadsOnlyUpToTheDecoderSize) {
    const std::string full = request({{"hostname", "\"" + std::string(300, 'a') + "\""},
                                      {"ipVersion", "6"},
                                      {"pingCount", "4294967298"},
                                      {"totalTimeout", "2500"},
                                      {"pingInterval", "1000"},
                                      {"pingTimeout", "4294967295"}});
    pingRequest r;
    memset(&r, 0x5a, sizeof r);
    ASSERT_EQ(decode(full + "garbage", &r, static_cast<int>(full.size())), 0);
    EXPECT_EQ(std::string(r.hostname), std::string(255, 'a'));
    EXPECT_EQ(r.job, nullptr);
    EXPECT_EQ(r.ipVersion, 6u);
    EXPECT_EQ(r.pingCount, 2u);
    EXPECT_EQ(r.totalTimeout, 2500u);
    EXPECT_EQ(r.pingInterval, 1000u);
    EXPECT_EQ(r.pingTimeout, 4294967295u);
    ASSERT_EQ(decode(request({}), &r), 0);
    EXPECT_EQ(r.ipVersion, 0u) << "an absent ipVersion means IPv4 with IPv6 fallback";
}

struct DecodeCase {
    const char* what;
    std::string text;
    int expected;
};

class PingRequestOutcome : public testing::TestWithParam<DecodeCase> {};

TEST_P(PingRequestOutcome, MatchesTheRulesOfTheRequest) {
    pingRequest r;
    EXPECT_EQ(decode(GetParam().text, &r), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    RefusedOrAccepted, PingRequestOutcome,
    testing::Values(DecodeCase{"empty text", "", -22},
                    DecodeCase{"invalid JSON", R"({"hostname":"h",)", -22},
                    DecodeCase{"no hostname", request({{"hostname", ""}}), -22},
                    DecodeCase{"no pingTimeout (every number is required alike)",
                               request({{"pingTimeout", ""}, {"totalTimeout", "9"}}), -22},
                    DecodeCase{"a hostname only nested deeper",
                               request({{"hostname", ""}, {"x", R"({"hostname":"h"})"}}), -22},
                    DecodeCase{"no count and no total time would never end",
                               request({{"pingCount", "0"}}), -22},
                    DecodeCase{"a count the sequence number never reaches would never end",
                               request({{"pingCount", "65536"}}), -22},
                    DecodeCase{"the largest reachable count ends",
                               request({{"pingCount", "65535"}}), 0},
                    DecodeCase{"a total time ends a probe without count",
                               request({{"pingCount", "0"}, {"totalTimeout", "1"}}), 0},
                    DecodeCase{"a total time ends a probe with an unreachable count",
                               request({{"pingCount", "70000"}, {"totalTimeout", "5000"}}), 0},
                    DecodeCase{"a null hostname exists", request({{"hostname", "null"}}), 0}));

constexpr uint64_t kTimedOut = 0;

// Feeds a probe's events to pingLogReply and returns its log; kTimedOut stands for a time-out.
std::string runEvents(pingStats* stats, const std::vector<uint64_t>& rtts, bool checksumOk) {
    pingJob job{0x1000, nullptr, stats};
    pingRequest r{};
    r.job = &job;
    return captureStdout([&] {
        pingLogReply(&r, "2001:db8::2", nullptr);
        uint16_t sequence = 0;
        for (uint64_t rtt : rtts) {
            pingReply reply{};
            if (rtt != kTimedOut) reply = pingReply{1, sequence, rtt, checksumOk};
            pingLogReply(&r, "2001:db8::2", &reply);
            ++sequence;
        }
    });
}

struct ResultCase {
    const char* what;
    std::vector<uint64_t> rtts;
    int engineResult;
    const char* expected;  // after "{"handle":4096,"
};

class PingResult : public testing::TestWithParam<ResultCase> {};

TEST_P(PingResult, CarriesTheStatisticsOfTheProbe) {
    const ResultCase& c = GetParam();
    pingStats stats{};
    runEvents(&stats, c.rtts, true);
    Encoder enc;
    encoderCreate(&enc, 64);
    EXPECT_EQ(networktools_encodePingResult(&enc, 4096, c.engineResult, &stats), 0);
    std::string text(reinterpret_cast<const char*>(enc.data));
    EXPECT_EQ(encoderSize(&enc), static_cast<int>(text.size()) + 1) << "the NUL is counted";
    EXPECT_EQ(text, std::string(R"({"handle":4096,)") + c.expected) << c.what;
    encoderFree(&enc);
}

INSTANTIATE_TEST_SUITE_P(
    Probes, PingResult,
    testing::Values(
        ResultCase{
            "min, max, rounded-down average",
            {2000, 1000, 4000, 3001},
            0,
            R"("requests":4,"timeouts":0,"maxReplyUs":4000,"minReplyUs":1000,"avgReplyUs":2500})"},
        ResultCase{
            "average over replies only",
            {kTimedOut, 5000, kTimedOut, 3000},
            0,
            R"("requests":4,"timeouts":2,"maxReplyUs":5000,"minReplyUs":3000,"avgReplyUs":4000})"},
        ResultCase{"times cut to 32 bits",
                   {(1ull << 32) + 7, 9},
                   0,
                   R"("requests":2,"timeouts":0,"maxReplyUs":9,"minReplyUs":7,"avgReplyUs":8})"},
        ResultCase{"no round-trip members without replies",
                   {kTimedOut, kTimedOut},
                   0,
                   R"("requests":2,"timeouts":2})"},
        ResultCase{"a failed probe gives only the error", {1000}, 1, R"("error":1})"}));

TEST(PingLog, LinesCarryTheHandleInHexadecimalAndMarkBadChecksums) {
    pingStats stats{};
    std::string out = runEvents(&stats, {kTimedOut, 1500, 250}, false);
    EXPECT_NE(out.find("| ping[0x1000] PING 2001:db8::2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("| ping[0x1000] Request timed out\n"), std::string::npos) << out;
    EXPECT_NE(out.find("| ping[0x1000] Received reply from 2001:db8::2: seq=1, time=1.500 ms"
                       " (bad checksum)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("seq=2, time=0.250 ms (bad checksum)\n"), std::string::npos) << out;
    EXPECT_EQ(stats.requests, 3u) << "the start is not counted, a bad checksum is";
}

TEST(ReportPing, PrintsTheSameEventsOnStandardOutput) {
    std::string out = captureStdout([] {
        pingReply timedOut{}, good{1, 3, 12345, 1};
        reportPing(nullptr, "192.0.2.1", nullptr);
        reportPing(nullptr, "192.0.2.1", &timedOut);
        reportPing(nullptr, "192.0.2.1", &good);
    });
    EXPECT_EQ(out,
              "PING 192.0.2.1\nRequest timed out\n"
              "Received reply from 192.0.2.1: seq=3, time=12.345 ms\n");
}

}  // namespace
