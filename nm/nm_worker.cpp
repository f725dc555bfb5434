#include "nm/nm_worker.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_checkpoint.h"
#include "nm/nm_follow.h"
#include "nm/nm_park.h"
#include "platform/platform.h"

NMClient* nmClient = nullptr;
pthread_t nmWorkerThread;
GMainLoop* nmMainLoop = nullptr;

namespace {

// Stopped -> Starting (thread started) -> Running -> Stopping (loop quitting, queued work
// draining) -> Stopped.
enum class WorkerState { Stopped, Starting, Running, Stopping };

// How often a missing system bus or NetworkManager client is looked for again.
constexpr guint kReconnectMs = 1000;
constexpr gint64 kRepeatLogUs = 60 * G_USEC_PER_SEC;

// Never destroyed: the detached worker may still use them while the process exits.
std::mutex& gStateLock = *new std::mutex;
std::condition_variable& gStateChanged = *new std::condition_variable;
WorkerState gState = WorkerState::Stopped;
bool gNmAvailable = false;  // a client exists and NetworkManager runs; under gStateLock

struct Job {
    TrelDeferred* deferred;
    NmApiFunction function;
};
std::deque<Job>& gJobs = *new std::deque<Job>;  // under gStateLock
// Whose requests have started and are not yet answered (parked ones too); under gStateLock.
std::vector<TrelRoute>& gRoutesUnderWay = *new std::vector<TrelRoute>;
// A peer past its share may send refused requests as fast as it likes: a few lines a second.
YebLogLimit& gRefusalLog = *new YebLogLimit(5, "nm worker: lines about requests refused to a peer");

// The client's own system bus connection, and what keeps it (worker only).
GDBusConnection* gBus = nullptr;
guint gReconnectSource = 0;
gint64 gLastUnreachableLogUs = 0;
NmFollow& gClientSignals = *new NmFollow;  // the client's nm-running

void setState(WorkerState state) {
    std::lock_guard<std::mutex> guard(gStateLock);
    gState = state;
    gStateChanged.notify_all();
}

bool stopping() {
    std::lock_guard<std::mutex> guard(gStateLock);
    return gState == WorkerState::Stopping;
}

// --- the libnm client: made on its own bus connection, remade whenever either goes away ---

void connectBus();

void publishAvailability() {
    bool available = nmClient != nullptr && nm_client_get_nm_running(nmClient);
    bool changed;
    {
        std::lock_guard<std::mutex> guard(gStateLock);
        changed = available != gNmAvailable;
        gNmAvailable = available;
    }
    if (!changed) return;
    yebLog("NetworkManager %s\n", available ? "is running" : "is not running");
    yebNotifyStatus("%s", available ? "NetworkManager running" : "NetworkManager not running");
}

gboolean retryConnect(gpointer) {
    gReconnectSource = 0;
    connectBus();
    return G_SOURCE_REMOVE;
}

void scheduleReconnect() {
    if (gReconnectSource == 0 && !stopping()) {
        gReconnectSource = g_timeout_add(kReconnectMs, retryConnect, nullptr);
    }
}

// The first failure is logged with its reason, then one line a minute at most.
void noteUnreachable(const char* what, const GError* error) {
    gint64 now = g_get_monotonic_time();
    if (gLastUnreachableLogUs != 0 && now - gLastUnreachableLogUs < kRepeatLogUs) return;
    gLastUnreachableLogUs = now;
    yebLog("nm worker: %s: %s; retrying every %u ms\n", what,
           error != nullptr ? error->message : "unknown error", kReconnectMs);
}

void dropClient() {
    // The requests parked on NetworkManager hear at once that it went.
    nmParkedWakeAll(NM_UNAVAILABLE);
    if (nmClient != nullptr) {
        nmWatchesOnClient(nullptr);
        nmCheckpointsOnClient(nullptr);
        gClientSignals.reset();
        g_object_unref(nmClient);
        nmClient = nullptr;
    }
    publishAvailability();
}

void onNmRunning(GObject*, GParamSpec*, gpointer) {
    publishAvailability();
}

void onBusClosed(GDBusConnection* bus, gboolean, GError* error, gpointer) {
    yebLog("nm worker: system bus connection closed: %s\n",
           error != nullptr ? error->message : "closed");
    dropClient();
    g_signal_handlers_disconnect_by_data(bus, &gBus);
    if (gBus == bus) g_clear_object(&gBus);
    scheduleReconnect();
}

void onClientReady(GObject*, GAsyncResult* result, gpointer) {
    GErrorPtr error;
    auto source = adoptGObject(g_async_result_get_source_object(result));
    GObject* made =
        g_async_initable_new_finish(G_ASYNC_INITABLE(source.get()), result, outPtr(error));
    if (made == nullptr || stopping()) {
        if (made != nullptr) g_object_unref(made);
        noteUnreachable("no NetworkManager client", error.get());
        scheduleReconnect();
        return;
    }
    nmClient = NM_CLIENT(made);
    gLastUnreachableLogUs = 0;
    gClientSignals.reset(nmClient);
    gClientSignals.connect("notify::" NM_CLIENT_NM_RUNNING, G_CALLBACK(onNmRunning), nullptr);
    publishAvailability();
    nmWatchesOnClient(nmClient);
    nmCheckpointsOnClient(nmClient);
}

void onBusReady(GObject*, GAsyncResult* result, gpointer) {
    GErrorPtr error;
    GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, outPtr(error));
    if (bus == nullptr || stopping()) {
        if (bus != nullptr) g_object_unref(bus);
        noteUnreachable("system bus not reachable", error.get());
        scheduleReconnect();
        return;
    }
    // A closed bus must never end the process, as GLib's shared connections would: we
    // connect again instead.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    gBus = bus;
    g_signal_connect(bus, "closed", G_CALLBACK(onBusClosed), &gBus);
    g_async_initable_new_async(NM_TYPE_CLIENT, G_PRIORITY_DEFAULT, nullptr, onClientReady, nullptr,
                               NM_CLIENT_DBUS_CONNECTION, bus, nullptr);
}

void connectBus() {
    if (gBus != nullptr) {  // the bus is there but the client could not be made: try that again
        g_async_initable_new_async(NM_TYPE_CLIENT, G_PRIORITY_DEFAULT, nullptr, onClientReady,
                                   nullptr, NM_CLIENT_DBUS_CONNECTION, gBus, nullptr);
        return;
    }
    GErrorPtr error;
    GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, outPtr(error)));
    if (!address) {
        noteUnreachable("no system bus address", error.get());
        scheduleReconnect();
        return;
    }
    auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    g_dbus_connection_new_for_address(address.get(), flags, nullptr, nullptr, onBusReady, nullptr);
}

// --- requests: started in arrival order, each parked while it waits ---

// A started request, from its start to its reply.
NmDetached runJob(Job job) {
    TrelRequest* request = trelDeferredRequest(job.deferred);
    int result;
    if (nmClient == nullptr || !nm_client_get_nm_running(nmClient)) {
        yebLog("NetworkManager is not running: request %u refused\n",
               static_cast<unsigned>(request->apiId));
        result = NM_UNAVAILABLE;
    } else {
        result = co_await job.function(request);
    }
    {
        // Off the peer's share before the answer leaves: a peer that sends its next request as
        // soon as it has the answer finds its share as the answer says.
        std::lock_guard<std::mutex> guard(gStateLock);
        auto running = std::find_if(gRoutesUnderWay.begin(), gRoutesUnderWay.end(),
                                    [&](TrelRoute r) { return trelSameOwner(r, request->route); });
        if (running != gRoutesUnderWay.end()) gRoutesUnderWay.erase(running);
    }
    trelCompleteDeferred(job.deferred, result);  // the request goes with its answer
}

gboolean pumpJobs(gpointer) {
    for (;;) {
        Job job;
        {
            std::lock_guard<std::mutex> guard(gStateLock);
            if (gJobs.empty()) return G_SOURCE_REMOVE;
            job = gJobs.front();
            gJobs.pop_front();
            gRoutesUnderWay.push_back(trelDeferredRequest(job.deferred)->route);
        }
        runJob(job);  // runs until the request ends or first parks
    }
}

// --- posted calls ---

struct PostedCall {
    NmStateFunction function;
    void* argument;
};

gboolean runPosted(gpointer data) {
    auto* call = static_cast<PostedCall*>(data);
    call->function(call->argument);
    delete call;
    return G_SOURCE_REMOVE;
}

gboolean quitWorkerLoop(gpointer) {
    g_main_loop_quit(nmMainLoop);
    return G_SOURCE_REMOVE;
}

// Answers what callers queued before the stop, so none of them waits for ever; lets the
// requests under way finish (a change cut short would leave its interface half changed: the stop
// thread bounds how long that may take) and runs the calls posted before the stop.
void drainQueuedWork() {
    std::unique_lock<std::mutex> guard(gStateLock);
    gState = WorkerState::Stopping;
    while (!gJobs.empty()) {
        Job job = gJobs.front();
        gJobs.pop_front();
        guard.unlock();
        trelCompleteDeferred(job.deferred, NM_UNAVAILABLE);
        guard.lock();
    }
    guard.unlock();
    // Parked requests resume from idle sources, posted calls are idle sources too: run them all.
    for (;;) {
        bool underWay;
        {
            std::lock_guard<std::mutex> guard(gStateLock);
            underWay = !gRoutesUnderWay.empty();
        }
        if (!g_main_context_iteration(nullptr, underWay) && !underWay) break;
    }
}

void* nmWorkerMain(void*) {
    // Owning the default context for the thread's whole life keeps g_main_context_invoke from
    // running work inline on a caller's thread, even before the loop runs or after it ended.
    GMainContext* context = g_main_context_default();
    bool owned = g_main_context_acquire(context);
    if (!owned) yebLog("nm worker: default main context owned by another thread\n");
    nmMainLoop = g_main_loop_new(nullptr, FALSE);
    bool run;
    {
        std::lock_guard<std::mutex> guard(gStateLock);
        run = gState == WorkerState::Starting;
        if (run) gState = WorkerState::Running;
        gStateChanged.notify_all();
    }
    if (run) {
        connectBus();
        g_main_loop_run(nmMainLoop);
    }
    drainQueuedWork();
    if (gReconnectSource != 0) g_source_remove(gReconnectSource);
    gReconnectSource = 0;
    dropClient();
    if (gBus != nullptr) {
        g_signal_handlers_disconnect_by_data(gBus, &gBus);
        g_clear_object(&gBus);
    }
    g_main_loop_unref(nmMainLoop);
    nmMainLoop = nullptr;
    if (owned) g_main_context_release(context);
    setState(WorkerState::Stopped);
    return nullptr;
}

// Whether the peer may queue one more request: each peer gets its share of the requests that
// wait or run (parked ones too).
bool admitJob(TrelRoute route) {
    int held = 0;
    for (const Job& job : gJobs) {
        held += trelSameOwner(trelDeferredRequest(job.deferred)->route, route) ? 1 : 0;
    }
    for (const TrelRoute& running : gRoutesUnderWay) held += trelSameOwner(running, route) ? 1 : 0;
    int used = static_cast<int>(gJobs.size() + gRoutesUnderWay.size());
    return trelPoolAdmits(held, used, static_cast<int>(NM_MAX_QUEUED));
}

}  // namespace

int nmadapter_init() {
    std::unique_lock<std::mutex> guard(gStateLock);
    if (gState == WorkerState::Stopping) {
        gStateChanged.wait_for(guard, std::chrono::milliseconds(NM_STARTUP_WAIT_MS),
                               [] { return gState == WorkerState::Stopped; });
    }
    if (gState != WorkerState::Stopped) return 0;
    gState = WorkerState::Starting;
    if (pthread_create(&nmWorkerThread, nullptr, nmWorkerMain, nullptr) != 0) {
        yebLog("nm worker: thread not started\n");
        gState = WorkerState::Stopped;
        gStateChanged.notify_all();
        return 0;
    }
    pthread_detach(nmWorkerThread);
    return 0;
}

void nmadapter_deinit() {
    {
        std::lock_guard<std::mutex> guard(gStateLock);
        WorkerState previous = gState;
        if (previous != WorkerState::Starting && previous != WorkerState::Running) return;
        gState = WorkerState::Stopping;
        gStateChanged.notify_all();
        // While starting, the worker sees Stopping and never enters its loop.
        if (previous == WorkerState::Starting) return;
    }
    // An idle source rather than a direct quit: a quit given before the loop has started
    // running would be lost.
    g_main_context_invoke(nullptr, quitWorkerLoop, nullptr);
}

bool nmadapter_stop(int timeoutMs) {
    nmadapter_deinit();
    std::unique_lock<std::mutex> guard(gStateLock);
    return gStateChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [] { return gState == WorkerState::Stopped; });
}

int nmadapter_invoke_nm_api(TrelRequest* request, void*, NmApiFunction function) {
    std::unique_lock<std::mutex> guard(gStateLock);
    unsigned id = request->apiId;
    if (gState != WorkerState::Running || !gNmAvailable) {
        yebLog("NetworkManager is not running: request %u refused\n", id);
        return NM_UNAVAILABLE;
    }
    if (!admitJob(request->route)) {
        if (gRefusalLog.admit(yebMonoTimeMs())) {
            yebLog(
                "%zu NetworkManager requests wait or run, too many of them for this peer: "
                "request %u refused\n",
                gJobs.size() + gRoutesUnderWay.size(), id);
        }
        return -EAGAIN;
    }
    TrelDeferred* deferred = trelDeferRequest(request);
    if (deferred == nullptr) return -ENOMEM;
    gJobs.push_back(Job{deferred, function});
    guard.unlock();
    g_main_context_invoke(nullptr, pumpJobs, nullptr);
    return TREL_REPLY_LATER;
}

bool nmadapter_post_state(NmStateFunction function, void* argument) {
    // Under the lock: a stop that has begun draining sees every call posted before it.
    std::lock_guard<std::mutex> guard(gStateLock);
    if (gState != WorkerState::Starting && gState != WorkerState::Running) return false;
    g_idle_add_full(G_PRIORITY_DEFAULT, runPosted, new PostedCall{function, argument}, nullptr);
    return true;
}
