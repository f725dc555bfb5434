#include <gtest/gtest.h>
#include <sys/socket.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bus/trel.h"
#include "bus/trel_connect.h"
#include "platform/properties.h"
#include "platform/unique_fd.h"
#include "tests/bus/wire_peer.h"

namespace {

using namespace std::chrono_literals;

// Handlers with fixed outcomes, keyed by api id.
int echo(TrelRequest* request) {
    // The payload is NUL-terminated in place.
    if (request->payload[request->length] != '\0') return -5;
    std::memcpy(request->replyPayload, request->payload, request->length);
    return static_cast<int>(request->length);
}
int failInvalid(TrelRequest*) {
    return -22;
}
int failOne(TrelRequest*) {
    return -1;
}
int succeedEmpty(TrelRequest*) {
    return 0;
}
int replyContext(TrelRequest* request) {
    encodeStrcpy(&request->encoder, static_cast<const char*>(request->context));
    return encoderSize(&request->encoder);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// True while thread tid sleeps in the loop's blocking poll (timeout -1), as opposed to the
// zero-timeout poll of a drain or a read.
bool blockedInPoll(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string number, fds, count, timeout;
    if (!(file >> number >> fds >> count >> timeout)) return false;
    return (number == "7" || number == "271") && timeout != "0x0";
}

class DispatchLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        props_ = propCreate();
        client_ = trelCreate("test.client", 3, nullptr, props_, 0, 0);
        ASSERT_NE(client_, nullptr);
        trelSetEventHandler(client_, recordEvent, this);
        TrelInterface* iface = client_->defaultInterface;
        trelRegisterApi(iface, 1, echo, nullptr);
        trelRegisterApi(iface, 2, failInvalid, nullptr);
        trelRegisterApi(iface, 3, failOne, nullptr);
        trelRegisterApi(iface, 4, succeedEmpty, nullptr);
        trelRegisterApi(iface, 5, replyContext, const_cast<char*>("ctx"));
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peerFd_.reset(sv[1]);
        clientFd_ = sv[0];
    }

    void attachAndServe() {
        ASSERT_EQ(trelAttachSocket(client_, clientFd_), 0);
        identity_ = peer().readIdentity();
        loop_ = std::thread([this] {
            loopTid_ = gettid();
            trelDispatchUntilClosed(client_);
        });
    }

    void TearDown() override {
        peerFd_.reset();  // end of stream ends the loop
        if (loop_.joinable()) loop_.join();
        trelFree(client_);
        propFree(props_);
    }

    static void recordEvent(TrelClient*, int event, void* context) {
        auto* self = static_cast<DispatchLoop*>(context);
        std::lock_guard<std::mutex> guard(self->eventLock_);
        self->events_.push_back(event);
    }
    std::vector<int> events() {
        std::lock_guard<std::mutex> guard(eventLock_);
        return events_;
    }

    WirePeer peer() const { return WirePeer(peerFd_.get()); }

    Properties* props_ = nullptr;
    TrelClient* client_ = nullptr;
    UniqueFd peerFd_;
    int clientFd_ = -1;
    std::optional<std::string> identity_;
    std::thread loop_;
    std::atomic<pid_t> loopTid_{0};
    std::mutex eventLock_;
    std::vector<int> events_;
};

TEST_F(DispatchLoop, IdentityComesFirstWithOneNulAndNothingAfterIt) {
    // A thread that keeps sending from before the connection exists must not get ahead of it.
    std::atomic<bool> stop{false}, senderDone{false};
    std::thread sender([this, &stop, &senderDone] {
        while (!stop) trelSendMsg(client_->defaultInterface, 6, "x", 1);
        senderDone = true;
    });
    ASSERT_EQ(trelAttachSocket(client_, clientFd_), 0);
    stop = true;
    auto identity = peer().readIdentity();
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->rfind("{\"name\":\"test.client\",\"revision\":3,\"primary\":", 0), 0u)
        << *identity;
    EXPECT_NE(identity->find("\"inBufSize\":8176,\"outBufSize\":8176,\"protocol\":\"binaryMsg\","
                             "\"byteOrder\":\"LITTLE_ENDIAN\",\"interfaces\":[{\"name\":\"\","
                             "\"version\":0}]}"),
              std::string::npos)
        << *identity;
    // Whatever follows the NUL is whole frames (the reads also unblock a sender on a full
    // socket).
    while (!senderDone || WirePeer::pendingBytes(peerFd_.get()) > 0) {
        if (WirePeer::pendingBytes(peerFd_.get()) == 0) continue;
        auto frame = peer().readFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->header.magic, TREL_MAGIC);
        EXPECT_EQ(frame->header.word, 0x8006);
    }
    sender.join();
    EXPECT_EQ(events(), std::vector<int>{TREL_EVENT_CONNECTED});
}

struct ReplyCase {
    const char* name;
    uint8_t apiId;
    unsigned iface;
    std::string payload;
    uint8_t status;
    std::string reply;
};

class Replies : public DispatchLoop, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, HandlerOutcomeGivesStatusAndPayload) {
    attachAndServe();
    const ReplyCase& c = GetParam();
    ASSERT_TRUE(peer().sendRequest(c.apiId, 321, c.payload, true, c.iface));
    auto frame = peer().readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.magic, TREL_MAGIC);
    EXPECT_EQ(frame->header.status, c.status);
    EXPECT_EQ(frame->header.word, 321);  // the answered sequence, no flags
    EXPECT_EQ(std::string(frame->payload.begin(), frame->payload.end()), c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Replies,
    ::testing::Values(ReplyCase{"EchoReturnsItsBytes", 1, 0, "eth0", 0, "eth0"},
                      ReplyCase{"EmptyPayloadReachesHandlerAsEmpty", 1, 0, "", 0, ""},
                      ReplyCase{"MinusTwentyTwoGivesStatus22", 2, 0, "x", 22, ""},
                      ReplyCase{"MinusOneGivesStatus1", 3, 0, "", 1, ""},
                      ReplyCase{"ZeroGivesEmptySuccess", 4, 0, "", 0, ""},
                      ReplyCase{"HandlerSeesItsRegisteredContext", 5, 0, "", 0,
                                std::string("ctx\0", 4)},
                      ReplyCase{"UnregisteredIdGives255", 200, 0, "", 255, ""},
                      ReplyCase{"IdZeroGives255", 0, 0, "", 255, ""},
                      ReplyCase{"InterfaceIndex20Gives255", 1, 20, "eth0", 255, ""},
                      ReplyCase{"UnregisteredInterfaceGives255", 1, 1, "eth0", 255, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DispatchLoop, RequestWithoutReplyBitIsServedSilently) {
    attachAndServe();
    // Neither a failing handler nor a missing one answers without bit 14.
    ASSERT_TRUE(peer().sendRequest(2, 10, "", false));
    ASSERT_TRUE(peer().sendRequest(200, 11, "", false));
    ASSERT_TRUE(peer().sendRequest(1, 12, "next"));
    auto frame = peer().readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.word, 12);
    EXPECT_EQ(frame->header.sequence, 0);
}

TEST_F(DispatchLoop, MagicWithBitZeroSetIsEchoed) {
    attachAndServe();
    ASSERT_TRUE(peer().sendRequest(1, 7, "a", true, 0, 0x25));
    auto frame = peer().readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.magic, 0x25);
    EXPECT_EQ(frame->header.status, 0);
}

TEST_F(DispatchLoop, ServerRepliesAreReadAndDropped) {
    attachAndServe();
    unsigned char reply[TREL_HEADER_SIZE + 3];
    trelHeaderEncode(reply, {TREL_MAGIC, 0, 5, 3, 1}, 0);  // message bit clear
    std::memcpy(reply + TREL_HEADER_SIZE, "abc", 3);
    ASSERT_TRUE(peer().send(reply, sizeof reply));
    ASSERT_TRUE(peer().sendRequest(1, 8, "ok"));
    auto frame = peer().readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.word, 8);
}

TEST_F(DispatchLoop, BadFramesAreDrainedAndTheConnectionStays) {
    attachAndServe();
    struct {
        uint8_t magic;
        uint32_t length;
    } bad[] = {{TREL_MAGIC, 9000}, {TREL_MAGIC, 8192}, {0x42, 10}};
    uint16_t sequence = 100;
    for (const auto& b : bad) {
        ASSERT_TRUE(peer().sendRequest(1, sequence, std::string(b.length, '\0'), true, 0, b.magic));
        // The drain ends only when nothing more is readable: wait until the loop sleeps again,
        // so that the next request is not taken for left-over input.
        ASSERT_TRUE(waitUntil(
            [this] { return WirePeer::pendingBytes(clientFd_) == 0 && blockedInPoll(loopTid_); }));
        ASSERT_TRUE(peer().sendRequest(1, ++sequence, "alive"));
        auto frame = peer().readFrame();
        ASSERT_TRUE(frame) << "after magic " << int(b.magic) << " length " << b.length;
        EXPECT_EQ(frame->header.word, sequence);
        EXPECT_EQ(std::string(frame->payload.begin(), frame->payload.end()), "alive");
        ++sequence;
    }
    EXPECT_EQ(events(), std::vector<int>{TREL_EVENT_CONNECTED});
}

TEST_F(DispatchLoop, PayloadOfInputBufferSizeLessOneIsAccepted) {
    attachAndServe();
    std::string big(8191, 'p');
    ASSERT_TRUE(peer().sendRequest(1, 1, big));
    auto frame = peer().readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload.size(), big.size());
}

struct TruncatedCase {
    const char* name;
    size_t bytesSent;  // of a frame announcing a 100-byte payload
};

class Truncated : public DispatchLoop, public ::testing::WithParamInterface<TruncatedCase> {};

TEST_P(Truncated, FrameClosesTheConnectionAndReportsTheLoss) {
    attachAndServe();
    std::vector<unsigned char> frame(TREL_HEADER_SIZE + 100, 'z');
    trelHeaderEncode(frame.data(), {TREL_MAGIC, 0, trelControlWord(0, 1, true), 100, 1}, 0);
    ASSERT_TRUE(peer().send(frame.data(), GetParam().bytesSent));
    shutdown(peerFd_.get(), SHUT_WR);
    loop_.join();
    EXPECT_EQ(client_->connected, 0);
    EXPECT_EQ(client_->socket, -1);
    EXPECT_EQ(client_->pollSet[0].fd, -1);
    EXPECT_EQ(events(), (std::vector<int>{TREL_EVENT_CONNECTED, TREL_EVENT_DISCONNECTED}));
    unsigned char byte;
    EXPECT_FALSE(peer().readExactly(&byte, 1, 100ms)) << "no reply to a truncated frame";
}

INSTANTIATE_TEST_SUITE_P(Cuts, Truncated,
                         ::testing::Values(TruncatedCase{"InTheHeader", 4},
                                           TruncatedCase{"InThePayload", TREL_HEADER_SIZE + 10},
                                           TruncatedCase{"BeforeAnyByte", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DispatchLoop, RepliesAndMessagesShareOneSequenceCounter) {
    attachAndServe();
    ASSERT_TRUE(peer().sendRequest(1, 500, "a"));
    auto first = peer().readFrame();
    trelSendMsg(client_->defaultInterface, 13, "msg", 3);
    auto message = peer().readFrame();
    ASSERT_TRUE(peer().sendRequest(1, 501, "b"));
    auto second = peer().readFrame();
    ASSERT_TRUE(first && message && second);
    EXPECT_EQ(first->header.sequence, 0);
    EXPECT_EQ(first->header.word, 500);
    EXPECT_EQ(message->header.sequence, 1);
    EXPECT_EQ(message->header.word, 0x8000 | 13);
    EXPECT_EQ(message->header.status, 0);
    EXPECT_EQ(second->header.sequence, 2);
    EXPECT_EQ(second->header.word, 501);
}

TEST_F(DispatchLoop, SequenceNumberStartsAgainAfter16383) {
    attachAndServe();
    client_->txSequence = 16383;
    trelSendMsg(client_->defaultInterface, 6, "", 0);
    ASSERT_TRUE(peer().sendRequest(1, 2, "r"));
    auto message = peer().readFrame();
    auto reply = peer().readFrame();
    ASSERT_TRUE(message && reply);
    EXPECT_EQ(message->header.sequence, 16383);
    EXPECT_EQ(reply->header.sequence, 0);
}

TEST_F(DispatchLoop, MessageOf70000BytesAnnouncesItsLengthInEighteenBits) {
    attachAndServe();
    std::vector<unsigned char> payload(70000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7);
    std::thread sender([&] {
        trelSendMsg(client_->defaultInterface, 13, payload.data(),
                    static_cast<int>(payload.size()));
    });
    unsigned char raw[TREL_HEADER_SIZE];
    ASSERT_TRUE(peer().readExactly(raw, sizeof raw, WirePeer::kLimit));
    EXPECT_EQ(raw[4] | (raw[5] << 8), 4464);
    EXPECT_EQ((raw[6] | (raw[7] << 8)) >> 14, 1);
    std::vector<unsigned char> got(payload.size());
    ASSERT_TRUE(peer().readExactly(got.data(), got.size(), WirePeer::kLimit));
    sender.join();
    EXPECT_EQ(got, payload);
}

TEST_F(DispatchLoop, FramesFromManyThreadsNeverInterleave) {
    attachAndServe();
    constexpr int kPerThread = 150, kRequests = 30, kSize = 1500;
    auto sendMany = [this](unsigned char fill) {
        std::vector<unsigned char> payload(kSize, fill);
        for (int i = 0; i < kPerThread; ++i) {
            trelSendMsg(client_->defaultInterface, 6, payload.data(), kSize);
        }
    };
    std::thread a(sendMany, 'a'), b(sendMany, 'b');
    std::thread requester([this] {
        for (int i = 0; i < kRequests; ++i) peer().sendRequest(1, static_cast<uint16_t>(i), "q");
    });
    int messages = 0, replies = 0;
    for (int expected = 0; expected < 2 * kPerThread + kRequests; ++expected) {
        auto frame = peer().readFrame();
        ASSERT_TRUE(frame) << "frame " << expected;
        ASSERT_EQ(frame->header.sequence, expected);
        if (frame->header.word & TREL_CTRL_MESSAGE) {
            ++messages;
            ASSERT_EQ(frame->payload.size(), static_cast<size_t>(kSize));
            ASSERT_EQ(std::count(frame->payload.begin(), frame->payload.end(), frame->payload[0]),
                      kSize);
        } else {
            ++replies;
        }
    }
    a.join();
    b.join();
    requester.join();
    EXPECT_EQ(messages, 2 * kPerThread);
    EXPECT_EQ(replies, kRequests);
}

TEST(SendWithoutConnection, MessageIsLostButTheCounterMoves) {
    Properties* props = propCreate();
    TrelClient* client = trelCreate("lonely", 1, nullptr, props, 0, 0);
    ASSERT_NE(client, nullptr);
    trelSendMsg(client->defaultInterface, 6, "x", 1);
    EXPECT_EQ(client->txSequence, 1);
    trelSendMsg(client->defaultInterface, 6, nullptr, -1);  // refused outright
    EXPECT_EQ(client->txSequence, 1);
    trelFree(client);
    propFree(props);
}

}  // namespace
