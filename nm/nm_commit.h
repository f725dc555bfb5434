#pragma once
// The life of a client's pending change (request 3 with "rollback"): begun under a checkpoint
// with the new profile in memory only and the old ones kept on disk; ended by a confirm
// (request 15), a rollback (request 16, a failed "wait") or its deadline, whatever restarted
// meanwhile. A change whose checkpoint NetworkManager lost (it restarted) is restored by the
// daemon itself at the deadline. The rollback event goes out once the old configuration is back,
// to the bus and to every control client that watches. Runs on the worker; the steps that wait
// park their request.
#include <NetworkManager.h>

#include <cstdint>
#include <string>

#include "nm/nm.h"

// Starts a pending change of device for seconds: its checkpoint, a new number and the record
// of what a rollback restores (the profile active now, and newUuid, the profile the change is
// about to add). 0 with *number, or -errno with nothing changed.
NmTask nmCommitBegin(NMDevice* device, uint32_t seconds, std::string newUuid, uint32_t* number);
// Restores the configuration from before the change now, sends the rollback event and ends
// it: 0; -ENOENT when number is not pending; another -errno when the restore failed (the
// change stays pending under its number, so that the client may try again).
NmTask nmCommitRollback(uint32_t number);
// Keeps the change: its checkpoint goes, the new profile is saved to disk and the older ones
// bound to the interface are deleted. 0; -ENOENT when number is not pending or its time is
// up; another -errno when a step failed (the change stays pending).
NmTask nmCommitConfirm(uint32_t number);
// Looks at what became of the pending changes' checkpoints and arms the restore of every
// change whose time has come. Called whenever NetworkManager's checkpoints may have changed.
void nmCommitReview();
// Deletes the profile with that uuid when NetworkManager has one; 0 or -errno.
NmTask nmCommitDeleteProfile(std::string uuid);
// Activates the profile oldUuid on ifname again, unless it runs already or is gone; 0 or -errno.
NmTask nmCommitReactivate(std::string ifname, std::string oldUuid);
// Keeps a change made with its profile in memory: the profile newUuid is saved to disk and the
// older ones bound to ifname are deleted. 0; -ENOENT when the profile is gone; another -errno.
NmTask nmCommitKeepProfile(std::string ifname, std::string newUuid);
