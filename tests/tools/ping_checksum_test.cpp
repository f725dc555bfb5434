// The Internet checksum shared by echo requests and reply verification.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "tools/ping_engine.h"

namespace {

// The checksum as it appears on the wire, high byte first.
std::array<unsigned char, 2> wireBytes(const std::vector<unsigned char>& data) {
    uint16_t sum = ping_checksum(data.data(), data.size());
    std::array<unsigned char, 2> bytes;
    memcpy(bytes.data(), &sum, 2);
    return bytes;
}

struct ChecksumCase {
    const char* what;
    std::vector<unsigned char> data;
    std::array<unsigned char, 2> expected;
};

class InternetChecksum : public testing::TestWithParam<ChecksumCase> {};

TEST_P(InternetChecksum, GivesTheComplementOfTheOnesComplementSum) {
    EXPECT_EQ(wireBytes(GetParam().data), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    KnownValues, InternetChecksum,
    testing::Values(
        ChecksumCase{
            "the RFC 1071 example", {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, {0x22, 0x0d}},
        ChecksumCase{"an echo request with identifier 0x1234 and sequence 1",
                     {0x08, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01},
                     {0xe5, 0xca}},
        ChecksumCase{
            "a carry out of the top bit folds back in", {0xff, 0xff, 0x00, 0x01}, {0xff, 0xfe}},
        ChecksumCase{"an odd last byte is padded with zero", {0x12, 0x34, 0x56}, {0x97, 0xcb}},
        ChecksumCase{"nothing sums to all ones", {}, {0xff, 0xff}}));

TEST(InternetChecksum, VerifiesToZeroOnceStoredInTheMessage) {
    std::vector<unsigned char> message(28);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i * 37);
    message[2] = message[3] = 0;
    uint16_t sum = ping_checksum(message.data(), message.size());
    memcpy(&message[2], &sum, 2);
    EXPECT_EQ(ping_checksum(message.data(), message.size()), 0);
}

}  // namespace
