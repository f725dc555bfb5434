// Decoding of the ping request text into a pingRequest.
#include <gtest/gtest.h>

#include <string>

#include "tools/networktools.h"

namespace {

int decode(const std::string& text, pingRequest* out) {
    Decoder dec;
    decoderWrap(&dec, text.c_str(), static_cast<int>(text.size()));
    return nmjson_unmarshal_pingRequest(&dec, out);
}

const char* const kFull =
    R"({"hostname":"192.0.2.7","ipVersion":6,"pingCount":4,"totalTimeout":2500,)"
    R"("pingInterval":1000,"pingTimeout":800})";

TEST(PingRequestDecoding, FillsEveryFieldOfAFullRequest) {
    pingRequest request;
    ASSERT_EQ(decode(kFull, &request), 0);
    EXPECT_STREQ(request.hostname, "192.0.2.7");
    EXPECT_EQ(request.ipVersion, 6u);
    EXPECT_EQ(request.pingCount, 4u);
    EXPECT_EQ(request.totalTimeout, 2500u);
    EXPECT_EQ(request.pingInterval, 1000u);
    EXPECT_EQ(request.pingTimeout, 800u);
    EXPECT_EQ(request.job, nullptr);
}

TEST(PingRequestDecoding, ClearsWhatTheRecordHeldBefore) {
    pingRequest request;
    memset(&request, 0x5a, sizeof request);
    ASSERT_EQ(decode(R"({"hostname":"h","pingCount":1,"totalTimeout":0,"pingInterval":0,)"
                     R"("pingTimeout":0})",
                     &request),
              0);
    EXPECT_EQ(request.job, nullptr);
    EXPECT_EQ(request.ipVersion, 0u) << "an absent ipVersion means IPv4 with IPv6 fallback";
    EXPECT_STREQ(request.hostname, "h");
}

TEST(PingRequestDecoding, CutsTheHostnameTo255Characters) {
    std::string longName(300, 'a');
    pingRequest request;
    ASSERT_EQ(decode(R"({"hostname":")" + longName +
                         R"(","pingCount":1,"totalTimeout":0,"pingInterval":0,"pingTimeout":0})",
                     &request),
              0);
    EXPECT_EQ(std::string(request.hostname), longName.substr(0, 255));
}

TEST(PingRequestDecoding, KeepsTheLow32BitsOfEachNumber) {
    pingRequest request;
    ASSERT_EQ(decode(R"({"hostname":"h","pingCount":4294967298,"totalTimeout":0,)"
                     R"("pingInterval":4294967296,"pingTimeout":4294967295})",
                     &request),
              0);
    EXPECT_EQ(request.pingCount, 2u);
    EXPECT_EQ(request.pingInterval, 0u);
    EXPECT_EQ(request.pingTimeout, 4294967295u);
}

struct DecodeCase {
    const char* what;
    const char* text;
    int expected;
};

class PingRequestOutcome : public testing::TestWithParam<DecodeCase> {};

TEST_P(PingRequestOutcome, MatchesTheRulesOfTheRequest) {
    pingRequest request;
    EXPECT_EQ(decode(GetParam().text, &request), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    RefusedOrAccepted, PingRequestOutcome,
    testing::Values(
        DecodeCase{"empty text", "", -22}, DecodeCase{"invalid JSON", R"({"hostname":"h",)", -22},
        DecodeCase{"no hostname",
                   R"({"pingCount":1,"totalTimeout":0,"pingInterval":0,"pingTimeout":0})", -22},
        DecodeCase{"no pingCount",
                   R"({"hostname":"h","totalTimeout":9,"pingInterval":0,"pingTimeout":0})", -22},
        DecodeCase{"no totalTimeout",
                   R"({"hostname":"h","pingCount":1,"pingInterval":0,"pingTimeout":0})", -22},
        DecodeCase{"no pingInterval",
                   R"({"hostname":"h","pingCount":1,"totalTimeout":0,"pingTimeout":0})", -22},
        DecodeCase{"no pingTimeout",
                   R"({"hostname":"h","pingCount":1,"totalTimeout":0,"pingInterval":0})", -22},
        DecodeCase{"a member only nested deeper does not count",
                   R"({"x":{"hostname":"h"},"pingCount":1,"totalTimeout":0,"pingInterval":0,)"
                   R"("pingTimeout":0})",
                   -22},
        DecodeCase{"no count and no total time would never end",
                   R"({"hostname":"h","pingCount":0,"totalTimeout":0,"pingInterval":1,)"
                   R"("pingTimeout":1})",
                   -22},
        DecodeCase{"a count the sequence number never reaches would never end",
                   R"({"hostname":"h","pingCount":65536,"totalTimeout":0,"pingInterval":1,)"
                   R"("pingTimeout":1})",
                   -22},
        DecodeCase{"the largest reachable count ends",
                   R"({"hostname":"h","pingCount":65535,"totalTimeout":0,"pingInterval":1,)"
                   R"("pingTimeout":1})",
                   0},
        DecodeCase{"a total time ends a probe without count",
                   R"({"hostname":"h","pingCount":0,"totalTimeout":1,"pingInterval":1,)"
                   R"("pingTimeout":1})",
                   0},
        DecodeCase{"a total time ends a probe with an unreachable count",
                   R"({"hostname":"h","pingCount":70000,"totalTimeout":5000,"pingInterval":1,)"
                   R"("pingTimeout":1})",
                   0},
        DecodeCase{"a null hostname exists",
                   R"({"hostname":null,"pingCount":1,"totalTimeout":0,"pingInterval":0,)"
                   R"("pingTimeout":0})",
                   0}));

TEST(PingRequestDecoding, ReadsOnlyUpToTheDecoderSize) {
    const std::string text = std::string(kFull) + "garbage";
    Decoder dec;
    decoderWrap(&dec, text.c_str(), static_cast<int>(strlen(kFull)));
    pingRequest request;
    EXPECT_EQ(nmjson_unmarshal_pingRequest(&dec, &request), 0);
}

}  // namespace
