#pragma once
// Messages the service sends on its own (events, ping results): one JSON object built into an
// encoder of its own and sent whole, or not at all.
#include <cstdint>
#include <type_traits>

#include "bus/trel.h"

using TrelJsonMembers = void (*)(Encoder* enc, void* context);

// Opens a JSON object, lets writeMembers fill it, closes it and sends it as message apiId on
// iface (any thread). A text that could not be built whole is dropped with a log line and
// never sent. 0 when sent, -ENOMEM or -EMSGSIZE when dropped.
int trelSendJsonObject(TrelInterface* iface, uint8_t apiId, TrelJsonMembers writeMembers,
                       void* context);

// The same on a route (a control client, or the bus connection as it was).
int trelSendJsonObjectTo(TrelInterface* iface, TrelRoute route, uint8_t apiId,
                         TrelJsonMembers writeMembers, void* context);

// The same with any callable taking an Encoder*.
template <typename Members>
int trelSendJsonObjectTo(TrelInterface* iface, TrelRoute route, uint8_t apiId,
                         Members&& writeMembers) {
    using Callable = std::remove_reference_t<Members>;
    return trelSendJsonObjectTo(
        iface, route, apiId,
        [](Encoder* enc, void* context) { (*static_cast<Callable*>(context))(enc); },
        const_cast<std::remove_const_t<Callable>*>(&writeMembers));
}

template <typename Members>
int trelSendJsonObject(TrelInterface* iface, uint8_t apiId, Members&& writeMembers) {
    return trelSendJsonObjectTo(iface, trelBusRoute(iface->client), apiId, writeMembers);
}
