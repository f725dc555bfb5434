#pragma once
// The trel bus client, as the layers above see it: the client and its requests, the frame
// header (also used by the stand-in server), and whole JSON messages.
#include "bus/lk_protocol.h"
#include "bus/trel.h"
#include "bus/trel_control.h"
#include "bus/trel_deferred.h"
#include "bus/trel_frame_io.h"
#include "bus/trel_header.h"
#include "bus/trel_message.h"
#include "bus/trel_peer.h"
