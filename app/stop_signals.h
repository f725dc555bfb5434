#pragma once
// The orderly stop: SIGTERM and SIGINT (how systemd and a console stop a service) end the
// daemon with status 0 once the NetworkManager worker has finished what it runs and the bus
// socket is closed.
#include "bus/bus.h"

// Blocks both signals in the calling thread (and so in every thread started after it): call
// first thing in main.
void blockStopSignals();
// Starts the thread that waits for a stop signal and then stops the worker (at most
// timeoutMs), closes the client's bus socket and exits with status 0. false when the thread
// could not be started.
bool startStopWatcher(TrelClient* client, int timeoutMs);
