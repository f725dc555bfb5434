// The bus client's pure pieces, and its dispatch loop driven from the server end of a
// socketpair: what the daemon-level tests cannot reach (byte order, monitors, the timer).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "bus/trel_client.h"
#include "bus/trel_connect.h"

namespace {

struct HeaderCase {
    TrelFrameHeader header;
    int byteOrder;
    std::vector<unsigned char> wire;
};

class FrameHeader : public testing::TestWithParam<HeaderCase> {};

TEST_P(FrameHeader, EncodesToTheWireAndBack) {
    const HeaderCase& c = GetParam();
    unsigned char out[TREL_HEADER_SIZE];
    trelHeaderEncode(out, c.header, c.byteOrder);
    EXPECT_EQ(std::vector<unsigned char>(out, out + TREL_HEADER_SIZE), c.wire);
    TrelFrameHeader back = trelHeaderDecode(out, c.byteOrder);
    EXPECT_EQ(back.word, c.header.word);
    EXPECT_EQ(back.length, c.header.length & TREL_MAX_PAYLOAD);
    EXPECT_EQ(back.sequence, c.header.sequence & TREL_SEQUENCE_MASK);
}

INSTANTIATE_TEST_SUITE_P(
    Bus, FrameHeader,
    testing::Values(
        // The top two length bits ride in the sequence word.
        HeaderCase{
            {0x24, 0, 0xC107, 0x3FFFF, 0x3FFF}, 0, {0x24, 0, 7, 0xC1, 0xFF, 0xFF, 0xFF, 0xFF}},
        HeaderCase{{0x25, 7, 0x8001, 0x10002, 5}, 1, {0x25, 7, 0x80, 1, 0, 2, 0x40, 5}},
        // Bits beyond the fields' widths are cut, never carried into a neighbour.
        HeaderCase{{0x24, 0, 1, 0x7FFFF, 0xFFFF}, 0, {0x24, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF}}));

TEST(Bus, ReplyStatusAndLengthComeFromTheHandlerResult) {
    EXPECT_EQ(trelReplyStatus(12), 0);
    EXPECT_EQ(trelReplyStatus(-EINVAL), EINVAL);
    EXPECT_EQ(trelReplyStatus(-256 - EIO), EIO) << "the low 8 bits";
    EXPECT_EQ(trelReplyLength(-1, 8192), 0u);
    EXPECT_EQ(trelReplyLength(9000, 8192), 8192u);
    EXPECT_EQ(trelControlInterface(trelControlWord(63, 9, true)), 63u);
    EXPECT_EQ(trelControlApi(trelControlWord(63, 9, true)), 9);
}

TEST(Bus, ServerTextsGiveHostAndPort) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"host:1234", "host", 1234},
        {"host", "host", 0},
        {"[2001:db8::1]:99", "2001:db8::1", 99},
        {"2001:db8::1", "2001:db8::1", 0},
        {"[::1]", "::1", 0},
        {"h:70000", "h", -1},
        {"h:0", "h", -1},
        {"h:1x", "h", -1}};
    for (const auto& [text, host, port] : cases) {
        int got = 0;
        MallocPtr<char> parsed(trelParseServer(text, &got));
        EXPECT_STREQ(parsed.get(), host) << text;
        EXPECT_EQ(got, port) << text;
    }
}

// The server's end: frames in, frames out.
struct Peer {
    int fd;
    void send(uint8_t apiId, uint16_t sequence, const std::string& payload, bool reply = true) {
        unsigned char head[TREL_HEADER_SIZE];
        trelHeaderEncode(head,
                         {TREL_MAGIC, 0, trelControlWord(0, apiId, reply),
                          static_cast<uint32_t>(payload.size()), sequence},
                         0);
        std::string frame(reinterpret_cast<char*>(head), sizeof head);
        frame += payload;
        ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }
    std::string readAll() {
        std::string all;
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) all.append(buffer, n);
        return all;
    }
};

int echoLength(TrelRequest* request) {
    encodeStrcpy(&request->encoder, reinterpret_cast<const char*>(request->payload));
    return encoderSize(&request->encoder);
}
int refuse(TrelRequest*) {
    return -ENOENT;
}

int ticks = 0;
int gPeerEnd = -1;  // the server's end: its end of stream ends the loop
void onTimer(TrelClient*, void*) {
    if (++ticks == 3) shutdown(gPeerEnd, SHUT_WR);
}
int monitored = 0;
void onReadable(TrelClient*, int fd, int, void*) {
    char c;
    monitored += static_cast<int>(read(fd, &c, 1));
}

TEST(Bus, DispatchAnswersRequestsRunsMonitorsAndTheTimerUntilTheConnectionCloses) {
    Properties* none = propCreate();  // so that /etc/yeb.properties is not read
    TrelClient* client = trelCreate("test.client", 1, "localhost:1", none, 0, 0);
    propFree(none);
    ASSERT_NE(client, nullptr);
    trelRegisterApi(trelDefaultInterface(client), 1, echoLength, nullptr);
    trelRegisterApi(trelDefaultInterface(client), 2, refuse, nullptr);
    trelSetTimerHandler(client, onTimer, nullptr);
    int ends[2], events[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ASSERT_EQ(pipe(events), 0);
    trelMonitorFD(client, events[0], POLLIN, onReadable, nullptr);
    ASSERT_EQ(write(events[1], "x", 1), 1);
    Peer peer{ends[1]};
    gPeerEnd = ends[1];
    peer.send(1, 10, std::string("hello") + '\0');
    peer.send(2, 11, "");
    peer.send(99, 12, "");
    peer.send(1, 13, "quiet", false);
    ASSERT_EQ(trelAttachSocket(client, ends[0]), 0);
    trelSetTimer(client, 10);
    trelDispatchUntilClosed(client);

    std::string wire = peer.readAll();
    std::string identity = wire.substr(0, wire.find('\0'));
    EXPECT_NE(identity.find(R"("name":"test.client")"), std::string::npos) << identity;
    const unsigned char* p =
        reinterpret_cast<const unsigned char*>(wire.data()) + identity.size() + 1;
    std::vector<std::pair<int, int>> replies;  // (answered sequence, status)
    for (size_t left = wire.size() - identity.size() - 1; left >= TREL_HEADER_SIZE;) {
        TrelFrameHeader h = trelHeaderDecode(p, 0);
        replies.emplace_back(h.word, h.status);
        p += TREL_HEADER_SIZE + h.length;
        left -= TREL_HEADER_SIZE + h.length;
    }
    EXPECT_EQ(replies, (std::vector<std::pair<int, int>>{{10, 0}, {11, ENOENT}, {12, 255}}));
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(monitored, 1);
    EXPECT_EQ(trelRemoveMonitorFD(client, events[0]), nullptr);
    close(events[0]);
    close(events[1]);
    close(ends[1]);
    trelFree(client);
}

}  // namespace
