#pragma once
// The message codec, as the layers above see it: the Encoder/Decoder message buffer, the JSON
// writer on top of it, and the JSON text of a request payload.
#include "codec/encoder.h"
#include "codec/json_writer.h"
#include "codec/request_text.h"
