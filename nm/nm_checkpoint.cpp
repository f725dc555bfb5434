#include "nm/nm_checkpoint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_commit.h"
#include "nm/nm_pending.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"
#include "platform/platform.h"

namespace {

NMClient* gFollowed = nullptr;
// Every checkpoint of ours that NetworkManager still holds: guards and clients' alike.
std::vector<std::string>& gOwned = *new std::vector<std::string>;
// A create that timed out may still be carried out by NetworkManager later (it was frozen, say):
// such a checkpoint belongs to nobody and would roll back newer changes when it expires.
int gAbandonedCreates = 0;
bool gCreating = false;

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

// Destroys the first unowned checkpoints of the list, one per abandoned create; wait says
// whether to wait for each destroy (a request's own sweep) or fire and forget (a signal).
void destroyUnowned(const std::vector<std::string>& paths, bool wait) {
    for (const std::string& path : paths) {
        if (gAbandonedCreates == 0) return;
        if (owned(path)) continue;
        yebLog("checkpoint %s of a request that timed out: destroyed\n", path.c_str());
        --gAbandonedCreates;
        if (wait) {
            nmCheckpointDestroy(path);
        } else {
            nm_client_checkpoint_destroy(nmClient, path.c_str(), nullptr, nullptr, nullptr);
        }
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

struct CreateResult {
    std::string path;
};

void createCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    auto checkpoint =
        adoptGObject(nm_client_checkpoint_create_finish(NM_CLIENT(source), res, outPtr(error)));
    NmOp* op = static_cast<NmOp*>(userData);
    if (checkpoint && op->refs > 1) {
        static_cast<CreateResult*>(op->result)->path =
            nm_object_get_path(NM_OBJECT(checkpoint.get()));
    }
    if (!checkpoint) yebLog("checkpoint not created: %s\n", error ? error->message : "unknown");
    nmhelper_op_settle(op, checkpoint != nullptr, error.get());
}

void destroyCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    bool ok = nm_client_checkpoint_destroy_finish(NM_CLIENT(source), res, outPtr(error));
    if (!ok) yebLog("checkpoint not destroyed: %s\n", error ? error->message : "unknown");
    nmhelper_op_settle(static_cast<NmOp*>(userData), ok, error.get());
}

void rollbackCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    GHashTable* results =
        nm_client_checkpoint_rollback_finish(NM_CLIENT(source), res, outPtr(error));
    if (results != nullptr) g_hash_table_unref(results);
    if (!results) yebLog("checkpoint not rolled back: %s\n", error ? error->message : "unknown");
    nmhelper_op_settle(static_cast<NmOp*>(userData), results != nullptr, error.get());
}

// The reply of a D-Bus call, kept as the operation's variant result.
void callCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    GVariant* reply = nm_client_dbus_call_finish(NM_CLIENT(source), res, outPtr(error));
    NmOp* op = static_cast<NmOp*>(userData);
    if (op->refs > 1) {
        op->result = reply;
    } else if (reply != nullptr) {
        g_variant_unref(reply);
    }
    nmhelper_op_settle(op, reply != nullptr, error.get());
}

// NetworkManager's own list of checkpoints, read now: 0 or -errno.
int freshPaths(std::vector<std::string>* paths) {
    NmOp* op = nmhelper_op_new("checkpoint list");
    if (!op) return NM_UNAVAILABLE;
    op->refs = 3;  // this wrapper reads the result after the wait
    nm_client_dbus_call(nmClient, NM_DBUS_PATH, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", NM_DBUS_INTERFACE, "Checkpoints"),
                        G_VARIANT_TYPE("(v)"), -1, op->cancellable, callCallback, op);
    int status = nmhelper_wait(op, false);
    if (status == 0 && op->result != nullptr) {
        GVariant* inside = nullptr;  // a variadic call: no out-argument adapter
        g_variant_get(static_cast<GVariant*>(op->result), "(v)", &inside);
        GVariantPtr boxed(inside);
        GVariantIter iter;
        g_variant_iter_init(&iter, boxed.get());
        const char* path;
        while (g_variant_iter_next(&iter, "&o", &path)) paths->emplace_back(path);
    }
    nmhelper_op_unref(op);
    return status;
}

void onCheckpointsChanged(GObject*, GParamSpec*, gpointer) {
    if (!gCreating) destroyUnowned(cachedPaths(), false);
    nmCommitReview();
}

}  // namespace

int nmCheckpointCreate(NMDevice* device, uint32_t rollbackSeconds, bool overlapping,
                       std::string* path) {
    CreateResult made;
    NmOp* op = nmhelper_op_new("checkpoint create");
    if (!op) return NM_UNAVAILABLE;
    op->refs = 3;  // this wrapper reads the result after the wait
    op->result = &made;
    GPtrArrayPtr devices(g_ptr_array_new());
    g_ptr_array_add(devices.get(), device);
    auto flags = static_cast<NMCheckpointCreateFlags>(
        overlapping ? NM_CHECKPOINT_CREATE_FLAG_ALLOW_OVERLAPPING : NM_CHECKPOINT_CREATE_FLAG_NONE);
    gCreating = true;
    nm_client_checkpoint_create(nmClient, devices.get(), rollbackSeconds, flags, op->cancellable,
                                createCallback, op);
    int status = nmhelper_wait(op, false);
    gCreating = false;
    op->result = nullptr;  // never released as a variant
    nmhelper_op_unref(op);
    if (status == -ETIMEDOUT) ++gAbandonedCreates;
    if (status == 0) {
        *path = made.path;
        gOwned.push_back(made.path);
    }
    return status;
}

int nmCheckpointDestroy(const std::string& path) {
    NmOp* op = nmhelper_op_new("checkpoint destroy");
    if (!op) return NM_UNAVAILABLE;
    nm_client_checkpoint_destroy(nmClient, path.c_str(), op->cancellable, destroyCallback, op);
    disown(path);
    return nmhelper_wait(op, false);
}

int nmCheckpointRollback(const std::string& path) {
    NmOp* op = nmhelper_op_new("checkpoint rollback");
    if (!op) return NM_UNAVAILABLE;
    nm_client_checkpoint_rollback(nmClient, path.c_str(), op->cancellable, rollbackCallback, op);
    disown(path);
    int status = nmhelper_wait(op, true);
    if (status == 0) yebLog("checkpoint %s rolled back\n", path.c_str());
    return status;
}

bool nmCheckpointHeld(const std::string& path) {
    for (const std::string& held : cachedPaths()) {
        if (held == path) return true;
    }
    return false;
}

bool nmCheckpointHeldNow(const std::string& path) {
    std::vector<std::string> paths;
    if (freshPaths(&paths) < 0) return true;
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

void nmCheckpointSweep() {
    if (gAbandonedCreates == 0) return;
    std::vector<std::string> paths;
    if (freshPaths(&paths) == 0) destroyUnowned(paths, true);
}

void nmCheckpointsOnClient(NMClient* client) {
    if (gFollowed != nullptr) g_signal_handlers_disconnect_by_data(gFollowed, &gFollowed);
    gFollowed = client;
    if (client == nullptr) return;
    g_signal_connect(client, "notify::" NM_CLIENT_CHECKPOINTS, G_CALLBACK(onCheckpointsChanged),
                     &gFollowed);
    // A NetworkManager that comes back without our checkpoints may not change the list.
    g_signal_connect(client, "notify::" NM_CLIENT_NM_RUNNING, G_CALLBACK(onCheckpointsChanged),
                     &gFollowed);
    // A daemon started again, or NetworkManager back: what became of the pending changes.
    nmCommitReview();
}
