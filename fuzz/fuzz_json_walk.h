#pragma once
// Shared by the fuzz targets: walks every value reachable from v and exercises the conversions,
// checking that each value found lies inside [begin, end).
#include <cstdlib>

#include "json/json_navigate.h"
#include "json/json_value.h"

inline void fuzz_check(bool ok) {
    if (!ok) std::abort();
}

inline void fuzz_check_inside(JsonValue v, const char* begin, const char* end) {
    if (!json_exists(v)) return;
    fuzz_check(v.raw >= begin && v.raw < end && v.end == end);
    fuzz_check(json_raw_length(v) <= static_cast<size_t>(end - v.raw));
}

inline void fuzz_use_value(JsonValue v) {
    char small[8];
    json_string_copy(v, small, sizeof small);
    (void)json_double(v);
    (void)json_int(v);
    (void)json_uint64(v);
    (void)json_bool(v);
    (void)json_string_comparen(v, "name", 4);
}

// Visits at most budget values so that quadratic walks of big inputs stay quick.
inline void fuzz_walk(JsonValue v, const char* begin, const char* end, int depth, int& budget) {
    if (depth > 64 || --budget < 0) return;
    fuzz_check_inside(v, begin, end);
    fuzz_use_value(v);
    for (JsonValue m = json_first(v); json_exists(m) && budget > 0; m = json_next(m)) {
        fuzz_walk(m, begin, end, depth + 1, budget);
    }
}
