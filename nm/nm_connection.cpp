#include "nm/nm_connection.h"

#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "nm/glib_ptr.h"
#include "nm/nm_checkpoint.h"
#include "nm/nm_commit.h"
#include "nm/nm_device.h"
#include "nm/nm_follow.h"
#include "nm/nm_operation.h"
#include "nm/nm_park.h"
#include "nm/nm_pending.h"
#include "nm/nm_profile.h"
#include "nm/nm_read.h"
#include "nm/nm_verify.h"
#include "nm/nm_vocabulary.h"
#include "nm/nm_watch.h"
#include "nm/nm_worker.h"
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
    NmTask begin() {
        // Plain statements: GCC 12 miscompiles co_await inside a conditional expression.
        int status = 0;
        if (request_.rollback != 0) {
            status = co_await nmCommitBegin(device_, request_.rollback, newUuid_, &number_);
        } else {
            oldUuid_ = nmDeviceActiveUuid(device_);
            status = co_await nmCheckpointCreate(device_, seconds(), true, &checkpoint_);
        }
        if (status < 0) co_return stillThere(status, device_);
        if (!nmhelper_device_present(device_)) co_return co_await fail(-ENOENT);
        co_return 0;
    }

    // Undoes everything since begin(), answers status. A client's change says so in an event,
    // as every rollback of it does.
    NmTask fail(int status) {
        yebLog("request 3 on %s failed (%d); restoring the previous configuration\n",
               request_.interface, status);
        if (number_ != 0) {
            co_await nmCommitRollback(number_);  // should it fail, the daemon retries by itself
            co_return status;
        }
        int rolledBack = co_await nmCheckpointRollback(checkpoint_);
        // A NetworkManager restarted meanwhile forgot the guard; a checked change kept the old
        // profiles on disk, so the old one can be brought up again.
        if (rolledBack < 0 && holdsOldProfiles()) {
            rolledBack = co_await nmCommitReactivate(request_.interface, oldUuid_);
        }
        if (rolledBack < 0) {
            yebLog("error: %s could not be restored; NetworkManager restores it within %u s\n",
                   request_.interface, seconds());
        }
        co_await nmCommitDeleteProfile(newUuid_);  // the checkpoint leaves profiles made since
        co_return status;
    }

    // Keeps the change: the guard goes; a client's checkpoint stays pending under its number.
    // A checked change saves its profile and lets the old ones go first.
    NmTask keep() {
        if (number_ != 0) co_return 0;
        if (holdsOldProfiles()) {
            int saved = co_await nmCommitKeepProfile(request_.interface, newUuid_);
            if (saved < 0) co_return saved;
        }
        // NetworkManager restarted meanwhile forgot the guard: nothing is left to destroy.
        if (!nmCheckpointKnown(checkpoint_)) co_return 0;
        co_return co_await nmCheckpointDestroy(checkpoint_);
    }

    uint32_t number() const { return number_; }
    bool verifying() const { return request_.verify.host[0] != '\0'; }
    // Until it is kept, the new profile lives in memory and the old ones stay on disk: a
    // client's pending change, and a change that is checked ("verify") before it stands.
    bool holdsOldProfiles() const {
        return request_.rollback != 0 || (verifying() && !newUuid_.empty());
    }
    // How long the activation is waited for: "verify" implies a wait.
    uint32_t wait() const {
        return request_.wait != 0 ? request_.wait : verifying() ? LK_WAIT_MAX_S : 0;
    }

  private:
    // The checkpoint's own rollback time: the client's, or a guard that outlasts the request
    // (its wait and its echo check too, when it verifies).
    uint32_t seconds() const {
        if (request_.rollback != 0) return request_.rollback;
        return kGuardSeconds + (verifying() ? wait() + request_.verify.seconds : 0);
    }

    NMDevice* device_;
    const nmaConnection& request_;
    std::string newUuid_;
    std::string checkpoint_;
    std::string oldUuid_;  // the profile active before a change without a client's checkpoint
    uint32_t number_ = 0;
};

// What wakes a wait for the activation: a state change of the device, a device added or
// removed, NetworkManager going or coming back.
void onStateNotify(GObject*, GParamSpec*, gpointer park) {
    static_cast<NmPark*>(park)->wake(0);
}
void onDeviceListed(NMClient*, NMDevice*, gpointer park) {
    static_cast<NmPark*>(park)->wake(0);
}

// The device NetworkManager runs as ifname now; null while NetworkManager is away.
NMDevice* runningDevice(const char* ifname) {
    bool running = nmClient != nullptr && nm_client_get_nm_running(nmClient);
    return running ? nmhelper_find_device(ifname) : nullptr;
}

bool runs(NMDevice* device, const std::string& uuid) {
    return !uuid.empty() && nmDeviceActiveUuid(device) == uuid;
}

// Waits up to seconds for ifname to reach "activated" on the profile uuid (0), or to fail (-EIO;
// its reason is logged and was in the state events), or to vanish from the kernel (-ENOENT);
// -ETIMEDOUT when time is up. NetworkManager restarted meanwhile ends nothing: the wait goes on
// with the device it shows once it is back. Parked meanwhile.
NmTask waitActivated(std::string ifname, std::string uuid, uint32_t seconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds) * G_USEC_PER_SEC;
    for (;;) {
        NMDevice* device = runningDevice(ifname.c_str());
        if (device == nullptr && if_nametoindex(ifname.c_str()) == 0) co_return -ENOENT;
        NMDeviceState state = device ? nm_device_get_state(device) : NM_DEVICE_STATE_UNKNOWN;
        // Activated on another profile (NetworkManager came back and chose one itself) is not
        // the change the client waits for.
        if (state == NM_DEVICE_STATE_ACTIVATED && runs(device, uuid)) co_return 0;
        if (state == NM_DEVICE_STATE_FAILED) {
            yebLog("activation of %s failed, reason %u\n", ifname.c_str(),
                   static_cast<unsigned>(nm_device_get_state_reason(device)));
            co_return -EIO;
        }
        gint64 left = deadline - g_get_monotonic_time();
        if (left <= 0) {
            yebLog("%s not activated after %u s\n", ifname.c_str(), seconds);
            co_return -ETIMEDOUT;
        }
        NmPark park(static_cast<int>(left / 1000 + 1));
        NmFollow deviceSignals, clientSignals;
        deviceSignals.reset(device);
        deviceSignals.connect("notify::" NM_DEVICE_STATE, G_CALLBACK(onStateNotify), &park);
        clientSignals.reset(nmClient);
        clientSignals.connect(NM_CLIENT_DEVICE_ADDED, G_CALLBACK(onDeviceListed), &park);
        clientSignals.connect(NM_CLIENT_DEVICE_REMOVED, G_CALLBACK(onDeviceListed), &park);
        clientSignals.connect("notify::" NM_CLIENT_NM_RUNNING, G_CALLBACK(onStateNotify), &park);
        if (int woke = co_await park; woke == NM_UNAVAILABLE) co_return woke;
    }
}

// Stores the new profile, activates it in place of the active one (no disconnect first) and
// deletes the older ones once NetworkManager has accepted the activation. A pending change
// keeps its profile in memory and the older ones on disk: a reboot brings the old ones back.
NmTask apply(NMDevice* device, NMConnection* profile, const char* ifname, bool pending) {
    int status = stillThere(co_await nmhelper_add_connection(profile, pending), device);
    if (status < 0) co_return status;
    const char* uuid = nm_connection_get_uuid(profile);
    // Referenced: the activation waits, and the profile may be deleted meanwhile.
    GObjectPtr<NMRemoteConnection> stored =
        retainGObject(nm_client_get_connection_by_uuid(nmClient, uuid));
    if (stored == nullptr) co_return -EINVAL;
    yebLog("nmadapter_SetConnection: marking interface up, %s, %s\n", ifname, uuid);
    status = stillThere(co_await nmhelper_activate_connection(ifname, NM_CONNECTION(stored.get())),
                        device);
    if (status < 0) {
        yebLog("error: could not mark new connection up\n");
        co_return status;
    }
    if (pending) co_return 0;
    co_return stillThere(co_await nmhelper_remove_connections(device, uuid), device);
}

NmTask removeAll(NMDevice* device, const nmaConnection& request) {
    Change change(device, request, nullptr);
    if (int status = co_await change.begin(); status < 0) co_return status;
    int status = stillThere(co_await nmhelper_remove_connections(device, nullptr), device);
    if (status < 0) co_return co_await change.fail(status);
    co_return co_await change.keep();
}

NmTask replace(TrelRequest* request, NMDevice* device, nmaConnection& connection) {
    GObjectPtr<NMConnection> profile;
    if (int status = nmProfileBuild(&connection, device, profile); status < 0) co_return status;
    const char* uuid = nm_connection_get_uuid(profile.get());
    Change change(device, connection, uuid);
    if (int status = co_await change.begin(); status < 0) co_return status;
    int status =
        co_await apply(device, profile.get(), connection.interface, change.holdsOldProfiles());
    if (status < 0) co_return co_await change.fail(status);
    // The change stands once applied (the guard goes before any wait, so that the reply can
    // leave on the state change itself); only a client's checkpoint, or a check of the change
    // ("verify"), keeps it undoable through the wait.
    if (!change.verifying()) {
        if (int kept = co_await change.keep(); kept < 0) co_return kept;
    }
    if (change.wait() != 0)
        status = co_await waitActivated(connection.interface, uuid, change.wait());
    if (status == 0 && change.verifying()) {
        status = co_await nmVerify(connection.interface, connection.verify.host,
                                   connection.verify.seconds);
    }
    // Apply, verify, roll back: a failed wait or check undoes the change at once.
    if (status < 0 && (connection.rollback != 0 || change.verifying())) {
        co_return co_await change.fail(status);
    }
    if (change.verifying()) {
        if (int kept = co_await change.keep(); kept < 0) co_return kept;
    }
    if (status < 0 || change.number() == 0) {
        co_return status < 0 ? status : encoderSize(&request->encoder);
    }
    Encoder* enc = &request->encoder;
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    encodeJsonNameIntValue(enc, "checkpoint", static_cast<int>(change.number()));
    encodeJsonObjectEnd(enc);
    encodeJsonEnd(enc);
    co_return encoderSize(enc);
}

// The checkpoint number of request 15 or 16, in its interface's turn (a change of that
// interface under way ends first); 0 when the request is refused with *status.
NmTask checkpointInTurn(TrelRequest* request, uint32_t* number, std::unique_ptr<NmTurn>& turn) {
    if (int status = nmjson_unmarshal_checkpoint(&request->decoder, number); status < 0) {
        co_return status;
    }
    const PendingChange* change = nmPendingFind(*number);
    if (change == nullptr) co_return -ENOENT;
    turn = std::make_unique<NmTurn>(change->ifname);
    NmTurn& mine = *turn;  // awaited by name: GCC 12 would copy a dereferenced awaiter
    co_await mine;
    co_return 0;
}

// "psk": null with a key management that uses a key: the key, and how it is kept, stay what
// the interface's profile (the one request 4 reads) stores now; none when it stores none or
// has no such profile.
NmTask keepStoredKey(nmaConnection& connection) {
    auto& security = connection.wifi.security;
    const KeyManagement* asked = nmKeyManagementNamed(security.keymgt);
    if (!security.keepStoredPsk || asked == nullptr || asked->keyMgmt == nullptr) co_return 0;
    GObjectPtr<NMRemoteConnection> held = retainGObject(findActiveProfile(connection.interface));
    NMSettingWirelessSecurity* stored =
        held ? nm_connection_get_setting_wireless_security(NM_CONNECTION(held.get())) : nullptr;
    const KeyManagement* today = nmKeyManagementOf(stored);
    if (today == nullptr || today->keyMgmt == nullptr) co_return 0;
    security.pskFlags = nm_setting_wireless_security_get_psk_flags(stored);
    static_assert(sizeof security.psk == kStoredPskSize);
    co_return co_await nmStoredPsk(held.get(), security.psk, sizeof security.psk);
}

NmTask setConnection(TrelRequest* request, nmaConnection& connection) {
    int status = nmjson_unmarshal_nmaConnection(&request->decoder, &connection);
    if (status < 0) co_return status;
    NmTurn turn(connection.interface);
    co_await turn;
    // Referenced for the whole request: it may be unplugged during any wait below.
    GObjectPtr<NMDevice> device(nmhelper_ref_device(connection.interface));
    if (!device) co_return -ENOENT;
    if (int busy = nmPendingRefuse(connection.interface, "request 3"); busy < 0) co_return busy;
    if (int status = co_await nmCheckpointSweep(connection.interface); status < 0) {
        co_return status;
    }
    if (connection.remove) co_return co_await removeAll(device.get(), connection);
    if (int kept = co_await keepStoredKey(connection); kept < 0) co_return kept;
    co_return co_await replace(request, device.get(), connection);
}

}  // namespace

NmTask nmadapter_SetConnection(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    nmaConnection connection;
    int status = co_await setConnection(request, connection);
    explicit_bzero(&connection, sizeof connection);  // it may hold a key
    co_return status;
}

NmTask nmadapter_confirmCheckpoint(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    uint32_t number = 0;
    std::unique_ptr<NmTurn> turn;
    if (int status = co_await checkpointInTurn(request, &number, turn); status < 0) {
        co_return status;
    }
    co_return co_await nmCommitConfirm(number);
}

NmTask nmadapter_rollbackCheckpoint(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    uint32_t number = 0;
    std::unique_ptr<NmTurn> turn;
    if (int status = co_await checkpointInTurn(request, &number, turn); status < 0) {
        co_return status;
    }
    co_return co_await nmCommitRollback(number);
}
