#include "nm/nm_checkpoint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_commit.h"
#include "nm/nm_follow.h"
#include "nm/nm_operation.h"
#include "nm/nm_pending.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

NmFollow& gFollowed = *new NmFollow;  // the client whose checkpoints we follow
// Every checkpoint of ours that NetworkManager still holds: guards and clients' alike.
std::vector<std::string>& gOwned = *new std::vector<std::string>;
// A create that timed out may still be carried out by NetworkManager later (it was frozen, say):
// such a checkpoint belongs to nobody and would roll back newer changes when it expires.
int gAbandonedCreates = 0;
int gCreating = 0;  // creates under way: what they make is not known yet

bool owned(const std::string& path) {
    for (const std::string& mine : gOwned) {
        if (mine == path) return true;
    }
    for (const PendingChange& change : nmPendingChanges()) {
        if (change.checkpoint == path) return true;
    }
    return false;
}

void disown(const std::string& path) {
    for (auto it = gOwned.begin(); it != gOwned.end(); ++it) {
        if (*it == path) {
            gOwned.erase(it);
            return;
        }
    }
}

// Destroys the first unowned checkpoints of the list, one per abandoned create, fire and
// forget (a request's own sweep waits for its destroys: nmCheckpointSweep).
void destroyUnowned(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        if (gAbandonedCreates == 0) return;
        if (owned(path)) continue;
        yebLog("checkpoint %s of a request that timed out: destroyed\n", path.c_str());
        --gAbandonedCreates;
        nm_client_checkpoint_destroy(nmClient, path.c_str(), nullptr, nullptr, nullptr);
    }
}

std::vector<std::string> cachedPaths() {
    std::vector<std::string> paths;
    const GPtrArray* checkpoints = nmClient ? nm_client_get_checkpoints(nmClient) : nullptr;
    for (guint i = 0; checkpoints && i < checkpoints->len; ++i) {
        paths.emplace_back(nm_object_get_path(NM_OBJECT(checkpoints->pdata[i])));
    }
    return paths;
}

void createCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    auto checkpoint =
        adoptGObject(nm_client_checkpoint_create_finish(NM_CLIENT(source), res, outPtr(error)));
    if (checkpoint) {
        NmCallRecord::of(userData).path = nm_object_get_path(NM_OBJECT(checkpoint.get()));
    }
    NmCallRecord::settle(userData, checkpoint != nullptr, error.get(),
                         "checkpoint not created: %s\n");
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
    if (gCreating == 0) destroyUnowned(cachedPaths());
    nmCommitReview();
}

}  // namespace

NmTask nmCheckpointCreate(NMDevice* device, uint32_t rollbackSeconds, bool overlapping,
                          std::string* path) {
    NmCall call("checkpoint create");
    if (!call) co_return NM_UNAVAILABLE;
    GPtrArrayPtr devices(g_ptr_array_new());
    g_ptr_array_add(devices.get(), device);
    auto flags = static_cast<NMCheckpointCreateFlags>(
        overlapping ? NM_CHECKPOINT_CREATE_FLAG_ALLOW_OVERLAPPING : NM_CHECKPOINT_CREATE_FLAG_NONE);
    ++gCreating;
    nm_client_checkpoint_create(nmClient, devices.get(), rollbackSeconds, flags, call.cancellable(),
                                createCallback, call.forCallback());
    int status = co_await call.finished();
    --gCreating;
    if (status == -ETIMEDOUT) ++gAbandonedCreates;
    if (status == 0) {
        *path = call.record().path;
        gOwned.push_back(*path);
    }
    co_return status;
}

NmTask nmCheckpointDestroy(std::string path) {
    NmCall call("checkpoint destroy");
    if (!call) co_return NM_UNAVAILABLE;
    nm_client_checkpoint_destroy(nmClient, path.c_str(), call.cancellable(), destroyCallback,
                                 call.forCallback());
    disown(path);
    co_return co_await call.finished();
}

NmTask nmCheckpointRollback(std::string path) {
    NmCall call("checkpoint rollback");
    if (!call) co_return NM_UNAVAILABLE;
    nm_client_checkpoint_rollback(nmClient, path.c_str(), call.cancellable(), rollbackCallback,
                                  call.forCallback());
    disown(path);
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

NmTask nmCheckpointHeldNow(std::string path) {
    std::vector<std::string> paths;
    int status = co_await freshPaths(&paths);
    if (status < 0) co_return 1;
    co_return std::find(paths.begin(), paths.end(), path) != paths.end() ? 1 : 0;
}

NmTask nmCheckpointSweep() {
    if (gAbandonedCreates == 0) co_return 0;
    std::vector<std::string> paths;
    int status = co_await freshPaths(&paths);
    if (status < 0) co_return 0;
    // By index and by value: the loop suspends in the destroy.
    for (size_t i = 0; i < paths.size() && gAbandonedCreates > 0; ++i) {
        std::string path = paths[i];
        if (owned(path)) continue;
        yebLog("checkpoint %s of a request that timed out: destroyed\n", path.c_str());
        --gAbandonedCreates;
        co_await nmCheckpointDestroy(path);
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
