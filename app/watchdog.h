#pragma once
// The service manager's watchdog, fed only while both the bus thread and the NetworkManager
// worker answer: a round trip from one to the other must complete between two feeds.
#include "bus/bus.h"

// Installs the client's timer when the service manager asked for a watchdog; otherwise does
// nothing.
void startWatchdog(TrelClient* client);
