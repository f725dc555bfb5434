// The dispatch loop driven frame by frame from the server end of a socketpair. Frame handling
// that the daemon shows as well (drain, truncation, sequence wrap) is covered end to end in
// tests/integration.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus/trel.h"
#include "bus/trel_connect.h"
#include "bus/trel_header.h"
#include "platform/properties.h"
#include "platform/unique_fd.h"

namespace {

struct WireFrame {
    TrelFrameHeader header;
    std::string payload;
};

// The server's side of the connection.
class Server {
  public:
    explicit Server(int fd) : fd_(fd) {}

    void sendRequest(uint8_t apiId, uint16_t sequence, const std::string& payload,
                     bool replyWanted = true, unsigned iface = 0, uint8_t magic = TREL_MAGIC,
                     uint16_t word = 0) const {
        std::string frame(TREL_HEADER_SIZE, '\0');
        if (word == 0) word = trelControlWord(iface, apiId, replyWanted);
        trelHeaderEncode(reinterpret_cast<unsigned char*>(frame.data()),
                         {magic, 0, word, static_cast<uint32_t>(payload.size()), sequence}, 0);
        frame += payload;
        ASSERT_EQ(::write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }

    // Exactly n bytes, or false after ten seconds without input.
    bool read(void* out, size_t n) const {
        auto* p = static_cast<char*>(out);
        for (pollfd entry{fd_, POLLIN, 0}; n > 0;) {
            ssize_t got = ::poll(&entry, 1, 10000) == 1 ? ::read(fd_, p, n) : -1;
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    std::optional<WireFrame> readFrame() const {
        unsigned char raw[TREL_HEADER_SIZE];
        if (!read(raw, sizeof raw)) return std::nullopt;
        WireFrame frame{trelHeaderDecode(raw, 0), {}};
        frame.payload.resize(frame.header.length);
        if (!read(frame.payload.data(), frame.payload.size())) return std::nullopt;
        return frame;
    }

    std::optional<std::string> readIdentity() const {
        std::string text;
        for (char c; read(&c, 1);) {
            if (c == '\0') return text;
            text.push_back(c);
        }
        return std::nullopt;
    }

  private:
    int fd_;
};

// Handler outcomes, keyed by api id.
int echo(TrelRequest* request) {
    if (request->payload[request->length] != '\0') return -5;  // NUL-terminated in place
    std::memcpy(request->replyPayload, request->payload, request->length);
    return static_cast<int>(request->length);
}
int replyContext(TrelRequest* request) {
    encodeStrcpy(&request->encoder, static_cast<const char*>(request->context));
    return encoderSize(&request->encoder);
}

class DispatchLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        props_ = propCreate();
        client_ = trelCreate("test.client", 3, nullptr, props_, 0, 0);
        ASSERT_NE(client_, nullptr);
        TrelInterface* iface = client_->defaultInterface;
        trelRegisterApi(iface, 1, echo, nullptr);
        trelRegisterApi(
            iface, 2, [](TrelRequest*) { return -22; }, nullptr);
        trelRegisterApi(iface, 5, replyContext, const_cast<char*>("ctx"));
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peerFd_.reset(sv[1]);
        clientFd_ = sv[0];
    }

    void attachAndServe() {
        ASSERT_EQ(trelAttachSocket(client_, clientFd_), 0);
        ASSERT_TRUE(server().readIdentity());
        loop_ = std::thread([this] { trelDispatchUntilClosed(client_); });
    }

    void TearDown() override {
        peerFd_.reset();  // end of stream ends the loop
        if (loop_.joinable()) loop_.join();
        trelFree(client_);
        propFree(props_);
    }

    Server server() const { return Server(peerFd_.get()); }

    Properties* props_ = nullptr;
    TrelClient* client_ = nullptr;
    UniqueFd peerFd_;
    int clientFd_ = -1;
    std::thread loop_;
};

TEST_F(DispatchLoop, IdentityComesFirstEvenWhileAnotherThreadKeepsSending) {
    std::atomic<bool> stop{false};
    std::thread sender([this, &stop] {
        while (!stop) trelSendMsg(client_->defaultInterface, 6, "x", 1);
    });
    ASSERT_EQ(trelAttachSocket(client_, clientFd_), 0);
    stop = true;
    auto identity = server().readIdentity();
    ASSERT_TRUE(identity);
    // Its members are checked against the daemon in tests/integration.
    EXPECT_EQ(identity->rfind("{\"name\":\"test.client\",\"revision\":3,", 0), 0u) << *identity;
    // Whatever follows the NUL is whole frames; reading them also frees a blocked sender.
    std::thread drainer([this] {
        while (auto frame = server().readFrame()) {
            EXPECT_EQ(frame->header.word, 0x8006);
            EXPECT_EQ(frame->payload, "x");
        }
    });
    sender.join();
    shutdown(clientFd_, SHUT_WR);
    drainer.join();
}

struct ReplyCase {
    const char* name;
    uint8_t apiId;
    unsigned iface;
    uint8_t magic;
    std::string payload;
    uint8_t status;
    std::string reply;
};

class Replies : public DispatchLoop, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, CarryTheHandlerOutcomeTheMagicAndTheAnsweredSequence) {
    attachAndServe();
    const ReplyCase& c = GetParam();
    server().sendRequest(c.apiId, 321, c.payload, true, c.iface, c.magic);
    auto frame = server().readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.magic, c.magic);
    EXPECT_EQ(frame->header.status, c.status);
    EXPECT_EQ(frame->header.word, 321);  // no flags
    EXPECT_EQ(frame->payload, c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Replies,
    ::testing::Values(
        ReplyCase{"EchoReturnsItsBytes", 1, 0, TREL_MAGIC, "eth0", 0, "eth0"},
        ReplyCase{"EmptyPayloadReachesHandlerAsEmpty", 1, 0, TREL_MAGIC, "", 0, ""},
        ReplyCase{"MagicWithBitZeroSetIsEchoed", 1, 0, 0x25, "a", 0, "a"},
        ReplyCase{"MinusTwentyTwoGivesStatus22", 2, 0, TREL_MAGIC, "x", 22, ""},
        ReplyCase{"HandlerSeesItsContext", 5, 0, TREL_MAGIC, "", 0, std::string("ctx\0", 4)},
        ReplyCase{"UnregisteredIdGives255", 200, 0, TREL_MAGIC, "", 255, ""},
        ReplyCase{"UnregisteredInterfaceGives255", 1, 1, TREL_MAGIC, "eth0", 255, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DispatchLoop, FramesFromTheServerWithoutReplyBitOrMessageBitGetNoAnswer) {
    attachAndServe();
    server().sendRequest(2, 10, "", false);
    server().sendRequest(200, 11, "", false);
    server().sendRequest(1, 0, "abc", true, 0, TREL_MAGIC, 5);  // a reply to our frame 5
    server().sendRequest(1, 12, "next");
    auto frame = server().readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.word, 12);
    EXPECT_EQ(frame->header.sequence, 0);
}

TEST_F(DispatchLoop, MessageOf70000BytesAnnouncesItsLengthInEighteenBits) {
    attachAndServe();
    std::string payload(70000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    // Far more than the socket holds: the sender must finish its short writes.
    std::thread sender([&] {
        trelSendMsg(client_->defaultInterface, 13, payload.data(),
                    static_cast<int>(payload.size()));
    });
    unsigned char raw[TREL_HEADER_SIZE];
    ASSERT_TRUE(server().read(raw, sizeof raw));
    EXPECT_EQ(raw[4] | (raw[5] << 8), 4464);
    EXPECT_EQ((raw[6] | (raw[7] << 8)) >> 14, 1);
    std::string got(payload.size(), '\0');
    ASSERT_TRUE(server().read(got.data(), got.size()));
    sender.join();
    EXPECT_EQ(got, payload);
}

TEST_F(DispatchLoop, FramesFromManyThreadsNeverInterleaveAndShareOneSequenceCounter) {
    attachAndServe();
    constexpr int kPerThread = 150, kRequests = 30, kSize = 1500;
    auto sendMany = [this](char fill) {
        std::string payload(kSize, fill);
        for (int i = 0; i < kPerThread; ++i) {
            trelSendMsg(client_->defaultInterface, 6, payload.data(), kSize);
        }
    };
    std::thread a(sendMany, 'a'), b(sendMany, 'b');
    std::thread requester([this] {
        for (int i = 0; i < kRequests; ++i) server().sendRequest(1, 1000 + i, "q");
    });
    int messages = 0, replies = 0, frames = 0;
    for (; frames < 2 * kPerThread + kRequests; ++frames) {
        auto frame = server().readFrame();
        if (!frame || frame->header.sequence != frames) break;
        if (frame->header.word & TREL_CTRL_MESSAGE) {
            auto& bytes = frame->payload;
            if (frame->header.word != (TREL_CTRL_MESSAGE | 6) ||
                std::count(bytes.begin(), bytes.end(), bytes[0]) != kSize)
                break;
            ++messages;
        } else if (frame->header.word == 1000 + replies) {
            ++replies;
        } else {
            break;
        }
    }
    shutdown(peerFd_.get(), SHUT_RDWR);  // lets senders go that a failure left blocked
    a.join();
    b.join();
    requester.join();
    EXPECT_EQ(frames, 2 * kPerThread + kRequests) << "frame " << frames << " is wrong";
    EXPECT_EQ(messages, 2 * kPerThread);
}

TEST_F(DispatchLoop, MessageWithoutConnectionIsLostButTheCounterMoves) {
    trelSendMsg(client_->defaultInterface, 6, "x", 1);
    EXPECT_EQ(client_->txSequence, 1);
    trelSendMsg(client_->defaultInterface, 6, nullptr, -1);  // refused outright
    EXPECT_EQ(client_->txSequence, 1);
}

}  // namespace
