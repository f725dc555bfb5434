#pragma once
// NetworkManager checkpoints of one device: the all-or-nothing guard of every request 3, and
// the checkpoint of a client's pending change ("rollback" in request 3). Only the device's own
// state is in one: profiles made since are left alone on rollback, so that a rollback never
// touches another interface; the change that added one deletes it itself. Runs on the worker.
#include <NetworkManager.h>

#include <cstdint>
#include <string>

#include "nm/nm.h"

// A checkpoint of device that NetworkManager restores by itself after rollbackSeconds unless it
// is destroyed first. overlapping allows a second checkpoint of a device that has one. 0 with
// the checkpoint's object path, or -errno.
NmTask nmCheckpointCreate(NMDevice* device, uint32_t rollbackSeconds, bool overlapping,
                          std::string* path);
// Keeps the changes made since the checkpoint; 0 or -errno.
NmTask nmCheckpointDestroy(std::string path);
// Restores the state of the checkpoint now; 0 or -errno.
NmTask nmCheckpointRollback(std::string path);
// Whether NetworkManager still holds the checkpoint, as the client's cache has it.
bool nmCheckpointHeld(const std::string& path);
// Whether the client's cache knows the checkpoint at all: its object, or its place in the list
// (libnm makes the object first).
bool nmCheckpointKnown(const std::string& path);
// The same asked of NetworkManager now: 1 held, or when it does not answer; 0 not held.
NmTask nmCheckpointHeldNow(std::string path);
// Waits until no checkpoint made late for a request that gave up (NetworkManager frozen, say)
// can strike at ifname (any interface when empty): every such create answered and what it made
// destroyed. Awaited before a request touches an interface: 0, -ETIMEDOUT when NetworkManager
// still has not answered, NM_UNAVAILABLE when it went.
NmTask nmCheckpointSweep(std::string ifname);
// Follows the client's checkpoints: the pending changes hear of checkpoints that ended without
// us.
void nmCheckpointsOnClient(NMClient* client);
