#include "nm/nm_checkpoint.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_watch.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"
#include "platform/platform.h"

namespace {

struct Pending {
    uint32_t number;
    std::string path;
    std::string ifname;
};

// The clients' checkpoints (worker only); a handful at most, one per interface.
std::vector<Pending>& gPending = *new std::vector<Pending>;
uint32_t gLastNumber = 0;
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

// Destroys the checkpoints of abandoned creates, as soon as they show (fire and forget).
void destroyAbandoned() {
    if (gAbandonedCreates == 0 || gCreating || nmClient == nullptr) return;
    const GPtrArray* checkpoints = nm_client_get_checkpoints(nmClient);
    for (guint i = 0; checkpoints && i < checkpoints->len && gAbandonedCreates > 0; ++i) {
        const char* path = nm_object_get_path(NM_OBJECT(checkpoints->pdata[i]));
        if (owned(path)) continue;
        yebLog("checkpoint %s of a request that timed out: destroyed\n", path);
        nm_client_checkpoint_destroy(nmClient, path, nullptr, nullptr, nullptr);
        --gAbandonedCreates;
    }
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

void forgetPending(uint32_t number) {
    for (auto it = gPending.begin(); it != gPending.end(); ++it) {
        if (it->number == number) {
            gPending.erase(it);
            return;
        }
    }
}

bool known(const GPtrArray* checkpoints, const std::string& path) {
    for (guint i = 0; checkpoints && i < checkpoints->len; ++i) {
        if (path == nm_object_get_path(NM_OBJECT(checkpoints->pdata[i]))) return true;
    }
    return false;
}

// NetworkManager ended a checkpoint we did not: its rollback time-out passed.
void onCheckpointsChanged(GObject*, GParamSpec*, gpointer) {
    destroyAbandoned();
    const GPtrArray* checkpoints = nm_client_get_checkpoints(gFollowed);
    std::vector<Pending> gone;
    for (const Pending& pending : gPending) {
        if (!known(checkpoints, pending.path)) gone.push_back(pending);
    }
    for (const Pending& pending : gone) {
        yebLog("checkpoint %u of %s rolled back by NetworkManager (not confirmed in time)\n",
               pending.number, pending.ifname.c_str());
        forgetPending(pending.number);
        disown(pending.path);
        if (ServiceContext* service = nmServiceContext()) {
            nmCheckpointAnnounce(service, pending.number, pending.ifname.c_str());
        }
    }
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
        NM_CHECKPOINT_CREATE_FLAG_DELETE_NEW_CONNECTIONS |
        (overlapping ? NM_CHECKPOINT_CREATE_FLAG_ALLOW_OVERLAPPING : 0));
    destroyAbandoned();
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

uint32_t nmCheckpointAdopt(const std::string& path, const char* ifname) {
    if (nmCheckpointPendingFor(ifname)) return 0;
    uint32_t number = ++gLastNumber;
    gPending.push_back(Pending{number, path, ifname});
    return number;
}

bool nmCheckpointPendingFor(const char* ifname) {
    for (const Pending& pending : gPending) {
        if (pending.ifname == ifname) return true;
    }
    return false;
}

void nmCheckpointForget(uint32_t number) {
    forgetPending(number);
}

int nmCheckpointConfirm(uint32_t number) {
    for (const Pending& pending : gPending) {
        if (pending.number != number) continue;
        std::string path = pending.path;
        forgetPending(number);
        yebLog("checkpoint %u confirmed\n", number);
        return nmCheckpointDestroy(path);
    }
    return -ENOENT;
}

bool nmCheckpointRollbackNumber(ServiceContext* service, uint32_t number) {
    for (const Pending& pending : gPending) {
        if (pending.number != number) continue;
        Pending taken = pending;
        forgetPending(number);
        nmCheckpointRollback(taken.path);
        nmCheckpointAnnounce(service, number, taken.ifname.c_str());
        return true;
    }
    return false;
}

void nmCheckpointAnnounce(ServiceContext* service, uint32_t number, const char* ifname) {
    trelSendJsonObject(service->client->defaultInterface, LK_MSG_EVENT, [&](Encoder* enc) {
        encodeJsonNameStrValue(enc, "event", "rollback");
        encodeJsonNameIntValue(enc, "checkpoint", static_cast<int>(number));
        encodeJsonNameStrValue(enc, "interface", ifname);
    });
}

void nmCheckpointsOnClient(NMClient* client) {
    if (gFollowed != nullptr) g_signal_handlers_disconnect_by_data(gFollowed, &gFollowed);
    gFollowed = client;
    if (client == nullptr) return;
    g_signal_connect(client, "notify::" NM_CLIENT_CHECKPOINTS, G_CALLBACK(onCheckpointsChanged),
                     &gFollowed);
}
