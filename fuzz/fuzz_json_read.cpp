// The JSON reader over arbitrary bytes: validation, a walk over every value with conversions and
// copies, a path query, escaping. Input: "path NUL text", or text alone (path "a.0.b"); the last
// byte is the destination size. Exact-size copies let the sanitizer catch any stray access.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "json/json.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void check_inside(JsonValue v, const char* begin, const char* end) {
    check(!json_exists(v) || (v.raw >= begin && v.raw < end && v.end == end &&
                              json_raw_length(v) <= static_cast<size_t>(end - v.raw)));
}

// Runs write(destination, size) on an exact-size block, checks that what it stored is the head
// of the uncut text and a NUL, and returns the uncut text.
template <typename Write>
std::string guarded(size_t size, Write write) {
    std::vector<char> cut(size);
    const size_t n = write(cut.data(), size);
    std::string full(n + 1, '\0');
    check(write(full.data(), full.size()) == n);
    const size_t kept = n < size ? n : size - 1;
    check(size == 0 || (std::memcmp(cut.data(), full.data(), kept) == 0 && cut[kept] == '\0'));
    full.resize(n);
    return full;
}

// Visits at most budget values, so that quadratic walks of big inputs stay quick.
void walk(JsonValue v, const char* begin, const char* end, size_t size, int depth, int& budget) {
    if (depth > 64 || --budget < 0) return;
    check_inside(v, begin, end);
    (void)json_double(v), (void)json_int(v), (void)json_uint64(v), (void)json_bool(v);
    const std::string s =
        guarded(size, [v](char* d, size_t n) { return json_string_copy(v, d, n); });
    check(s.size() == json_string_length(v));
    if (s.find('\0') == std::string::npos) {
        check(json_string_comparen(v, s.data(), s.size()) == 0);
        check(s.empty() || json_string_comparen(v, s.data(), s.size() - 1) > 0);
    }
    for (JsonValue m = json_first(v); json_exists(m) && budget > 0; m = json_next(m)) {
        walk(m, begin, end, size, depth + 1, budget);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const std::vector<char> path =
        nul ? std::vector<char>(data, nul + 1) : std::vector<char>{'a', '.', '0', '.', 'b', 0};
    const std::vector<char> text(nul ? nul + 1 : data, data + size);
    const char* begin = text.data();
    const char* end = begin + text.size();

    // Everything before the failure position was acceptable: cut there, the text is complete
    // or fails at its end.
    const JsonValidity validity = json_validn(begin, static_cast<int64_t>(text.size()));
    check(validity.valid ? validity.pos == 0 : validity.pos <= text.size());
    const JsonValidity prefix = json_validn(begin, static_cast<int64_t>(validity.pos));
    check(validity.valid || validity.pos == 0 || prefix.valid || prefix.pos == validity.pos);

    int budget = 500;
    walk(json_parsen(begin, text.size()), begin, end, data[size - 1], 0, budget);
    const JsonValue found = json_getn(begin, text.size(), path.data());
    check_inside(found, begin, end);
    const size_t count = json_array_count(found);
    check(count == 0 || json_exists(json_array_get(found, count - 1)));
    check(!json_exists(json_array_get(found, count)));

    // Whatever the bytes, escaping gives one valid JSON string.
    const std::string escaped = guarded(
        data[size - 1], [&](char* d, size_t s) { return json_escapen(begin, text.size(), d, s); });
    check(json_validn(escaped.data(), static_cast<int64_t>(escaped.size())).valid);
    return 0;
}
