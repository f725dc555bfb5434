#include "nm/nm_checkpoint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_commit.h"
#include "nm/nm_follow.h"
#include "nm/nm_operation.h"
#include "nm/nm_park.h"
#include "nm/nm_pending.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

NmFollow& gFollowed = *new NmFollow;  // the client whose checkpoints we follow
// One interface name per create whose request gave up (timed out, lost NetworkManager) before
// NetworkManager answered. NetworkManager may still carry it out (it was frozen, say), and such
// a checkpoint belongs to nobody: when it expires, it rolls back whatever its interface was
// given since. The create's answer always comes (NetworkManager's, or the bus's when
// NetworkManager went); the entry goes once that answer is in and what it made is destroyed.
std::vector<std::string>& gOrphans = *new std::vector<std::string>;
std::vector<NmPark*>& gSweepers = *new std::vector<NmPark*>;  // requests waiting for gOrphans

// What the create's callback needs, whether or not its request still waits.
struct CreateCall {
    NmCallRecord* record;  // the callback's reference
    std::string ifname;
};

void settleOrphan(const std::string& ifname) {
    auto it = std::find(gOrphans.begin(), gOrphans.end(), ifname);
    if (it != gOrphans.end()) gOrphans.erase(it);
    for (NmPark* park : gSweepers) park->wake(0);
}

void orphanDestroyCallback(GObject* source, GAsyncResult* res, gpointer data) {
    std::unique_ptr<std::string> ifname(static_cast<std::string*>(data));
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, outPtr(error)));
    if (!reply) yebLog("checkpoint of %s not destroyed: %s\n", ifname->c_str(), error->message);
    settleOrphan(*ifname);
}

// No time limit: the entry stays until NetworkManager (or the bus) answers.
void destroyOrphan(GDBusConnection* bus, const char* path, const std::string& ifname) {
    yebLog("checkpoint %s of a request on %s that gave up: destroyed\n", path, ifname.c_str());
    g_dbus_connection_call(bus, NM_DBUS_SERVICE, NM_DBUS_PATH, NM_DBUS_INTERFACE,
                           "CheckpointDestroy", g_variant_new("(o)", path), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr, orphanDestroyCallback,
                           new std::string(ifname));
}

void createCallback(GObject* source, GAsyncResult* res, gpointer data) {
    std::unique_ptr<CreateCall> create(static_cast<CreateCall*>(data));
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, outPtr(error)));
    const char* path = nullptr;
    if (reply) g_variant_get(reply.get(), "(&o)", &path);
    if (!create->record->abandoned()) {
        if (path) create->record->path = path;
        NmCallRecord::settle(create->record, path != nullptr, error.get(),
                             "checkpoint not created: %s\n");
        return;
    }
    create->record->unref();
    if (path) {
        destroyOrphan(G_DBUS_CONNECTION(source), path, create->ifname);
    } else {
        settleOrphan(create->ifname);
    }
}

bool orphanOn(const std::string& ifname) {
    for (const std::string& orphan : gOrphans) {
        if (ifname.empty() || orphan == ifname) return true;
    }
    return false;
}

void onListed(GObject*, GParamSpec*, gpointer park) {
    static_cast<NmPark*>(park)->wake(0);
}

// Waits until the client's cache knows the new checkpoint at path, as the rest of the daemon
// reads NetworkManager's checkpoints from there (what libnm's own create waits for): 0, or
// NM_UNAVAILABLE when NetworkManager went.
NmTask shown(std::string path) {
    while (!nmCheckpointKnown(path)) {
        NmPark park(NM_OPERATION_TIMEOUT_MS);
        NmFollow client;
        client.reset(nmClient);
        client.connect("notify::" NM_CLIENT_CHECKPOINTS, G_CALLBACK(onListed), &park);
        if (int woke = co_await park; woke < 0) {
            yebLog("checkpoint %s not seen (%d)\n", path.c_str(), woke);
            co_return woke;
        }
    }
    co_return 0;
}

std::vector<std::string> cachedPaths() {
    std::vector<std::string> paths;
    const GPtrArray* checkpoints = nmClient ? nm_client_get_checkpoints(nmClient) : nullptr;
    for (guint i = 0; checkpoints && i < checkpoints->len; ++i) {
        paths.emplace_back(nm_object_get_path(NM_OBJECT(checkpoints->pdata[i])));
    }
    return paths;
}

void destroyCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_checkpoint_destroy_finish(NM_CLIENT(source), res, outPtr(error));
    NmCallRecord::settle(userData, ok, error.get(), "checkpoint not destroyed: %s\n");
}

void rollbackCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    GHashTable* results =
        nm_client_checkpoint_rollback_finish(NM_CLIENT(source), res, outPtr(error));
    if (results != nullptr) g_hash_table_unref(results);
    NmCallRecord::settle(userData, results != nullptr, error.get(),
                         "checkpoint not rolled back: %s\n");
}

// The reply of a D-Bus call, kept as the operation's variant result.
void callCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    GVariantPtr reply(nm_client_dbus_call_finish(NM_CLIENT(source), res, outPtr(error)));
    bool ok = reply != nullptr;
    NmCallRecord::of(userData).variant = std::move(reply);
    NmCallRecord::settle(userData, ok, error.get(), nullptr);
}

// NetworkManager's own list of checkpoints, read now: 0 or -errno.
NmTask freshPaths(std::vector<std::string>* paths) {
    NmCall call("checkpoint list");
    if (!call) co_return NM_UNAVAILABLE;
    nm_client_dbus_call(nmClient, NM_DBUS_PATH, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", NM_DBUS_INTERFACE, "Checkpoints"),
                        G_VARIANT_TYPE("(v)"), -1, call.cancellable(), callCallback,
                        call.forCallback());
    int status = co_await call.finished();
    if (status == 0 && call.record().variant) {
        GVariant* inside = nullptr;  // a variadic call: no out-argument adapter
        g_variant_get(call.record().variant.get(), "(v)", &inside);
        GVariantPtr boxed(inside);
        GVariantIter iter;
        g_variant_iter_init(&iter, boxed.get());
        const char* path;
        while (g_variant_iter_next(&iter, "&o", &path)) paths->emplace_back(path);
    }
    co_return status;
}

void onCheckpointsChanged(GObject*, GParamSpec*, gpointer) {
    nmCommitReview();
}

}  // namespace

NmTask nmCheckpointCreate(NMDevice* device, uint32_t rollbackSeconds, bool overlapping,
                          std::string* path) {
    NmCall call("checkpoint create");
    if (!call) co_return NM_UNAVAILABLE;
    std::string ifname = nm_device_get_iface(device);
    auto flags = static_cast<guint32>(overlapping ? NM_CHECKPOINT_CREATE_FLAG_ALLOW_OVERLAPPING
                                                  : NM_CHECKPOINT_CREATE_FLAG_NONE);
    const char* devices[] = {nm_object_get_path(NM_OBJECT(device)), nullptr};
    // Referenced: the client may be remade during the wait.
    GObjectPtr<GDBusConnection> bus = retainGObject(nm_client_get_dbus_connection(nmClient));
    // Not cancelled, no time limit: should the request give up, the answer still tells what
    // NetworkManager made for it.
    g_dbus_connection_call(
        bus.get(), NM_DBUS_SERVICE, NM_DBUS_PATH, NM_DBUS_INTERFACE, "CheckpointCreate",
        g_variant_new("(^aouu)", devices, rollbackSeconds, flags), G_VARIANT_TYPE("(o)"),
        G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr, createCallback,
        new CreateCall{&NmCallRecord::of(call.forCallback()), ifname});
    int status = co_await call.finished();
    if (status < 0 && !call.record().done) gOrphans.push_back(ifname);  // its answer settles it
    if (status == 0) status = co_await shown(call.record().path);
    if (status < 0 && !call.record().path.empty()) {  // made, but NetworkManager went meanwhile
        gOrphans.push_back(ifname);
        destroyOrphan(bus.get(), call.record().path.c_str(), ifname);
    }
    if (status == 0) *path = call.record().path;
    co_return status;
}

NmTask nmCheckpointDestroy(std::string path) {
    NmCall call("checkpoint destroy");
    if (!call) co_return NM_UNAVAILABLE;
    nm_client_checkpoint_destroy(nmClient, path.c_str(), call.cancellable(), destroyCallback,
                                 call.forCallback());
    co_return co_await call.finished();
}

NmTask nmCheckpointRollback(std::string path) {
    NmCall call("checkpoint rollback");
    if (!call) co_return NM_UNAVAILABLE;
    nm_client_checkpoint_rollback(nmClient, path.c_str(), call.cancellable(), rollbackCallback,
                                  call.forCallback());
    int status = co_await call.finished();
    if (status == 0) yebLog("checkpoint %s rolled back\n", path.c_str());
    co_return status;
}

bool nmCheckpointHeld(const std::string& path) {
    for (const std::string& held : cachedPaths()) {
        if (held == path) return true;
    }
    return false;
}

bool nmCheckpointKnown(const std::string& path) {
    NMObject* object = nmClient ? nm_client_get_object_by_path(nmClient, path.c_str()) : nullptr;
    return NM_IS_CHECKPOINT(object) || nmCheckpointHeld(path);
}

NmTask nmCheckpointHeldNow(std::string path) {
    std::vector<std::string> paths;
    int status = co_await freshPaths(&paths);
    if (status < 0) co_return 1;
    co_return std::find(paths.begin(), paths.end(), path) != paths.end() ? 1 : 0;
}

NmTask nmCheckpointSweep(std::string ifname) {
    gint64 deadline = g_get_monotonic_time() + gint64{NM_OPERATION_TIMEOUT_MS} * 1000;
    while (orphanOn(ifname)) {
        gint64 left = deadline - g_get_monotonic_time();
        if (left <= 0) {
            yebLog("a checkpoint create on %s that gave up is still unanswered\n",
                   ifname.empty() ? "any interface" : ifname.c_str());
            co_return -ETIMEDOUT;
        }
        NmPark park(static_cast<int>(left / 1000 + 1));
        gSweepers.push_back(&park);
        int woke = co_await park;
        gSweepers.erase(std::find(gSweepers.begin(), gSweepers.end(), &park));
        if (woke == NM_UNAVAILABLE) co_return woke;
    }
    co_return 0;
}

void nmCheckpointsOnClient(NMClient* client) {
    gFollowed.reset(client);
    if (client == nullptr) return;
    gFollowed.connect("notify::" NM_CLIENT_CHECKPOINTS, G_CALLBACK(onCheckpointsChanged), nullptr);
    // A NetworkManager that comes back without our checkpoints may not change the list.
    gFollowed.connect("notify::" NM_CLIENT_NM_RUNNING, G_CALLBACK(onCheckpointsChanged), nullptr);
    // A daemon started again, or NetworkManager back: what became of the pending changes.
    nmCommitReview();
}
