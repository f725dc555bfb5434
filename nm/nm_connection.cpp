#include "nm/nm_connection.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "nm/glib_ptr.h"
#include "nm/nm_checkpoint.h"
#include "nm/nm_commit.h"
#include "nm/nm_pending.h"
#include "nm/nm_profile.h"
#include "nm/nm_watch.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"
#include "platform/platform.h"

namespace {

// Without "rollback", the checkpoint only guards the request itself: should the daemon die
// half-way, NetworkManager puts the old state back after this long.
constexpr uint32_t kGuardSeconds = 60;

// After every wait: the device may have been unplugged meanwhile.
// A device that vanished explains any failure of NetworkManager's (it refuses operations on a
// device it no longer has), so the answer is then -ENOENT; NetworkManager gone or silent says
// more, and stays.
int stillThere(int status, NMDevice* device) {
    if (status == NM_UNAVAILABLE || status == -ETIMEDOUT) return status;
    if (nmhelper_device_present(device)) return status;
    yebLog("device gone during the request\n");
    return -ENOENT;
}

// One request 3 under its checkpoint: every failure after NetworkManager was asked undoes
// everything at once. With "rollback" the client's pending change holds the checkpoint.
class Change {
  public:
    Change(NMDevice* device, const nmaConnection& request, const char* newUuid)
        : device_(device), request_(request), newUuid_(newUuid ? newUuid : "") {}

    // 0, or why no checkpoint could be taken (nothing changed then). A client's checkpoint
    // gets its number at once, so that even a rollback of this request can name it.
    int begin() {
        int status = request_.rollback != 0
                         ? nmCommitBegin(device_, request_.rollback, newUuid_.c_str(), &number_)
                         : nmCheckpointCreate(device_, kGuardSeconds, true, &checkpoint_);
        if (status == 0 && !nmhelper_device_present(device_)) return fail(-ENOENT);
        return status < 0 ? stillThere(status, device_) : 0;
    }

    // Undoes everything since begin(), answers status. A client's change says so in an event,
    // as every rollback of it does.
    int fail(int status) {
        yebLog("request 3 on %s failed (%d); restoring the previous configuration\n",
               request_.interface, status);
        if (number_ != 0) {
            nmCommitRollback(number_);  // should it fail, the daemon retries by itself
            return status;
        }
        if (nmCheckpointRollback(checkpoint_) < 0) {
            yebLog("error: %s could not be restored; NetworkManager restores it within %u s\n",
                   request_.interface, kGuardSeconds);
        }
        nmCommitDeleteProfile(newUuid_);  // the checkpoint leaves profiles made since alone
        return status;
    }

    // Keeps the change: the guard goes; a client's checkpoint stays pending under its number.
    int keep() {
        if (number_ != 0) return 0;
        return nmCheckpointDestroy(checkpoint_);
    }

    uint32_t number() const { return number_; }

  private:
    NMDevice* device_;
    const nmaConnection& request_;
    std::string newUuid_;
    std::string checkpoint_;
    uint32_t number_ = 0;
};

gboolean waitWake(gpointer) {
    return G_SOURCE_REMOVE;
}

// Waits up to seconds for the device to reach "activated" (0), or to fail (-EIO; its reason is
// logged and was in the state events), or to vanish (-ENOENT); -ETIMEDOUT when time is up.
int waitActivated(NMDevice* device, uint32_t seconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds) * G_USEC_PER_SEC;
    for (;;) {
        if (nmClient == nullptr || !nm_client_get_nm_running(nmClient)) return NM_UNAVAILABLE;
        if (!nmhelper_device_present(device)) return -ENOENT;
        NMDeviceState state = nm_device_get_state(device);
        if (state == NM_DEVICE_STATE_ACTIVATED) return 0;
        if (state == NM_DEVICE_STATE_FAILED) {
            yebLog("activation of %s failed, reason %u\n", nm_device_get_iface(device),
                   static_cast<unsigned>(nm_device_get_state_reason(device)));
            return -EIO;
        }
        gint64 left = deadline - g_get_monotonic_time();
        if (left <= 0) {
            yebLog("%s not activated after %u s\n", nm_device_get_iface(device), seconds);
            return -ETIMEDOUT;
        }
        // A state change wakes the iteration; the timer bounds it.
        guint wake = g_timeout_add(static_cast<guint>(left / 1000 + 1), waitWake, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        if (GSource* source = g_main_context_find_source_by_id(nullptr, wake)) {
            g_source_destroy(source);
        }
    }
}

// Stores the new profile, activates it in place of the active one (no disconnect first) and
// deletes the older ones once NetworkManager has accepted the activation. A pending change
// keeps its profile in memory and the older ones on disk: a reboot brings the old ones back.
int apply(NMDevice* device, NMConnection* profile, const char* ifname, bool pending) {
    int status = stillThere(nmhelper_add_connection(profile, pending), device);
    if (status < 0) return status;
    const char* uuid = nm_connection_get_uuid(profile);
    NMRemoteConnection* stored = nm_client_get_connection_by_uuid(nmClient, uuid);
    if (stored == nullptr) return -EINVAL;
    yebLog("nmadapter_SetConnection: marking interface up, %s, %s\n", ifname, uuid);
    status = stillThere(nmhelper_activate_connection(ifname, NM_CONNECTION(stored)), device);
    if (status < 0) {
        yebLog("error: could not mark new connection up\n");
        return status;
    }
    if (pending) return 0;
    return stillThere(nmhelper_remove_connections(nmClient, device, uuid), device);
}

int removeAll(NMDevice* device, const nmaConnection& request) {
    Change change(device, request, nullptr);
    if (int status = change.begin(); status < 0) return status;
    int status = stillThere(nmhelper_remove_connections(nmClient, device, nullptr), device);
    if (status < 0) return change.fail(status);
    return change.keep();
}

int replace(TrelRequest* request, NMDevice* device, nmaConnection& connection) {
    GObjectPtr<NMConnection> profile;
    if (int status = nmProfileBuild(&connection, device, profile); status < 0) return status;
    const char* uuid = nm_connection_get_uuid(profile.get());
    Change change(device, connection, uuid);
    if (int status = change.begin(); status < 0) return status;
    int status = apply(device, profile.get(), connection.interface, connection.rollback != 0);
    if (status < 0) return change.fail(status);
    // The change stands once applied (the guard goes before any wait, so that the reply can
    // leave on the state change itself); only a client's checkpoint covers the wait too.
    if (int kept = change.keep(); kept < 0) return kept;
    if (connection.wait != 0) status = waitActivated(device, connection.wait);
    // Apply, verify, roll back: with both asked for, a failed wait undoes the change at once.
    if (status < 0 && connection.rollback != 0) return change.fail(status);
    if (status < 0 || change.number() == 0) {
        return status < 0 ? status : encoderSize(&request->encoder);
    }
    Encoder* enc = &request->encoder;
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    encodeJsonNameIntValue(enc, "checkpoint", static_cast<int>(change.number()));
    encodeJsonObjectEnd(enc);
    encodeJsonEnd(enc);
    return encoderSize(enc);
}

int setConnection(TrelRequest* request, nmaConnection& connection) {
    int status = nmjson_unmarshal_nmaConnection(&request->decoder, &connection);
    if (status < 0) return status;
    // Referenced for the whole request: it may be unplugged during any wait below.
    GObjectPtr<NMDevice> device(nmhelper_ref_device(connection.interface));
    if (!device) return -ENOENT;
    if (int busy = nmPendingRefuse(connection.interface, "request 3"); busy < 0) return busy;
    nmCheckpointSweep();
    if (connection.remove) return removeAll(device.get(), connection);
    return replace(request, device.get(), connection);
}

}  // namespace

int nmadapter_SetConnection(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    nmaConnection connection;
    int status = setConnection(request, connection);
    explicit_bzero(&connection, sizeof connection);  // it may hold a key
    return status;
}

int nmadapter_confirmCheckpoint(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    uint32_t number = 0;
    if (int status = nmjson_unmarshal_checkpoint(&request->decoder, &number); status < 0) {
        return status;
    }
    return nmCommitConfirm(number);
}

int nmadapter_rollbackCheckpoint(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    uint32_t number = 0;
    if (int status = nmjson_unmarshal_checkpoint(&request->decoder, &number); status < 0) {
        return status;
    }
    return nmCommitRollback(number);
}
