#pragma once
// The JSON text of a request payload, as every JSON request decoder takes it: from the
// decoder's read position (the cursor does not move) to the first NUL. The dispatch loop puts
// a NUL after every payload, so the text never runs past it.
#include <cstdint>
#include <cstring>

#include "codec/encoder.h"
#include "json/json.h"

struct JsonRequestText {
    const char* text;
    size_t length;
};

// The request's text and its length; false when the text is not valid JSON.
inline bool json_request_text(const Decoder* dec, JsonRequestText* out) {
    out->text = reinterpret_cast<const char*>(decodePtr(dec));
    int remaining = decoderRemaining(dec);
    out->length = remaining > 0 ? strnlen(out->text, static_cast<size_t>(remaining)) : 0;
    return json_validn(out->text, static_cast<int64_t>(out->length)).valid;
}
