#pragma once
// Lenient, allocation-free navigation of JSON text: values are views into the caller's text,
// found by scanning, never by building a tree. Validate the text first (json_validate.h).
#include <cstddef>
#include <cstdint>

// Flags in JsonValue::info.
enum : int32_t {
    JSON_INFO_ESCAPED = 1,   // string holding a backslash
    JSON_INFO_POINT = 2,     // number holding a point
    JSON_INFO_EXPONENT = 4,  // number holding e or E
    JSON_INFO_NEGATIVE = 8,  // number beginning with a minus sign
};

struct JsonValue {
    int32_t info;
    const char* raw;  // first byte of the value; null when absent
    const char* end;  // one past the whole input text
    size_t len;       // bytes of the value's text; 0 for a container not yet measured
};

enum JsonType {
    JSON_TYPE_NULL = 0,  // also an absent value
    JSON_TYPE_FALSE = 1,
    JSON_TYPE_NUMBER = 2,
    JSON_TYPE_STRING = 3,
    JSON_TYPE_TRUE = 4,
    JSON_TYPE_ARRAY = 5,
    JSON_TYPE_OBJECT = 6,
};

// Top-level value: a text beginning with [ or { is a container spanning the whole text.
JsonValue json_parse(const char* text);
JsonValue json_parsen(const char* text, size_t length);
// First member of an array, or first member name of an object.
JsonValue json_first(JsonValue value);
// The value following this one: an object yields name, value, name, value, ...
JsonValue json_next(JsonValue value);
bool json_exists(JsonValue value);
const char* json_raw(JsonValue value);
// len, measuring a container first.
size_t json_raw_length(JsonValue value);
JsonType json_type(JsonValue value);
// Copy of value with its length measured.
JsonValue json_ensure(JsonValue value);
// strncmp-like comparison of the raw text with n bytes of other, then by length.
int json_raw_comparen(JsonValue value, const char* other, size_t n);
int json_raw_compare(JsonValue value, const char* other);
size_t json_array_count(JsonValue value);
JsonValue json_array_get(JsonValue value, size_t index);
// First member whose unescaped name equals the nameLength bytes of name.
JsonValue json_object_getn(JsonValue value, const char* name, size_t nameLength);
JsonValue json_object_get(JsonValue value, const char* name);
// Value selected by a dotted path ("ip4.addresses.0"); array members are chosen by index.
JsonValue json_getn(const char* text, size_t length, const char* path);
JsonValue json_get(const char* text, const char* path);
