#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>

#include "lkctl/trel_server.h"

namespace {

struct HeaderCase {
    const char* name;
    TrelWireHeader header;
    unsigned char bytes[8];
};

const HeaderCase HEADER_CASES[] = {
    {"request_with_reply_wanted",
     {0x24, 0, 0xc007, 0, 5},
     {0x24, 0x00, 0x07, 0xc0, 0x00, 0x00, 0x05, 0x00}},
    {"length_of_70000_puts_its_top_bits_over_the_sequence",
     {0x24, 0, 0x8006, 70000, 3},
     {0x24, 0x00, 0x06, 0x80, 0x70, 0x11, 0x03, 0x40}},
    {"largest_length_and_sequence",
     {0x25, 255, 0x3fff, 0x3ffff, 16383},
     {0x25, 0xff, 0xff, 0x3f, 0xff, 0xff, 0xff, 0xff}},
};

class HeaderLayout : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderLayout, EncodesToTheWireBytesAndDecodesBack) {
    const HeaderCase& c = GetParam();
    unsigned char out[8];
    trelWireEncodeHeader(c.header, out);
    EXPECT_EQ(0, memcmp(out, c.bytes, 8));
    TrelWireHeader back = trelWireDecodeHeader(c.bytes);
    EXPECT_EQ(back.magic, c.header.magic);
    EXPECT_EQ(back.status, c.header.status);
    EXPECT_EQ(back.control, c.header.control);
    EXPECT_EQ(back.length, c.header.length);
    EXPECT_EQ(back.sequence, c.header.sequence);
}

INSTANTIATE_TEST_SUITE_P(Cases, HeaderLayout, testing::ValuesIn(HEADER_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HeaderLayout, SequenceBeyond14BitsIsCutNotMixedIntoTheLength) {
    unsigned char out[8];
    trelWireEncodeHeader({0x24, 0, 0, 0, 16384 + 2}, out);
    EXPECT_EQ(trelWireDecodeHeader(out).sequence, 2);
    EXPECT_EQ(trelWireDecodeHeader(out).length, 0u);
}

TEST(ControlWord, CarriesIdIndexAndFlags) {
    uint16_t control = trelWireControl(200, 20, true);
    EXPECT_EQ(trelWireApiId(control), 200);
    EXPECT_EQ(trelWireIfIndex(control), 20);
    EXPECT_TRUE(control & TREL_WIRE_MESSAGE);
    EXPECT_TRUE(control & TREL_WIRE_REPLY_WANTED);
    EXPECT_FALSE(trelWireControl(7, 0, false) & TREL_WIRE_REPLY_WANTED);
}

// A connected socket pair stands in for the bus connection.
class FrameIo : public testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a_.reset(fds[0]);
        b_.reset(fds[1]);
    }
    UniqueFd a_, b_;
    TrelWireFrame frame_;
};

TEST_F(FrameIo, FrameSentIsReadWhole) {
    const char payload[] = "eth0";
    ASSERT_EQ(trelServerSendFrame(a_.get(), {0x24, 0, trelWireControl(2, 0, true), 5, 9}, payload),
              0);
    ASSERT_EQ(trelServerReadFrame(b_.get(), &frame_, 1000), 1);
    EXPECT_EQ(frame_.header.sequence, 9);
    EXPECT_EQ(std::string(frame_.payload.begin(), frame_.payload.end()), std::string("eth0", 5));
}

TEST_F(FrameIo, NothingSentIsATimeOutAndClosingIsAnError) {
    EXPECT_EQ(trelServerReadFrame(b_.get(), &frame_, 50), 0);
    a_.reset();
    EXPECT_EQ(trelServerReadFrame(b_.get(), &frame_, 50), -1);
}

TEST_F(FrameIo, HeaderWithoutItsPayloadIsAnErrorNotATimeOut) {
    unsigned char head[8];
    trelWireEncodeHeader({0x24, 0, 0x8006, 100, 0}, head);
    ASSERT_EQ(write(a_.get(), head, sizeof head), 8);
    EXPECT_EQ(trelServerReadFrame(b_.get(), &frame_, 50), -1);
}

TEST_F(FrameIo, LengthAboveTheCallersLimitIsRefused) {
    ASSERT_EQ(trelServerSendFrame(a_.get(), {0x24, 0, 0x8006, 4, 0}, "abcd"), 0);
    EXPECT_EQ(trelServerReadFrame(b_.get(), &frame_, 1000, 3), -1);
}

TEST_F(FrameIo, IdentityReadStopsAtItsNulAndLeavesTheFrameAfterIt) {
    const char bytes[] = "{\"name\":\"x\"}\0$";
    ASSERT_EQ(write(a_.get(), bytes, sizeof bytes - 1), static_cast<ssize_t>(sizeof bytes - 1));
    std::string identity;
    ASSERT_EQ(trelServerReadIdentity(b_.get(), &identity, 1000), 1);
    EXPECT_EQ(identity, "{\"name\":\"x\"}");
    char next = 0;
    EXPECT_EQ(read(b_.get(), &next, 1), 1);
    EXPECT_EQ(next, '$');
}

}  // namespace
