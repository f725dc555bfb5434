#pragma once
// The network tools, as the daemon sees them: the ping request and its result messages.
#include "tools/networktools.h"
