// Differential check against simdjson's DOM parser: both must agree on every text, except where
// our rules differ on purpose:
//  - escaped surrogates are not checked for pairing (simdjson rejects unpaired ones);
//  - number ranges are not checked (simdjson rejects numbers beyond a double);
//  - overlong 3- and 4-byte UTF-8 forms down to 0x80 pass, U+10FFFF fails;
//  - nesting close to the limit, where the two count levels differently.
#include <simdjson.h>

#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_json_walk.h"
#include "json/json_validate.h"

namespace {

bool has_escaped_surrogate(const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 3 < n; ++i) {
        if (p[i] == '\\' && p[i + 1] == 'u' && (p[i + 2] | 0x20) == 'd' &&
            std::strchr("89abcdefABCDEF", p[i + 3]) != nullptr && p[i + 3] != 0) {
            return true;
        }
    }
    return false;
}

// Sequences where our UTF-8 rules and the standard ones part.
bool has_disputed_utf8(const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i) {
        if (p[i] == 0xE0 && p[i + 1] < 0xA0) return true;
        if (p[i] == 0xF0 && p[i + 1] < 0x90) return true;
        if (p[i] == 0xF4 && i + 3 < n && p[i + 1] == 0x8F && p[i + 2] == 0xBF && p[i + 3] == 0xBF) {
            return true;
        }
    }
    return false;
}

size_t bracket_depth(const uint8_t* p, size_t n) {
    size_t depth = 0, deepest = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '[' || p[i] == '{') deepest = ++depth > deepest ? depth : deepest;
        if ((p[i] == ']' || p[i] == '}') && depth > 0) --depth;
    }
    return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool ours =
        json_validn(reinterpret_cast<const char*>(data), static_cast<int64_t>(size)).valid;
    static simdjson::dom::parser parser;
    const simdjson::padded_string padded(reinterpret_cast<const char*>(data), size);
    const simdjson::error_code theirs = parser.parse(padded).error();
    if (ours == (theirs == simdjson::SUCCESS)) return 0;
    if (bracket_depth(data, size) >= 1000) return 0;
    if (has_disputed_utf8(data, size)) return 0;
    if (ours && theirs == simdjson::STRING_ERROR && has_escaped_surrogate(data, size)) return 0;
    if (ours && theirs == simdjson::NUMBER_ERROR) return 0;
    fuzz_check(false);
    return 0;
}
