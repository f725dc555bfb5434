#pragma once
// NetworkManager checkpoints of one device: the all-or-nothing guard of every request 3, and
// the rollback a client asks for ("rollback" in request 3, confirmed by request 15 or undone by
// request 16). Runs on the worker.
#include <NetworkManager.h>

#include <cstdint>
#include <string>

#include "nm/service_context.h"

// A checkpoint of device that NetworkManager restores by itself after rollbackSeconds unless it
// is destroyed first; new profiles are deleted on rollback. overlapping allows a second
// checkpoint of a device that has one. 0 with the checkpoint's object path, or -errno.
int nmCheckpointCreate(NMDevice* device, uint32_t rollbackSeconds, bool overlapping,
                       std::string* path);
// Keeps the changes made since the checkpoint; 0 or -errno.
int nmCheckpointDestroy(const std::string& path);
// Restores the state of the checkpoint now; 0 or -errno.
int nmCheckpointRollback(const std::string& path);

// A client's checkpoint: the number handed out for it (1 and up), kept until it is confirmed,
// rolled back or expires. 0 when the interface has one already (the caller answers -EBUSY).
uint32_t nmCheckpointAdopt(const std::string& path, const char* ifname);
bool nmCheckpointPendingFor(const char* ifname);
// Drops a client's checkpoint from the pending ones (its request failed; the caller restores).
void nmCheckpointForget(uint32_t number);
// Keeps the changes of a pending client checkpoint and ends it: 0, -ENOENT when number is not
// pending (confirmed already, rolled back or expired).
int nmCheckpointConfirm(uint32_t number);
// Rolls a client's checkpoint back now and says so with a rollback event; false when number
// is not pending.
bool nmCheckpointRollbackNumber(ServiceContext* service, uint32_t number);
// Sends the rollback event of a checkpoint that was rolled back.
void nmCheckpointAnnounce(ServiceContext* service, uint32_t number, const char* ifname);
// Follows the client's checkpoints, so that one NetworkManager rolled back by itself (time-out)
// is reported with a rollback event.
void nmCheckpointsOnClient(NMClient* client);
