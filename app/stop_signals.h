#pragma once
// The orderly stop: SIGTERM and SIGINT (how systemd and a console stop a service) end the
// daemon with status 0 once the NetworkManager worker has finished what it runs and the bus
// socket is closed.
#include "bus/bus.h"

// Blocks both signals and SIGHUP in the calling thread (and so in every thread started after
// it): call first thing in main.
void blockStopSignals();
// Starts the thread that waits for a stop signal and then stops the worker (at most
// timeoutMs), closes the client's bus socket and exits with status 0. false when the thread
// could not be started.
bool startStopWatcher(TrelClient* client, int timeoutMs);

// SIGHUP, on the bus thread: reads the properties again (propertiesPath, or the platform's
// file when null) and moves to another bus server when they name one; server is -s's text,
// which stays first. The daemon goes on serving throughout. false when SIGHUP cannot be
// watched (it then stays blocked and does nothing).
bool watchReloadSignal(TrelClient* client, const char* server, const char* propertiesPath);
