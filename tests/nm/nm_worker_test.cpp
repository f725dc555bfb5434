#include "nm/nm_worker.h"

#include <glib-object.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/service_context.h"
#include "nm/nm_disconnect.h"

namespace {

using namespace std::chrono_literals;

std::atomic<pthread_t> ranOn;
std::atomic<TrelRequest*> seenRequest;
std::atomic<int> apiCalls;

int recordState(void*) {
    return 42;
}

int recordApi(TrelRequest* request) {
    ranOn = pthread_self();
    seenRequest = request;
    ++apiCalls;
    return static_cast<int>(request->length);
}

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

class NmWorker : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // No system bus: libnm cannot create its client, and the host's bus is never touched.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/lk-test-system-bus", 1);
    }
    void SetUp() override {
        apiCalls = 0;
        ASSERT_EQ(nmadapter_init(), 0);
    }
    void TearDown() override { nmadapter_deinit(); }

    // A state call returns only after start-up; API calls then find this stand-in, which the
    // work functions here never hand to libnm.
    void pretendClientExists() {
        ASSERT_EQ(nmadapter_invoke_nm_stateFunction(nullptr, recordState), 42);
        nmClient = reinterpret_cast<NMClient*>(&fakeClient_);
    }

    int fakeClient_ = 0;
};

TEST_F(NmWorker, ApiCallWithoutClientIsRefusedAndNeverRuns) {
    TrelRequest request{};
    EXPECT_EQ(nmadapter_invoke_nm_api(&request, nullptr, recordApi), NM_UNAVAILABLE);
    EXPECT_EQ(nmClient, nullptr);
    EXPECT_EQ(apiCalls, 0);
}

TEST_F(NmWorker, ApiCallGetsTheRequestAndKeepsTheContextForTheCaller) {
    pretendClientExists();
    int context = 0;
    TrelRequest request{};
    request.length = 17;
    request.context = &context;
    EXPECT_EQ(nmadapter_invoke_nm_api(&request, &context, recordApi), 17);
    EXPECT_EQ(seenRequest, &request);
    EXPECT_EQ(request.context, &context);
    EXPECT_FALSE(pthread_equal(ranOn, pthread_self()));
}

TEST_F(NmWorker, WorkOnTheWorkerMayMarshalAgainWithoutBlocking) {
    auto nested = [](void*) { return nmadapter_invoke_nm_stateFunction(nullptr, recordState) + 1; };
    EXPECT_EQ(nmadapter_invoke_nm_stateFunction(nullptr, nested), 43);
}

std::atomic<bool> slowStarted, releaseSlow;
int slowWork(void*) {
    slowStarted = true;
    while (!releaseSlow) std::this_thread::yield();
    return 7;
}

TEST_F(NmWorker, DeinitLetsRunningAndQueuedCallsFinishThenRefusesLaterOnes) {
    slowStarted = false;
    releaseSlow = false;
    std::atomic<int> slowResult{0}, queuedResult{0};
    std::thread slow([&] { slowResult = nmadapter_invoke_nm_stateFunction(nullptr, slowWork); });
    ASSERT_TRUE(waitUntil([] { return slowStarted.load(); }));
    std::thread queued(
        [&] { queuedResult = nmadapter_invoke_nm_stateFunction(nullptr, recordState); });
    nmadapter_deinit();
    releaseSlow = true;
    slow.join();
    queued.join();  // queued before the stop: it runs; after it: refused. Never stuck.
    EXPECT_EQ(slowResult, 7);
    EXPECT_TRUE(queuedResult == 42 || queuedResult == NM_UNAVAILABLE) << queuedResult;
    EXPECT_EQ(nmadapter_invoke_nm_stateFunction(nullptr, recordState), NM_UNAVAILABLE);
    TrelRequest request{};
    EXPECT_EQ(nmadapter_invoke_nm_api(&request, nullptr, recordApi), NM_UNAVAILABLE);
}

TEST_F(NmWorker, DisconnectEndsEveryWatchAndEmptiesItsSlot) {
    ServiceContext context{};
    GObject* devices[2] = {G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr)),
                           G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr))};
    auto onNotify = +[](GObject*, GParamSpec*, gpointer) {};
    int used[] = {0, 15};
    for (int i = 0; i < 2; ++i) {
        context.watches[used[i]].device = devices[i];
        context.watches[used[i]].handlerId = static_cast<uint32_t>(
            g_signal_connect(devices[i], "notify", G_CALLBACK(onNotify), nullptr));
    }
    gulong first = context.watches[0].handlerId, last = context.watches[15].handlerId;
    EXPECT_EQ(nmadapter_invoke_nm_stateFunction(&context, nmadapter_onDisconnect), 0);
    for (const WatchSlot& slot : context.watches) {
        EXPECT_EQ(slot.device, nullptr);
        EXPECT_EQ(slot.handlerId, 0u);
    }
    EXPECT_FALSE(g_signal_handler_is_connected(devices[0], first));
    EXPECT_FALSE(g_signal_handler_is_connected(devices[1], last));
    for (GObject* device : devices) g_object_unref(device);
}

}  // namespace
