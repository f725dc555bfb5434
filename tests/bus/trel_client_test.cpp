#include <gtest/gtest.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "bus/trel.h"
#include "bus/trel_poll.h"
#include "platform/properties.h"

namespace {

struct PropsDeleter {
    void operator()(Properties* p) const { propFree(p); }
};
using PropsPtr = std::unique_ptr<Properties, PropsDeleter>;
struct ClientDeleter {
    void operator()(TrelClient* c) const { trelFree(c); }
};
using ClientPtr = std::unique_ptr<TrelClient, ClientDeleter>;

PropsPtr makeProps(const std::map<std::string, std::string>& entries) {
    PropsPtr props(propCreate());
    for (const auto& [key, value] : entries) propSet(props.get(), key.c_str(), value.c_str());
    return props;
}

struct ConfigCase {
    const char* name;
    const char* server;
    std::map<std::string, std::string> props;
    const char* wantServer;  // null: "localhost" when connecting
    int wantPort;
};

class ServerAndPort : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ServerAndPort, ComeFromArgumentThenOwnKeyThenSharedKeyThenDefault) {
    const ConfigCase& c = GetParam();
    PropsPtr props = makeProps(c.props);
    ClientPtr client(trelCreate("yeb.linkKeeper", 1, c.server, props.get(), 0, 0));
    ASSERT_TRUE(client);
    if (c.wantServer == nullptr) {
        EXPECT_EQ(client->server, nullptr);
    } else {
        ASSERT_NE(client->server, nullptr);
        EXPECT_STREQ(client->server, c.wantServer);
    }
    EXPECT_EQ(client->port, c.wantPort);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ServerAndPort,
    ::testing::Values(
        ConfigCase{"NothingGivesLocalhostAnd10001", nullptr, {}, nullptr, 10001},
        ConfigCase{"OwnServerKeyWinsOverShared",
                   nullptr,
                   {{"trel.server", "shared"}, {"trel.yeb.linkKeeper.server", "own"}},
                   "own",
                   10001},
        ConfigCase{"SharedKeysServeEveryClient",
                   nullptr,
                   {{"trel.server", "shared"}, {"trel.port", "1234"}},
                   "shared",
                   1234},
        ConfigCase{"OwnPortKeyWinsOverShared",
                   nullptr,
                   {{"trel.port", "1"}, {"trel.yeb.linkKeeper.port", "2"}},
                   nullptr,
                   2},
        ConfigCase{"ArgumentServerWinsButPortStillFromKeys",
                   "arg",
                   {{"trel.server", "shared"}, {"trel.port", "99"}},
                   "arg",
                   99},
        ConfigCase{"PortInArgumentIgnoresPortKeys",
                   "arg:4000",
                   {{"trel.port", "99"}, {"trel.yeb.linkKeeper.port", "98"}},
                   "arg",
                   4000},
        ConfigCase{
            "NonNumericPortInArgumentFallsBackToKeys", "arg:abc", {{"trel.port", "99"}}, "arg", 99},
        ConfigCase{"NonNumericPortAndNoKeysGivesDefault", "arg:abc", {}, "arg", 10001},
        ConfigCase{"OnlyTheLastColonSplits", "fe80::1:4001", {}, "fe80::1", 4001}),
    [](const auto& info) { return std::string(info.param.name); });

// Writes the platform properties file; only inside the private file-system sandbox.
bool writeSystemProperties(const char* text) {
    if (std::getenv("LK_SANDBOX_FS") == nullptr) return false;
    FILE* file = std::fopen("/etc/yeb.properties", "w");
    if (file == nullptr) return false;
    std::fputs(text, file);
    return std::fclose(file) == 0;
}

TEST(SystemProperties, AreReadOnlyWhenTheCallerGivesNone) {
    if (!writeSystemProperties("trel.server=fromfile\ntrel.port=2222\n")) {
        GTEST_SKIP() << "needs the file-system sandbox";
    }
    ClientPtr fromFile(trelCreate("yeb.linkKeeper", 1, nullptr, nullptr, 0, 0));
    ASSERT_TRUE(fromFile);
    EXPECT_STREQ(fromFile->server, "fromfile");
    EXPECT_EQ(fromFile->port, 2222);

    PropsPtr own = makeProps({});
    ClientPtr withOwn(trelCreate("yeb.linkKeeper", 1, nullptr, own.get(), 0, 0));
    EXPECT_EQ(withOwn->server, nullptr);
    EXPECT_EQ(withOwn->port, 10001);
    std::remove("/etc/yeb.properties");
    ClientPtr without(trelCreate("yeb.linkKeeper", 1, nullptr, nullptr, 0, 0));
    EXPECT_EQ(without->server, nullptr);
    EXPECT_EQ(without->port, 10001);
}

TEST(TrelCreate, NullNameGivesNull) {
    EXPECT_EQ(trelCreate(nullptr, 1, nullptr, nullptr, 0, 0), nullptr);
}

TEST(TrelCreate, BufferSizesHaveA8192Minimum) {
    PropsPtr props = makeProps({});
    struct {
        unsigned asked, got;
    } cases[] = {{0, 8192}, {4096, 8192}, {20000, 20000}};
    for (const auto& c : cases) {
        ClientPtr client(trelCreate("c", 1, nullptr, props.get(), c.asked, c.asked));
        EXPECT_EQ(client->inBufSize, c.got) << c.asked;
        EXPECT_EQ(client->outBufSize, c.got) << c.asked;
    }
}

TEST(TrelCreate, StartsUnconnectedWithTheDefaultInterface) {
    PropsPtr props = makeProps({});
    ClientPtr client(trelCreate("c", 7, nullptr, props.get(), 0, 0));
    EXPECT_EQ(client->socket, -1);
    EXPECT_EQ(client->connected, 0);
    EXPECT_EQ(client->pollCount, 1);
    EXPECT_EQ(client->keepAlive, 1);
    EXPECT_EQ(client->revision, 7u);
    ASSERT_EQ(client->interfaceCount, 1);
    EXPECT_EQ(client->defaultInterface, &client->interfaces[0]);
    EXPECT_STREQ(client->defaultInterface->name, "");
    EXPECT_EQ(client->defaultInterface->maxId, 255);
    EXPECT_EQ(client->defaultInterface->index, 0);
}

TEST(Interfaces, DuplicateNamesAndASeventeenthAreRefused) {
    PropsPtr props = makeProps({});
    ClientPtr client(trelCreate("c", 1, nullptr, props.get(), 0, 0));
    TrelInterface* a = trelRegisterInterface(client.get(), "a", 14, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->index, 1);
    EXPECT_NE(trelRegisterInterface(client.get(), "b", 0, nullptr), nullptr);
    EXPECT_EQ(trelRegisterInterface(client.get(), "a", 3, nullptr), nullptr);
    for (int i = 3; i < TREL_MAX_INTERFACES; ++i) {
        ASSERT_NE(trelRegisterInterface(client.get(), std::to_string(i).c_str(), 1, nullptr),
                  nullptr);
    }
    EXPECT_EQ(trelRegisterInterface(client.get(), "seventeenth", 1, nullptr), nullptr);
    EXPECT_EQ(client->interfaceCount, TREL_MAX_INTERFACES);
}

TEST(Interfaces, ApiIdsAboveTheTableAreRefused) {
    PropsPtr props = makeProps({});
    ClientPtr client(trelCreate("c", 1, nullptr, props.get(), 0, 0));
    auto handler = +[](TrelRequest*) { return 0; };
    EXPECT_EQ(trelRegisterApi(client->defaultInterface, 255, handler, nullptr), 0);
    TrelInterface* small = trelRegisterInterface(client.get(), "small", 14, nullptr);
    EXPECT_EQ(trelRegisterApi(small, 14, handler, nullptr), 0);
    EXPECT_EQ(trelRegisterApi(small, 15, handler, nullptr), -1);
    EXPECT_EQ(trelRegisterApi(nullptr, 1, handler, nullptr), -1);
    TrelInterface* zero = trelRegisterInterface(client.get(), "zero", 256, nullptr);
    EXPECT_EQ(zero->maxId, 255);  // 0 in the low 8 bits stands for 255
}

int timerCalls = 0;
void countTimer(TrelClient*, void* context) {
    timerCalls += *static_cast<int*>(context);
}

TEST(Timer, SecondHandlerIsIgnoredAndExpiriesCallTheFirst) {
    PropsPtr props = makeProps({});
    ClientPtr client(trelCreate("c", 1, nullptr, props.get(), 0, 0));
    int one = 1, hundred = 100;
    trelSetTimerHandler(client.get(), countTimer, &one);
    int fd = client->timerFd;
    ASSERT_GE(fd, 0);
    trelSetTimerHandler(client.get(), countTimer, &hundred);
    EXPECT_EQ(client->timerFd, fd);
    EXPECT_EQ(client->pollCount, 2);
    trelSetTimer(client.get(), 5);
    pollfd entry{fd, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 10000), 1);
    client->pollSet[1].revents = POLLIN;
    timerCalls = 0;
    trelRunMonitors(client.get());
    EXPECT_EQ(timerCalls, 1);  // however many expiries accumulated
    trelSetTimer(client.get(), 0);
}

}  // namespace
