#include "nm/nm_worker.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "nm/glib_ptr.h"
#include "platform/platform.h"

NMClient* nmClient = nullptr;
pthread_t nmWorkerThread;
GMainLoop* nmMainLoop = nullptr;

namespace {

// Stopped -> Starting (client being created) -> Running -> Stopping (loop quitting, queued
// calls draining) -> Stopped.
enum class WorkerState { Stopped, Starting, Running, Stopping };

// Never destroyed: the detached worker may still use them while the process exits.
std::mutex& gStateLock = *new std::mutex;
std::condition_variable& gStateChanged = *new std::condition_variable;
WorkerState gState = WorkerState::Stopped;
int gQueuedCalls = 0;  // handed to the worker and not yet run

struct NmCallRecord {
    TrelRequest* request;
    void* context;
    int32_t result;
    int32_t done;
    std::mutex* lock;
    std::condition_variable* cond;
    NmApiFunction apiFunction;
    NmStateFunction stateFunction;
};

void setState(WorkerState state) {
    std::lock_guard<std::mutex> guard(gStateLock);
    gState = state;
    gStateChanged.notify_all();
}

gboolean nmWorkerDispatch(gpointer data) {
    auto* call = static_cast<NmCallRecord*>(data);
    int result = call->apiFunction != nullptr ? call->apiFunction(call->request)
                                              : call->stateFunction(call->context);
    {
        // Notified while the lock is held: once it is released the caller may return and take
        // the record, its mutex and its condition variable with it.
        std::lock_guard<std::mutex> guard(*call->lock);
        call->result = result;
        call->done = 1;
        call->cond->notify_one();
    }
    std::lock_guard<std::mutex> guard(gStateLock);
    --gQueuedCalls;
    return G_SOURCE_REMOVE;
}

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

// A hook for the tests of the watchdog: LK_TEST_WORKER_HANG_MS makes the worker stop answering
// that long after it started, as a worker stuck in a call would.
gboolean hangForever(gpointer) {
    yebLog("nm worker: hanging on purpose (LK_TEST_WORKER_HANG_MS)\n");
    for (;;) g_usleep(G_USEC_PER_SEC);
    return G_SOURCE_REMOVE;
}

void armTestHang() {
    const char* text = g_getenv("LK_TEST_WORKER_HANG_MS");
    if (text != nullptr)
        g_timeout_add(static_cast<guint>(g_ascii_strtoull(text, nullptr, 10)), hangForever,
                      nullptr);
}

gboolean quitWorkerLoop(gpointer) {
    g_main_loop_quit(nmMainLoop);
    return G_SOURCE_REMOVE;
}

// Publishes the client (or its absence) and reports whether the loop should run at all.
bool finishStartup(NMClient* client) {
    std::lock_guard<std::mutex> guard(gStateLock);
    nmClient = client;
    bool run = gState == WorkerState::Starting;
    if (run) gState = WorkerState::Running;
    gStateChanged.notify_all();
    return run;
}

// Runs what callers queued before the stop, so none of them waits for ever.
void drainQueuedCalls() {
    std::unique_lock<std::mutex> guard(gStateLock);
    gState = WorkerState::Stopping;
    while (gQueuedCalls > 0) {
        guard.unlock();
        g_main_context_iteration(nullptr, TRUE);
        guard.lock();
    }
    nmClient = nullptr;
}

void* nmWorkerMain(void*) {
    // Owning the default context for the thread's whole life keeps g_main_context_invoke from
    // running work inline on a caller's thread, even before the loop runs or after it ended.
    GMainContext* context = g_main_context_default();
    bool owned = g_main_context_acquire(context);
    if (!owned) yebLog("nm worker: default main context owned by another thread\n");
    nmMainLoop = g_main_loop_new(nullptr, FALSE);

    GErrorPtr error;
    GObjectPtr<NMClient> client(nm_client_new(nullptr, outPtr(error)));
    if (!client) {
        yebLog("nm worker: no NetworkManager client: %s\n",
               error ? error->message : "unknown error");
        yebNotifyStatus("NetworkManager not running");
    }
    armTestHang();
    if (finishStartup(client.get())) g_main_loop_run(nmMainLoop);

    drainQueuedCalls();
    g_main_loop_unref(nmMainLoop);
    nmMainLoop = nullptr;
    client.reset();
    if (owned) g_main_context_release(context);
    setState(WorkerState::Stopped);
    return nullptr;
}

// Waits (bounded) for start-up to finish, then admits the call or gives the refusal.
int admitCall(bool needsClient, const TrelRequest* request) {
    std::unique_lock<std::mutex> guard(gStateLock);
    gStateChanged.wait_for(guard, std::chrono::milliseconds(NM_STARTUP_WAIT_MS),
                           [] { return gState != WorkerState::Starting; });
    if (gState != WorkerState::Running) {
        yebLog("nm worker not running, call refused\n");
        return NM_UNAVAILABLE;
    }
    if (needsClient && nmClient == nullptr) {
        yebLog("no NetworkManager client, request %u refused\n",
               request != nullptr ? static_cast<unsigned>(request->apiId) : 0u);
        return NM_UNAVAILABLE;
    }
    ++gQueuedCalls;
    return 0;
}

int nmInvokeOnWorker(NmCallRecord* call) {
    int admitted = admitCall(call->apiFunction != nullptr, call->request);
    if (admitted != 0) return admitted;
    std::mutex lock;
    std::condition_variable cond;
    call->lock = &lock;
    call->cond = &cond;
    // Queued on the worker; run at once when the caller is the worker itself.
    g_main_context_invoke(nullptr, nmWorkerDispatch, call);
    {
        std::unique_lock<std::mutex> guard(lock);
        cond.wait(guard, [call] { return call->done != 0; });
    }
    call->lock = nullptr;
    call->cond = nullptr;
    return call->result;
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

void nmadapter_post_state(NmStateFunction function, void* argument) {
    {
        std::lock_guard<std::mutex> guard(gStateLock);
        if (gState != WorkerState::Running) return;
    }
    g_main_context_invoke(nullptr, runPosted, new PostedCall{function, argument});
}

int nmadapter_invoke_nm_api(TrelRequest* request, void* context, NmApiFunction function) {
    NmCallRecord call{request, context, 0, 0, nullptr, nullptr, function, nullptr};
    return nmInvokeOnWorker(&call);
}

int nmadapter_invoke_nm_stateFunction(void* argument, NmStateFunction function) {
    NmCallRecord call{nullptr, argument, 0, 0, nullptr, nullptr, nullptr, function};
    return nmInvokeOnWorker(&call);
}
