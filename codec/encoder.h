#pragma once
// The message buffer: Encoder (growing or wrapped writer with a sticky failed flag) and
// Decoder (read cursor over a caller's region).
#include <cstdint>

struct Encoder {
    int32_t byteOrder;  // non-zero: multi-byte integers are byte-swapped
    int32_t size;       // bytes written; the write position
    int32_t capacity;
    int32_t growth;  // added at each growth besides the bytes requested; 0 when wrapped
    unsigned char* data;
    int32_t wrapped;     // 1: data belongs to the caller, never grown or freed
    int32_t failed;      // sticky until encoderReset
    int32_t appendOpen;  // the last byte is the NUL of an open encodeAppend text
    int32_t jsonFirst;   // JSON writer: the next element takes no comma
    int32_t lenSlot;     // offset of the open length slot, -1 when none
};

struct Decoder {
    int32_t byteOrder;
    int32_t cursor;
    int32_t size;
    const unsigned char* data;
};

// Set-up and inspection.
int encoderCreate(Encoder* enc, int initialSize);  // capacity and growth at least 64
void encoderWrap(Encoder* enc, void* region, int regionSize);
void encoderFree(Encoder* enc);
void encoderReset(Encoder* enc);
int encoderSize(const Encoder* enc);
int encoderRemaining(const Encoder* enc);
unsigned char* encoderPtr(Encoder* enc);
int encoderFailed(const Encoder* enc);  // -1 when failed, else 0
// Makes room for n more bytes without writing or moving size.
int encoderResize(Encoder* enc, int n);

void decoderWrap(Decoder* dec, const void* region, int regionSize);
int decoderSize(const Decoder* dec);
int decoderRemaining(const Decoder* dec);
const unsigned char* decodePtr(const Decoder* dec);
void decodeSkip(Decoder* dec, unsigned n);

// Writes: 0 or -1 (behind the sticky failed flag).
int encodeChar(Encoder* enc, char value);
int encodeBool(Encoder* enc, int value);
int encodeInt8(Encoder* enc, int8_t value);
int encodeUint8(Encoder* enc, uint8_t value);
int encodeInt16(Encoder* enc, int16_t value);
int encodeUint16(Encoder* enc, uint16_t value);
int encodeInt32(Encoder* enc, int32_t value);
int encodeUint32(Encoder* enc, uint32_t value);
int encodeInt64(Encoder* enc, int64_t value);
int encodeUint64(Encoder* enc, uint64_t value);
int encodeFloat(Encoder* enc, float value);
int encodeDouble(Encoder* enc, double value);
int encodeStrcpy(Encoder* enc, const char* text);  // text and NUL
int encodeMemcpy(Encoder* enc, const void* bytes, unsigned n);
int encodePrintf(Encoder* enc, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Continues the open appended text in place of its NUL.
int encodeAppend(Encoder* enc, const char* format, ...) __attribute__((format(printf, 2, 3)));
void encodeAppendDone(Encoder* enc);
int encodeSkip(Encoder* enc, unsigned n);
int encodeLenBufStart(Encoder* enc);  // opens a 4-byte length slot
int encodeLenBufEnd(Encoder* enc);    // fills it with the bytes written since

// Reads: the value; the cursor advances by its width (not checked against size).
char decodeChar(Decoder* dec);
int decodeBool(Decoder* dec);
int8_t decodeInt8(Decoder* dec);
uint8_t decodeUint8(Decoder* dec);
int16_t decodeInt16(Decoder* dec);
uint16_t decodeUint16(Decoder* dec);
int32_t decodeInt32(Decoder* dec);
uint32_t decodeUint32(Decoder* dec);
int64_t decodeInt64(Decoder* dec);
uint64_t decodeUint64(Decoder* dec);
float decodeFloat(Decoder* dec);
double decodeDouble(Decoder* dec);
// The NUL-terminated text at the cursor, in place; null (cursor unmoved) when unterminated.
const char* decodeCString(Decoder* dec);
