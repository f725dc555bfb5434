#include "bus/trel_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using Bytes = std::array<unsigned char, TREL_HEADER_SIZE>;

Bytes encode(const TrelFrameHeader& header, int byteOrder = 0) {
    Bytes out{};
    trelHeaderEncode(out.data(), header, byteOrder);
    return out;
}

struct LengthCase {
    uint32_t length;
    uint16_t low16;
    unsigned top2;
};

class PayloadLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(PayloadLength, SplitsIntoLow16BitsAndTopBitsOfTheSequenceWord) {
    const LengthCase& c = GetParam();
    Bytes out = encode({TREL_MAGIC, 0, 0x8107, c.length, 0x1234});
    EXPECT_EQ(out[4] | (out[5] << 8), c.low16);
    EXPECT_EQ((out[6] | (out[7] << 8)) >> 14, c.top2);
    EXPECT_EQ((out[6] | (out[7] << 8)) & 0x3FFF, 0x1234);
    TrelFrameHeader back = trelHeaderDecode(out.data(), 0);
    EXPECT_EQ(back.length, c.length);
    EXPECT_EQ(back.sequence, 0x1234);
}

INSTANTIATE_TEST_SUITE_P(Lengths, PayloadLength,
                         ::testing::Values(LengthCase{65535, 65535, 0}, LengthCase{70000, 4464, 1},
                                           LengthCase{TREL_MAX_PAYLOAD, 65535, 3}));

TEST(FrameHeader, WritesSixteenBitFieldsInTheAnnouncedByteOrder) {
    TrelFrameHeader header{0x25, 22, 0xC007, 300, 5};
    EXPECT_EQ(encode(header, 0), (Bytes{0x25, 22, 0x07, 0xC0, 0x2C, 0x01, 0x05, 0x00}));
    EXPECT_EQ(encode(header, 1), (Bytes{0x25, 22, 0xC0, 0x07, 0x01, 0x2C, 0x00, 0x05}));
    Bytes big = encode(header, 1);
    EXPECT_EQ(trelHeaderDecode(big.data(), 1).word, 0xC007);
}

TEST(FrameHeader, AcceptsBothMagicBytesAndNothingElse) {
    for (int magic : {0x24, 0x25}) EXPECT_TRUE(trelMagicValid(magic)) << magic;
    for (int magic : {0x23, 0x26, 0xA4}) EXPECT_FALSE(trelMagicValid(magic)) << magic;
}

TEST(SequenceCounter, RunsFromZeroTo16383AndStartsAgain) {
    uint16_t counter = 16383;
    EXPECT_EQ(trelNextSequence(&counter), 16383);
    EXPECT_EQ(trelNextSequence(&counter), 0);
    EXPECT_EQ(trelNextSequence(&counter), 1);
    counter = 0xFFFF;  // the 16-bit counter itself wraps too
    EXPECT_EQ(trelNextSequence(&counter), 16383);
    EXPECT_EQ(trelNextSequence(&counter), 0);
}

struct ReplyCase {
    int result;
    uint32_t capacity;
    uint8_t status;
    uint32_t length;
};

class ReplyRules : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyRules, HandlerResultGivesStatusAndPayloadLength) {
    const ReplyCase& c = GetParam();
    EXPECT_EQ(trelReplyStatus(c.result), c.status);
    EXPECT_EQ(trelReplyLength(c.result, c.capacity), c.length);
}

INSTANTIATE_TEST_SUITE_P(Results, ReplyRules,
                         ::testing::Values(ReplyCase{-22, 8192, 22, 0}, ReplyCase{-1, 8192, 1, 0},
                                           ReplyCase{-256, 8192, 0, 0},
                                           ReplyCase{-300, 8192, 44, 0}, ReplyCase{0, 8192, 0, 0},
                                           ReplyCase{17, 8192, 0, 17},
                                           ReplyCase{9000, 8192, 0, 8192},
                                           ReplyCase{300000, 400000, 0, TREL_MAX_PAYLOAD}));

}  // namespace
