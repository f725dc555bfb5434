#pragma once
// Conversions of located values: numbers, booleans, unescaped strings copied or compared in
// place, and escaping of byte strings into quoted JSON strings. Wrong types give 0 or false.
#include <cstddef>
#include <cstdint>

#include "json/json_navigate.h"

// Bytes of the unescaped text; for a value that is not a string, its raw length.
size_t json_string_length(JsonValue value);
// Stores at most destinationSize - 1 bytes and a NUL; returns the full length (cut when the
// result is destinationSize or more). Values that are not strings are copied as raw text.
size_t json_string_copy(JsonValue value, char* destination, size_t destinationSize);
// Copies a string value whole, or refuses (false): a value that is no string, a text of
// destinationSize bytes or more, a text with a NUL inside (it would read as a shorter one).
bool json_string_copy_whole(JsonValue value, char* destination, size_t destinationSize);
// Sign of the unescaped text against the first n bytes of other.
int json_string_comparen(JsonValue value, const char* other, size_t n);
int json_string_compare(JsonValue value, const char* other);
bool json_string_is_escaped(JsonValue value);
// Numbers convert their text, strings their body as written; true is 1; out of range saturates.
double json_double(JsonValue value);
int64_t json_int64(JsonValue value);
int32_t json_int(JsonValue value);
uint64_t json_uint64(JsonValue value);
// true; a number other than 0; a string reading 1, t, T, true, TRUE or True.
bool json_bool(JsonValue value);
// Writes source as a quoted JSON string; returns the full escaped length (quotes included, NUL
// not), cut like json_string_copy when destinationSize is too small.
size_t json_escapen(const char* source, size_t sourceLength, char* destination,
                    size_t destinationSize);
size_t json_escape(const char* source, char* destination, size_t destinationSize);
