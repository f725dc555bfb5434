// The ping request's pure pieces: the Internet checksum, the request's decoding and the result
// statistics. Real probes go through the daemon in test_ping_sandbox.py.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/tools.h"

namespace {

TEST(Ping, ChecksumIsTheComplementOfTheOnesComplementSum) {
    const std::pair<std::vector<unsigned char>, unsigned> cases[] = {
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d},  // RFC 1071's example
        {{8, 0, 0xe5, 0xca, 0x12, 0x34, 0, 1}, 0},                   // holding its own checksum
        {{0xff, 0xff, 0xff, 0xff, 0x01, 0x00}, 0xfeff},              // carries fold back twice
        {{0x12, 0x34, 0x56}, 0x97cb},                                // odd last byte padded
    };
    for (const auto& [data, wire] : cases) {
        uint16_t sum = ping_checksum(data.data(), data.size());
        unsigned char bytes[2];
        memcpy(bytes, &sum, 2);
        EXPECT_EQ(bytes[0] << 8 | bytes[1], wire);
    }
}

class PingRequestText : public testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(PingRequestText, IsAcceptedOrRefused) {
    std::string text = GetParam().first;
    Decoder dec;
    decoderWrap(&dec, text.c_str(), static_cast<int>(text.size()) + 1);
    pingRequest request;
    EXPECT_EQ(nmjson_unmarshal_pingRequest(&dec, &request), GetParam().second) << text;
}

// Each bound just inside and just outside.
#define PING(count, interval, timeout, total)                                \
    R"({"hostname":"h","pingCount":)" #count R"(,"pingInterval":)" #interval \
    R"(,"pingTimeout":)" #timeout R"(,"totalTimeout":)" #total "}"
INSTANTIATE_TEST_SUITE_P(
    Ping, PingRequestText,
    testing::Values(std::pair{PING(1, 10, 1, 0), 0}, std::pair{PING(1, 9, 1, 0), -EINVAL},
                    std::pair{PING(1, 10, 0, 0), -EINVAL}, std::pair{PING(1, 10, 60000, 0), 0},
                    std::pair{PING(1, 10, 60001, 0), -EINVAL},
                    std::pair{PING(0, 10, 1, 100), -EINVAL}, std::pair{PING(65535, 10, 1, 0), 0},
                    std::pair{PING(65536, 10, 1, 0), -EINVAL},
                    std::pair{PING(3600, 1000, 1, 0), -EINVAL},  // an hour and a millisecond
                    std::pair{PING(3600, 1000, 1, 3599999), 0},  // the total time ends it
                    std::pair{PING(1, 10, 4294968, 0), -EINVAL},
                    std::pair{PING(1, 4294967306, 1, 0), -EINVAL},  // never wrapped to 10
                    std::pair{R"({"pingCount":1,"totalTimeout":0,"pingInterval":10,)"
                              R"("pingTimeout":1})",
                              -EINVAL},
                    std::pair{"", -EINVAL}));

TEST(Ping, ResultCarriesMinMaxAndTheAverageOverRepliesOnly) {
    pingStats stats{};
    pingJob job{0x1000, nullptr, &stats, {}};
    pingRequest request{};
    request.job = &job;
    const uint64_t rtts[] = {0, 5000, (1ull << 32) + 3000, 0};  // 0: a time-out
    uint16_t sequence = 0;
    for (uint64_t rtt : rtts) {
        pingReply reply = rtt ? pingReply{1, sequence, rtt, 1} : pingReply{};
        pingLogReply(&request, "192.0.2.1", &reply);
        ++sequence;
    }
    Encoder enc;
    ASSERT_EQ(encoderCreate(&enc, 64), 0);
    encodeJsonStart(&enc);
    encodeJsonObjectStart(&enc);
    networktools_encodePingResult(&enc, 4096, 0, &stats, "");
    encodeJsonObjectEnd(&enc);
    encodeJsonEnd(&enc);
    EXPECT_STREQ(reinterpret_cast<const char*>(enc.data),
                 R"({"handle":4096,"requests":4,"timeouts":2,"maxReplyUs":5000,)"
                 R"("minReplyUs":3000,"avgReplyUs":4000})");
    encoderFree(&enc);
}

}  // namespace
