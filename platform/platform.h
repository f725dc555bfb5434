#pragma once
// The platform runtime, as the layers above see it: logging and clocks, node facts, bus server
// resolution, the properties store, interface classes, file helpers and resource owners.
#include "platform/c_owners.h"
#include "platform/clock.h"
#include "platform/fileutil.h"
#include "platform/ifclasses.h"
#include "platform/log.h"
#include "platform/node.h"
#include "platform/properties.h"
#include "platform/sockaddr.h"
#include "platform/supervisor.h"
#include "platform/unique_fd.h"
