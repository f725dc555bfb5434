#pragma once
// Streaming compact JSON writer on top of an Encoder; one flag (jsonFirst) decides commas.
// String values go through the JSON reader's escaper, so they are valid JSON in valid UTF-8
// whatever their bytes (< > & and / are not escaped).
#include "codec/encoder.h"

int encodeJsonStart(Encoder* enc);
int encodeJsonEnd(Encoder* enc);  // terminating NUL, counted in size; -1 when failed
int encodeJsonObjectStart(Encoder* enc);
int encodeJsonObjectEnd(Encoder* enc);
int encodeJsonListStart(Encoder* enc);
int encodeJsonListEnd(Encoder* enc);
int encodeJsonName(Encoder* enc, const char* name);
int encodeJsonStrValue(Encoder* enc, const char* text);  // null pointer writes null
int encodeJsonFormatStrValue(Encoder* enc, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int encodeJsonIntValue(Encoder* enc, int value);
int encodeJsonBoolValue(Encoder* enc, int value);
int encodeJsonNameStrValue(Encoder* enc, const char* name, const char* text);
int encodeJsonNameFormatStrValue(Encoder* enc, const char* name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int encodeJsonNameIntValue(Encoder* enc, const char* name, int value);
int encodeJsonNameBoolValue(Encoder* enc, const char* name, int value);
