#pragma once
// The service's own handlers on the bus thread: connection events and the interface classes.
#include "bus/bus.h"

// Bus event handler; context is the ServiceContext. On a disconnection every interface watch
// is dropped on the NetworkManager worker (posted; the bus thread goes on at once).
void eventHandler(TrelClient* client, int event, void* context);
// Request id 7: {"internal":[...],"external":[...],"integration":[...]}; the reply size.
int getInterfaceClasses(TrelRequest* request);
