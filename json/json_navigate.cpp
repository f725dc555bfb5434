#include "json/json_navigate.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "json/json_bytes.h"
#include "json/json_value.h"

namespace {

using uchar = unsigned char;

// What the locator makes of a byte; everything else is skipped.
enum LocateClass : uint8_t { kSkip, kOpen, kClose, kLiteral4, kLiteral5, kNumber, kString };

constexpr std::array<uint8_t, 256> make_locate_classes() {
    std::array<uint8_t, 256> t{};
    t['['] = t['{'] = kOpen;
    t[']'] = t['}'] = kClose;
    t['t'] = t['n'] = kLiteral4;
    t['f'] = kLiteral5;
    t['-'] = kNumber;
    for (int b = '0'; b <= '9'; ++b) t[b] = kNumber;
    t['"'] = kString;
    return t;
}
constexpr std::array<uint8_t, 256> kLocate = make_locate_classes();

// Bytes that continue a number's run, with the info flag each contributes.
constexpr std::array<int8_t, 256> make_number_bytes() {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int b = '0'; b <= '9'; ++b) t[b] = 0;
    t['+'] = t['-'] = 0;
    t['.'] = JSON_INFO_POINT;
    t['e'] = t['E'] = JSON_INFO_EXPONENT;
    return t;
}
constexpr std::array<int8_t, 256> kNumberByte = make_number_bytes();

enum MeasureClass : uint8_t { kPlain, kDeeper, kShallower, kQuoted };

constexpr std::array<uint8_t, 256> make_measure_classes() {
    std::array<uint8_t, 256> t{};
    t['['] = t['{'] = kDeeper;
    t[']'] = t['}'] = kShallower;
    t['"'] = kQuoted;
    return t;
}
constexpr std::array<uint8_t, 256> kMeasure = make_measure_classes();

constexpr std::array<uint8_t, 256> make_types() {
    std::array<uint8_t, 256> t{};
    t['f'] = JSON_TYPE_FALSE;
    t['-'] = JSON_TYPE_NUMBER;
    for (int b = '0'; b <= '9'; ++b) t[b] = JSON_TYPE_NUMBER;
    t['"'] = JSON_TYPE_STRING;
    t['t'] = JSON_TYPE_TRUE;
    t['['] = JSON_TYPE_ARRAY;
    t['{'] = JSON_TYPE_OBJECT;
    return t;
}
constexpr std::array<uint8_t, 256> kType = make_types();

// First quote or backslash at or after p, or end.
const char* find_quote_or_backslash(const char* p, const char* end) {
    while (p < end && *p != '"' && *p != '\\') ++p;
    return p;
}

// First bracket, brace or quote at or after p, or end.
const char* find_structure(const char* p, const char* end) {
    while (p < end && kMeasure[static_cast<uchar>(*p)] == kPlain) ++p;
    return p;
}

// One past the closing quote of the string opening at open (a backslash hides the byte after
// it, so the first quote not preceded by an odd run of backslashes closes), or end when it never
// closes. escaped tells whether a backslash was seen.
const char* string_end(const char* open, const char* end, bool& escaped) {
    const char* p = open + 1;
    for (;;) {
        p = find_quote_or_backslash(p, end);
        if (p >= end) return end;
        if (*p == '"') return p + 1;
        escaped = true;
        if (end - p <= 2) return end;
        p += 2;
    }
}

// Bytes from the opening bracket through the bracket that closes it; brackets of either kind
// count alike, and strings are stepped over.
size_t measure_container(const char* open, const char* end) {
    if (end - open < 2) return 1;
    size_t depth = 1;
    bool escaped = false;
    const char* p = open + 1;
    for (;;) {
        p = find_structure(p, end);
        if (p >= end) return static_cast<size_t>(end - open);
        switch (kMeasure[static_cast<uchar>(*p)]) {
            case kDeeper:
                ++depth;
                ++p;
                break;
            case kShallower:
                ++p;
                if (--depth == 0) return static_cast<size_t>(p - open);
                break;
            default:
                p = string_end(p, end, escaped);
                break;
        }
    }
}

bool is_container_byte(char c) {
    return c == '[' || c == '{';
}

bool before_end(const JsonValue& v) {
    return v.raw != nullptr && v.end != nullptr && v.raw < v.end;
}

size_t length_of(const JsonValue& v) {
    if (v.len == 0 && before_end(v) && is_container_byte(*v.raw)) {
        return measure_container(v.raw, v.end);
    }
    return v.len;
}

[[gnu::always_inline]] inline JsonValue locate_number(const char* p, const char* end) {
    int32_t info = *p == '-' ? JSON_INFO_NEGATIVE : 0;
    const char* q = p;
    while (q < end) {
        const int8_t flag = kNumberByte[static_cast<uchar>(*q)];
        if (flag < 0) break;
        info |= flag;
        ++q;
    }
    return {info, p, end, static_cast<size_t>(q - p)};
}

[[gnu::always_inline]] inline JsonValue locate_string(const char* p, const char* end) {
    bool escaped = false;
    const char* close = string_end(p, end, escaped);
    return {escaped ? JSON_INFO_ESCAPED : 0, p, end, static_cast<size_t>(close - p)};
}

// The first value at or after p; absent at a closing bracket or at end. Inlined so that the
// record stays in registers: built field by field in memory and then copied whole, it stalls on
// store forwarding.
[[gnu::always_inline]] inline JsonValue locate(const char* p, const char* end) {
    while (p < end && kLocate[static_cast<uchar>(*p)] == kSkip) ++p;
    if (p >= end) return {};
    const size_t left = static_cast<size_t>(end - p);
    switch (kLocate[static_cast<uchar>(*p)]) {
        case kOpen:
            return {0, p, end, 0};
        case kLiteral4:
            return {0, p, end, left < 4 ? left : 4};
        case kLiteral5:
            return {0, p, end, left < 5 ? left : 5};
        case kNumber:
            return locate_number(p, end);
        case kString:
            return locate_string(p, end);
        default:
            return {};
    }
}

[[gnu::always_inline]] inline JsonValue after(const JsonValue& v) {
    return locate(v.raw + length_of(v), v.end);
}

// The internal walkers take values by reference: a 32-byte record passed by value goes through
// memory on every call, which dominated path queries.
bool exists(const JsonValue& v) {
    return v.raw != nullptr && v.end != nullptr;
}

JsonType type_of(const JsonValue& v) {
    if (!before_end(v)) return JSON_TYPE_NULL;
    return static_cast<JsonType>(kType[static_cast<uchar>(*v.raw)]);
}

JsonValue first_of(const JsonValue& v) {
    if (!before_end(v) || !is_container_byte(*v.raw)) return {};
    return locate(v.raw + 1, v.end);
}

// Member names are nearly always plain strings, compared here directly; the rest goes through
// the general comparison, which undoes escapes.
bool name_matches(const JsonValue& key, const char* name, size_t n) {
    if (type_of(key) == JSON_TYPE_STRING && (key.info & JSON_INFO_ESCAPED) == 0 &&
        name != nullptr) {
        const size_t bodyLength = key.len < 2 ? 0 : key.len - 2;
        return bodyLength == n && json_bytes::strncmp_inline(key.raw + 1, name, n) == 0;
    }
    return json_string_comparen(key, name, n) == 0;
}

// Stops at the closing bracket, so index past the last member gives absent.
JsonValue nth_member(const JsonValue& array, size_t index) {
    JsonValue member = first_of(array);
    for (size_t i = 0; i < index && exists(member); ++i) member = after(member);
    return member;
}

JsonValue object_member(const JsonValue& object, const char* name, size_t nameLength) {
    if (type_of(object) != JSON_TYPE_OBJECT) return {};
    JsonValue key = first_of(object);
    while (exists(key)) {
        JsonValue member = after(key);
        if (name_matches(key, name, nameLength)) return member;
        if (!exists(member)) return {};
        key = after(member);
    }
    return {};
}

// Array member selected by one path component, which must be a whole base-10 number.
JsonValue member_by_index(const JsonValue& array, const char* component, size_t length) {
    if (length == 0) return {};
    char* stop = nullptr;
    const long index = std::strtol(component, &stop, 10);
    if (stop != component + length || index < 0) return {};
    return nth_member(array, static_cast<size_t>(index));
}

}  // namespace

JsonValue json_parse(const char* text) {
    if (text == nullptr) return {};
    return json_parsen(text, std::strlen(text));
}

JsonValue json_parsen(const char* text, size_t length) {
    if (text == nullptr || length == 0) return {};
    if (is_container_byte(text[0])) return {0, text, text + length, length};
    return locate(text, text + length);
}

JsonValue json_first(JsonValue value) {
    return first_of(value);
}

JsonValue json_next(JsonValue value) {
    if (!before_end(value)) return {};
    return after(value);
}

bool json_exists(JsonValue value) {
    return exists(value);
}

const char* json_raw(JsonValue value) {
    return value.raw;
}

size_t json_raw_length(JsonValue value) {
    return length_of(value);
}

JsonType json_type(JsonValue value) {
    return type_of(value);
}

JsonValue json_ensure(JsonValue value) {
    value.len = length_of(value);
    return value;
}

int json_raw_comparen(JsonValue value, const char* other, size_t n) {
    if (other == nullptr) n = 0;
    const size_t len = length_of(value);
    if (!exists(value) && len == 0) return n == 0 ? 0 : -1;
    const size_t span = len < n ? len : n;
    if (span > 0) {
        const int c = json_bytes::strncmp_inline(value.raw, other, span);
        if (c != 0) return c;
    }
    if (len > n) return 1;
    return len == n ? 0 : -1;
}

int json_raw_compare(JsonValue value, const char* other) {
    return json_raw_comparen(value, other, std::strlen(other));
}

size_t json_array_count(JsonValue value) {
    if (type_of(value) != JSON_TYPE_ARRAY) return 0;
    size_t count = 0;
    for (JsonValue m = first_of(value); exists(m); m = after(m)) ++count;
    return count;
}

JsonValue json_array_get(JsonValue value, size_t index) {
    if (type_of(value) != JSON_TYPE_ARRAY) return {};
    return nth_member(value, index);
}

JsonValue json_object_getn(JsonValue value, const char* name, size_t nameLength) {
    return object_member(value, name, nameLength);
}

JsonValue json_object_get(JsonValue value, const char* name) {
    return object_member(value, name, name == nullptr ? 0 : std::strlen(name));
}

JsonValue json_getn(const char* text, size_t length, const char* path) {
    if (path == nullptr || length == 0) return {};
    JsonValue current = json_parsen(text, length);
    const char* component = path;
    for (;;) {
        const char* dot = std::strchr(component, '.');
        const size_t componentLength =
            dot ? static_cast<size_t>(dot - component) : std::strlen(component);
        switch (type_of(current)) {
            case JSON_TYPE_OBJECT:
                current = object_member(current, component, componentLength);
                break;
            case JSON_TYPE_ARRAY:
                current = member_by_index(current, component, componentLength);
                break;
            default:
                return {};
        }
        if (dot == nullptr) return current;
        component = dot + 1;
    }
}

JsonValue json_get(const char* text, const char* path) {
    return json_getn(text, text == nullptr ? 0 : std::strlen(text), path);
}
