#pragma once
// NetworkManager checkpoints of one device: the all-or-nothing guard of every request 3, and
// the checkpoint of a client's pending change ("rollback" in request 3). Only the device's own
// state is in one: profiles made since are left alone on rollback, so that a rollback never
// touches another interface; the change that added one deletes it itself. Runs on the worker.
#include <NetworkManager.h>

#include <cstdint>
#include <string>

// A checkpoint of device that NetworkManager restores by itself after rollbackSeconds unless it
// is destroyed first. overlapping allows a second checkpoint of a device that has one. 0 with
// the checkpoint's object path, or -errno.
int nmCheckpointCreate(NMDevice* device, uint32_t rollbackSeconds, bool overlapping,
                       std::string* path);
// Keeps the changes made since the checkpoint; 0 or -errno.
int nmCheckpointDestroy(const std::string& path);
// Restores the state of the checkpoint now; 0 or -errno.
int nmCheckpointRollback(const std::string& path);
// Whether NetworkManager still holds the checkpoint, as the client's cache has it.
bool nmCheckpointHeld(const std::string& path);
// The same asked of NetworkManager now; true when it does not answer.
bool nmCheckpointHeldNow(const std::string& path);
// Destroys the checkpoints that creates given up on (NetworkManager frozen) made late, asking
// NetworkManager itself rather than the client's cache, which may lag far behind on a loaded
// machine. Called before a request touches an interface.
void nmCheckpointSweep();
// Follows the client's checkpoints: abandoned ones are destroyed as they show, and the pending
// changes hear of checkpoints that ended without us.
void nmCheckpointsOnClient(NMClient* client);
