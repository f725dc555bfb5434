#include <gtest/gtest.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "bus/trel.h"
#include "bus/trel_poll.h"
#include "platform/properties.h"

namespace {

using PropsPtr = std::unique_ptr<Properties, decltype([](Properties* p) { propFree(p); })>;
using ClientPtr = std::unique_ptr<TrelClient, decltype([](TrelClient* c) { trelFree(c); })>;

PropsPtr makeProps(const std::map<std::string, std::string>& entries) {
    PropsPtr props(propCreate());
    for (const auto& [key, value] : entries) propSet(props.get(), key.c_str(), value.c_str());
    return props;
}

constexpr const char* kServer = "trel.server";
constexpr const char* kPort = "trel.port";
constexpr const char* kOwnServer = "trel.yeb.linkKeeper.server";
constexpr const char* kOwnPort = "trel.yeb.linkKeeper.port";

struct ConfigCase {
    const char* name;
    const char* server;
    std::map<std::string, std::string> props;
    std::string wantServer;  // empty: none, "localhost" when connecting
    int wantPort;
};

class ServerAndPort : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ServerAndPort, ComeFromArgumentThenOwnKeyThenSharedKeyThenDefault) {
    const ConfigCase& c = GetParam();
    PropsPtr props = makeProps(c.props);
    ClientPtr client(trelCreate("yeb.linkKeeper", 1, c.server, props.get(), 0, 0));
    ASSERT_TRUE(client);
    EXPECT_EQ(client->server ? client->server : "", c.wantServer);
    EXPECT_EQ(client->port, c.wantPort);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ServerAndPort,
    ::testing::Values(
        ConfigCase{"NothingGivesLocalhostAnd10001", nullptr, {}, "", 10001},
        ConfigCase{"OwnKeysWinOverShared",
                   nullptr,
                   {{kServer, "a"}, {kOwnServer, "own"}, {kPort, "1"}, {kOwnPort, "2"}},
                   "own",
                   2},
        ConfigCase{"SharedKeysServeEveryClient", nullptr, {{kServer, "a"}, {kPort, "9"}}, "a", 9},
        ConfigCase{
            "ArgumentServerWinsButPortFromKeys", "arg", {{kServer, "a"}, {kPort, "9"}}, "arg", 9},
        ConfigCase{
            "PortInArgumentWinsOverKeys", "arg:4000", {{kPort, "1"}, {kOwnPort, "2"}}, "arg", 4000},
        ConfigCase{"NonNumericPortInArgumentFallsBackToKeys", "arg:x", {{kPort, "9"}}, "arg", 9},
        ConfigCase{"OnlyTheLastColonSplits", "fe80::1:4001", {}, "fe80::1", 4001}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SystemProperties, AreReadOnlyWhenTheCallerGivesNone) {
    if (std::getenv("LK_SANDBOX_FS") == nullptr) GTEST_SKIP() << "needs the file-system sandbox";
    FILE* file = std::fopen("/etc/yeb.properties", "w");
    ASSERT_NE(file, nullptr);
    std::fputs("trel.server=fromfile\ntrel.port=2222\n", file);
    std::fclose(file);
    ClientPtr fromFile(trelCreate("yeb.linkKeeper", 1, nullptr, nullptr, 0, 0));
    ASSERT_TRUE(fromFile);
    EXPECT_STREQ(fromFile->server, "fromfile");
    EXPECT_EQ(fromFile->port, 2222);
    PropsPtr own = makeProps({});
    ClientPtr withOwn(trelCreate("yeb.linkKeeper", 1, nullptr, own.get(), 0, 0));
    EXPECT_EQ(withOwn->server, nullptr);
    EXPECT_EQ(withOwn->port, 10001);
}

TEST(TrelCreate, NeedsANameAndGivesBuffersOfAtLeast8192Bytes) {
    EXPECT_EQ(trelCreate(nullptr, 1, nullptr, nullptr, 0, 0), nullptr);
    PropsPtr props = makeProps({});
    ClientPtr small(trelCreate("c", 1, nullptr, props.get(), 4096, 20000));
    EXPECT_EQ(small->inBufSize, 8192u);
    EXPECT_EQ(small->outBufSize, 20000u);
}

TEST(Interfaces, DuplicateNamesASeventeenthAndApiIdsAboveTheTableAreRefused) {
    PropsPtr props = makeProps({});
    ClientPtr client(trelCreate("c", 1, nullptr, props.get(), 0, 0));
    auto handler = +[](TrelRequest*) { return 0; };
    TrelInterface* small = trelRegisterInterface(client.get(), "small", 14, nullptr);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->index, 1);
    EXPECT_EQ(trelRegisterApi(small, 14, handler, nullptr), 0);
    EXPECT_EQ(trelRegisterApi(small, 15, handler, nullptr), -1);
    EXPECT_EQ(trelRegisterInterface(client.get(), "small", 3, nullptr), nullptr);
    TrelInterface* zero = trelRegisterInterface(client.get(), "zero", 256, nullptr);
    EXPECT_EQ(zero->maxId, 255);  // 0 in the low 8 bits stands for 255
    for (int i = 3; i < TREL_MAX_INTERFACES; ++i) {
        ASSERT_NE(trelRegisterInterface(client.get(), std::to_string(i).c_str(), 1, nullptr),
                  nullptr);
    }
    EXPECT_EQ(trelRegisterInterface(client.get(), "seventeenth", 1, nullptr), nullptr);
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
    trelSetTimerHandler(client.get(), countTimer, &hundred);
    EXPECT_EQ(client->pollCount, 2);
    trelSetTimer(client.get(), 5);
    pollfd entry{client->timerFd, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 10000), 1);
    client->pollSet[1].revents = POLLIN;
    timerCalls = 0;
    trelRunMonitors(client.get());
    EXPECT_EQ(timerCalls, 1);  // however many expiries accumulated
    trelSetTimer(client.get(), 0);
}

}  // namespace
