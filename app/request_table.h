#pragma once
// The table of request ids and their handlers on the client's default interface.
#include <cstdint>
#include <span>

#include "nm/nm.h"

struct RequestRow {
    uint8_t id;
    TrelRequestHandler handler;  // as registered: the entry function for worker-thread rows
    bool open = false;           // members of the control socket's group may send it: it reads
};

// The rows in ascending id order.
std::span<const RequestRow> requestTable();
// Sets the client's default interface's version to 1 and registers every row with the
// context; returns the last registration's result.
int registerHandlers(TrelClient* client, ServiceContext* context);
