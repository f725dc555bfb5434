#include "nm/nm_commit.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "nm/glib_ptr.h"
#include "nm/nm_checkpoint.h"
#include "nm/nm_device.h"
#include "nm/nm_follow.h"
#include "nm/nm_operation.h"
#include "nm/nm_park.h"
#include "nm/nm_pending.h"
#include "nm/nm_watch.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

// A checkpoint that vanishes this close to its deadline was rolled back by NetworkManager;
// one that vanishes earlier was lost (NetworkManager restarted) and is restored by us.
constexpr int64_t kExpirySlackMs = 2000;
// Should NetworkManager not roll a checkpoint back at its deadline, we do it this much later.
constexpr int64_t kGraceMs = 10000;
constexpr guint kFailedRetryMs = 1000;
// How long a rollback waits for the old configuration to be up before it says so.
constexpr gint64 kSettleUs = 30 * G_USEC_PER_SEC;

guint gTimer = 0;

void setCheckpoint(uint32_t number, const std::string& path) {
    if (PendingChange* change = nmPendingFind(number)) {
        change->checkpoint = path;
        nmPendingSave();
    }
}

// The rollback event, on the bus and to every control client with a watch.
void announce(uint32_t number, const std::string& ifname) {
    ServiceContext* service = nmServiceContext();
    if (service == nullptr) return;
    auto members = [&](Encoder* enc) {
        encodeJsonNameStrValue(enc, "event", "rollback");
        encodeJsonNameIntValue(enc, "checkpoint", static_cast<int>(number));
        encodeJsonNameStrValue(enc, "interface", ifname.c_str());
    };
    TrelInterface* iface = trelDefaultInterface(service->client);
    trelSendJsonObject(iface, LK_MSG_EVENT, members);
    std::vector<int> told;
    for (const WatchSlot& slot : service->watches) {
        int channel = slot.route.channel;
        if (slot.handle == 0 || channel == TREL_BUS_CHANNEL ||
            std::find(told.begin(), told.end(), channel) != told.end()) {
            continue;
        }
        told.push_back(channel);
        trelSendJsonObjectTo(iface, slot.route, LK_MSG_EVENT, members);
    }
}

// Whether the device runs the profile oldUuid (none: runs nothing).
bool restored(const std::string& ifname, const std::string& oldUuid) {
    NMDevice* device = nmhelper_find_device(ifname.c_str());
    if (device == nullptr) return true;  // unplugged: its profiles on disk are the old ones
    if (nmDeviceActiveUuid(device) != oldUuid) return false;
    return oldUuid.empty() || nm_device_get_state(device) == NM_DEVICE_STATE_ACTIVATED;
}

void onChanged(GObject*, GParamSpec*, gpointer park) {
    static_cast<NmPark*>(park)->wake(0);
}

// Waits, parked, until the old configuration is up: the client's active connections and the
// device's state tell.
NmTask awaitRestored(std::string ifname, std::string oldUuid) {
    gint64 deadline = g_get_monotonic_time() + kSettleUs;
    while (!restored(ifname, oldUuid)) {
        gint64 left = deadline - g_get_monotonic_time();
        if (left <= 0 || nmClient == nullptr) {
            yebLog("%s: the old configuration is not up yet\n", ifname.c_str());
            co_return 0;
        }
        NmPark park(static_cast<int>(left / 1000 + 1));
        NmFollow client, device;
        client.reset(nmClient);
        client.connect("notify::" NM_CLIENT_ACTIVE_CONNECTIONS, G_CALLBACK(onChanged), &park);
        device.reset(nmhelper_find_device(ifname.c_str()));
        device.connect("notify::" NM_DEVICE_STATE, G_CALLBACK(onChanged), &park);
        int woke = co_await park;
        if (woke == NM_UNAVAILABLE) co_return 0;
    }
    co_return 0;
}

// Puts the configuration from before the change back: through the checkpoint while
// NetworkManager holds it, else by activating the old profile; then the new profile goes.
NmTask restore(uint32_t number) {
    if (nmClient == nullptr || !nm_client_get_nm_running(nmClient)) co_return NM_UNAVAILABLE;
    PendingChange change = *nmPendingFind(number);
    int status = 0;
    if (!change.checkpoint.empty() && nmCheckpointHeld(change.checkpoint)) {
        setCheckpoint(number, "");  // its vanishing is ours
        status = co_await nmCheckpointRollback(change.checkpoint);
    } else if (!change.oldUuid.empty()) {
        status = co_await nmCommitReactivate(change.ifname, change.oldUuid);
    }
    if (status == 0) status = co_await nmCommitDeleteProfile(change.newUuid);
    if (status < 0) {
        yebLog("error: checkpoint %u of %s not rolled back (%d); it stays pending\n", number,
               change.ifname.c_str(), status);
        co_return status;
    }
    // A checkpoint that outlived a failed rollback would strike at a later change.
    if (!change.checkpoint.empty() && nmCheckpointHeld(change.checkpoint)) {
        co_await nmCheckpointDestroy(change.checkpoint);
    }
    co_await awaitRestored(change.ifname, change.oldUuid);
    if (nmPendingFind(number) == nullptr) co_return 0;  // restored meanwhile by another
    nmPendingDrop(number);
    yebLog("checkpoint %u of %s rolled back: the old configuration is back\n", number,
           change.ifname.c_str());
    announce(number, change.ifname);
    co_return 0;
}

// None of nobody's checkpoints may strike at the change's interface: 0 once none can, -ENOENT
// when number is not pending (any more), or the sweep's failure.
NmTask sweepFor(uint32_t number) {
    const PendingChange* change = nmPendingFind(number);
    if (change == nullptr) co_return -ENOENT;
    if (int status = co_await nmCheckpointSweep(change->ifname); status < 0) co_return status;
    co_return nmPendingFind(number) == nullptr ? -ENOENT : 0;
}

int64_t dueAt(const PendingChange& change) {
    return change.deadlineMs + (change.checkpoint.empty() ? 0 : kGraceMs);
}

void armTimer(guint delayMs);
void armForNext();

bool gRestoring = false;  // a restore of due changes is under way

// Restores every change whose time has come, each in its interface's turn (a request on that
// interface under way ends first).
NmDetached restoreDue() {
    gRestoring = true;
    int64_t now = nmPendingNowMs();
    std::vector<std::pair<uint32_t, std::string>> due;
    for (const PendingChange& change : nmPendingChanges()) {
        if (dueAt(change) <= now) due.emplace_back(change.number, change.ifname);
    }
    bool failed = false;
    // Named copies, no structured binding: GCC 12 does not keep one alive across a suspension.
    for (size_t i = 0; i < due.size(); ++i) {
        uint32_t number = due[i].first;
        std::string ifname = due[i].second;
        NmTurn turn(ifname);
        co_await turn;
        int status = co_await sweepFor(number);
        if (status == -ENOENT) continue;
        if (status == 0) status = co_await restore(number);
        if (status < 0) failed = true;
    }
    gRestoring = false;
    if (failed) {
        armTimer(kFailedRetryMs);
    } else {
        armForNext();
    }
}

gboolean onTimer(gpointer) {
    gTimer = 0;
    // Until NetworkManager is back; a restore under way arms the timer again when it ends.
    if (gRestoring || nmClient == nullptr || !nm_client_get_nm_running(nmClient)) {
        return G_SOURCE_REMOVE;
    }
    restoreDue();
    return G_SOURCE_REMOVE;
}

void armTimer(guint delayMs) {
    if (gTimer != 0) g_source_remove(gTimer);
    gTimer = g_timeout_add(delayMs, onTimer, nullptr);
}

// Arms the timer for the change due first; none without pending changes.
void armForNext() {
    const std::vector<PendingChange>& changes = nmPendingChanges();
    if (changes.empty()) {
        if (gTimer != 0) g_source_remove(gTimer);
        gTimer = 0;
        return;
    }
    int64_t next = dueAt(changes.front());
    for (const PendingChange& change : changes) next = std::min(next, dueAt(change));
    int64_t delay = std::max<int64_t>(0, next - nmPendingNowMs());
    armTimer(static_cast<guint>(std::min<int64_t>(delay, G_MAXUINT)));
}

// The end of a save to disk.
void saveCallback(GObject* source, GAsyncResult* res, gpointer userData) {
    GErrorPtr error;
    GVariantPtr result(
        nm_remote_connection_update2_finish(NM_REMOTE_CONNECTION(source), res, outPtr(error)));
    NmCallRecord::settle(userData, result != nullptr, error.get(), "profile not saved: %s\n");
}

NmTask saveToDisk(NMRemoteConnection* profile) {
    NmCall call("profile save");
    if (!call) co_return NM_UNAVAILABLE;
    nm_remote_connection_update2(profile, nullptr, NM_SETTINGS_UPDATE2_FLAG_TO_DISK, nullptr,
                                 call.cancellable(), saveCallback, call.forCallback());
    co_return co_await call.finished();
}

}  // namespace

NmTask nmCommitBegin(NMDevice* device, uint32_t seconds, std::string newUuid, uint32_t* number) {
    std::string path;
    if (int status = co_await nmCheckpointCreate(device, seconds, false, &path); status < 0) {
        co_return status;
    }
    PendingChange change;
    change.number = nmPendingNumber();
    change.ifname = nm_device_get_iface(device);
    change.deadlineMs = nmPendingNowMs() + static_cast<int64_t>(seconds) * 1000;
    change.checkpoint = path;
    change.newUuid = newUuid;
    change.oldUuid = nmDeviceActiveUuid(device);
    nmPendingChanges().push_back(change);
    int status = change.number == 0 ? -EIO : nmPendingSave();
    if (status < 0) {  // a promise that would not outlive a restart is not made
        nmPendingChanges().pop_back();
        co_await nmCheckpointDestroy(path);
        co_return status;
    }
    armForNext();
    *number = change.number;
    co_return 0;
}

NmTask nmCommitRollback(uint32_t number) {
    int status = co_await sweepFor(number);
    if (status == 0) status = co_await restore(number);
    PendingChange* change = nmPendingFind(number);
    if (status < 0 && change != nullptr) {  // asked for: due now, retried by the daemon itself
        change->deadlineMs = std::min(change->deadlineMs, nmPendingNowMs());
        nmPendingSave();
        armTimer(kFailedRetryMs);
    }
    co_return status;
}

NmTask nmCommitConfirm(uint32_t number) {
    if (int status = co_await sweepFor(number); status < 0) co_return status;
    PendingChange* found = nmPendingFind(number);
    PendingChange change = *found;
    if (nmPendingNowMs() >= change.deadlineMs) {
        yebLog("checkpoint %u: its time is up; it is being rolled back\n", number);
        co_return -ENOENT;
    }
    setCheckpoint(number, "");  // its vanishing is ours
    if (!change.checkpoint.empty() && nmCheckpointHeld(change.checkpoint)) {
        int status = co_await nmCheckpointDestroy(change.checkpoint);
        // Refused as unknown: the destroy of an earlier confirm that timed out got there late.
        bool answered = status != -ETIMEDOUT && status != NM_UNAVAILABLE;
        int stillHeld = 0;
        if (status < 0 && answered) stillHeld = co_await nmCheckpointHeldNow(change.checkpoint);
        if (status < 0 && (!answered || stillHeld != 0)) {
            setCheckpoint(number, change.checkpoint);
            co_return status;
        }
    }
    if (int status = co_await nmCommitKeepProfile(change.ifname, change.newUuid); status < 0) {
        yebLog("error: checkpoint %u not confirmed (%d); it stays pending\n", number, status);
        co_return status == -ENOENT ? -EIO : status;
    }
    nmPendingDrop(number);
    yebLog("checkpoint %u confirmed: %s keeps its new profile\n", number, change.ifname.c_str());
    armForNext();
    co_return 0;
}

void nmCommitReview() {
    int64_t now = nmPendingNowMs();
    bool changed = false;
    for (PendingChange& change : nmPendingChanges()) {
        if (change.checkpoint.empty() || nmCheckpointHeld(change.checkpoint)) continue;
        if (now >= change.deadlineMs - kExpirySlackMs) {
            yebLog("checkpoint %u of %s rolled back by NetworkManager (not confirmed in time)\n",
                   change.number, change.ifname.c_str());
            change.deadlineMs = std::min(change.deadlineMs, now);
        } else {
            yebLog(
                "checkpoint %u of %s vanished without a rollback (NetworkManager restarted?); "
                "the old configuration comes back in %lld s\n",
                change.number, change.ifname.c_str(),
                static_cast<long long>((change.deadlineMs - now) / 1000));
        }
        change.checkpoint.clear();
        changed = true;
    }
    if (changed) nmPendingSave();
    armForNext();
}

NmTask nmCommitDeleteProfile(std::string uuid) {
    if (uuid.empty()) co_return 0;
    GObjectPtr<NMRemoteConnection> profile =
        retainGObject(nm_client_get_connection_by_uuid(nmClient, uuid.c_str()));
    if (profile == nullptr) co_return 0;
    co_return co_await nmhelper_remove_connection(profile.get());
}

NmTask nmCommitReactivate(std::string ifname, std::string oldUuid) {
    NMDevice* device = nmhelper_find_device(ifname.c_str());
    GObjectPtr<NMRemoteConnection> old =
        retainGObject(nm_client_get_connection_by_uuid(nmClient, oldUuid.c_str()));
    if (device == nullptr || old == nullptr || nmDeviceActiveUuid(device) == oldUuid) co_return 0;
    yebLog("%s: activating its old profile %s again\n", ifname.c_str(), oldUuid.c_str());
    co_return co_await nmhelper_activate_connection(ifname.c_str(), NM_CONNECTION(old.get()));
}

NmTask nmCommitKeepProfile(std::string ifname, std::string newUuid) {
    GObjectPtr<NMRemoteConnection> profile =
        retainGObject(nm_client_get_connection_by_uuid(nmClient, newUuid.c_str()));
    if (profile == nullptr) {
        yebLog("the new profile of %s is gone; nothing to keep\n", ifname.c_str());
        co_return -ENOENT;
    }
    if (int status = co_await saveToDisk(profile.get()); status < 0) co_return status;
    GObjectPtr<NMDevice> device(nmhelper_ref_device(ifname.c_str()));
    if (!device) co_return -ENOENT;
    co_return co_await nmhelper_remove_connections(device.get(), newUuid.c_str());
}
