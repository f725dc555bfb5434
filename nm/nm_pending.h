#pragma once
// The clients' pending changes (request 3 with "rollback" not yet confirmed or rolled back),
// kept on the worker and in a record under the daemon's runtime directory, so that a daemon
// started again within the same boot knows every one of them and never hands out a number
// twice. The record lives on a tmpfs on a device: a reboot clears it, as it clears the
// in-memory profiles of the changes.
#include <cstdint>
#include <string>
#include <vector>

struct PendingChange {
    uint32_t number = 0;     // the client's checkpoint number, 1 and up
    std::string ifname;      // the interface changed
    int64_t deadlineMs = 0;  // boot-time clock (CLOCK_BOOTTIME) milliseconds
    std::string checkpoint;  // NetworkManager's object path; empty once it has none any more
    std::string newUuid;     // the profile the change added (in memory until confirmed)
    std::string oldUuid;     // the profile active before the change; empty when none was
};

struct PendingRecord {
    std::string bootId;
    uint32_t lastNumber = 0;
    std::vector<PendingChange> changes;
};

// At most this many pending changes (one per interface).
constexpr size_t PENDING_MAX = 64;

// The record as text, one line per fact.
std::string pendingFormat(const PendingRecord& record);
// false for a text that is not such a record (a damaged file), or breaks a bound.
bool pendingParse(const std::string& text, PendingRecord* record);

// The boot-time clock in milliseconds: it counts across processes and suspend, and starts again
// at a boot, as the record does.
int64_t nmPendingNowMs();

// Worker only. The record is read once, on first use; every change below is written at once.
std::vector<PendingChange>& nmPendingChanges();
PendingChange* nmPendingFind(uint32_t number);
PendingChange* nmPendingOn(const char* ifname);
// A new number, written to the record before it is handed out: 0 when the record cannot be
// written (the promise would not survive a restart; the caller refuses the request).
uint32_t nmPendingNumber();
// Writes the record as it is now; 0 or -errno (logged).
int nmPendingSave();
void nmPendingDrop(uint32_t number);
// -EBUSY, with a log line naming the checkpoint, when a change is pending on ifname (any
// interface when ifname is null); else 0.
int nmPendingRefuse(const char* ifname, const char* request);
