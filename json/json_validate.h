#pragma once
// Strict validator for request text: exactly one JSON value, optional surrounding white space,
// UTF-8 checked inside strings, nesting limited to 1024 levels. Never allocates.
#include <cstddef>
#include <cstdint>

struct JsonValidity {
    bool valid;
    size_t pos;  // 0 when valid, else the byte offset at which validation stopped
};

// options is accepted for compatibility and has no effect.
JsonValidity json_validn_ex(const char* text, int64_t length, int options);
JsonValidity json_validn(const char* text, int64_t length);
// NUL-terminated text; a null pointer counts as empty.
JsonValidity json_valid_ex(const char* text, int options);
JsonValidity json_valid(const char* text);
