#include "codec/encoder.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codec/write_step.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kMinimumCapacity = 64;
constexpr int32_t kNoSlot = -1;

int markFailed(Encoder* enc) {
    enc->failed = 1;
    return -1;
}

void clearState(Encoder* enc) {
    enc->size = 0;
    enc->failed = 0;
    enc->appendOpen = 0;
    enc->jsonFirst = 0;
    enc->lenSlot = kNoSlot;
}

template <typename T>
T ordered(int32_t byteOrder, T value) {
    if (byteOrder == 0 || sizeof(T) == 1) return value;
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(value));
    if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(value));
    if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(value));
    return value;
}

template <typename T>
int encodeOrdered(Encoder* enc, T value) {
    value = ordered(enc->byteOrder, value);
    return encoderWrite(enc, &value, sizeof value);
}

template <typename T>
T decodeRaw(Decoder* dec) {
    T value;
    std::memcpy(&value, dec->data + dec->cursor, sizeof value);
    dec->cursor += static_cast<int32_t>(sizeof value);
    return value;
}

template <typename T>
T decodeOrdered(Decoder* dec) {
    return ordered(dec->byteOrder, decodeRaw<T>(dec));
}

// Formats in place: one pass to measure, room for the text and its NUL, one pass to write.
int formatInto(Encoder* enc, const char* format, va_list args) {
    if (enc->failed) return -1;
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) return markFailed(enc);
    int64_t n = int64_t{length} + 1;
    if (encoderMakeRoom(enc, n) != 0) return -1;
    std::vsnprintf(reinterpret_cast<char*>(enc->data + enc->size), static_cast<size_t>(n), format,
                   args);
    enc->size += static_cast<int32_t>(n);
    return 0;
}

}  // namespace

int encoderGrow(Encoder* enc, int64_t n) {
    // Counts are signed 32-bit: a negative request or a capacity past that range cannot be
    // honoured, and is refused rather than wrapped around.
    if (n < 0 || enc->wrapped) return markFailed(enc);
    int64_t grown = int64_t{enc->capacity} + enc->growth + n;
    if (grown > std::numeric_limits<int32_t>::max()) return markFailed(enc);
    // A failed realloc leaves the old block valid and owned by the encoder, so encoderFree
    // still releases it; capacity keeps describing that block.
    void* block = std::realloc(enc->data, static_cast<size_t>(grown));
    if (block == nullptr) return markFailed(enc);
    enc->data = static_cast<unsigned char*>(block);
    enc->capacity = static_cast<int32_t>(grown);
    return 0;
}

int encoderCreate(Encoder* enc, int initialSize) {
    int32_t capacity = initialSize < kMinimumCapacity ? kMinimumCapacity : initialSize;
    clearState(enc);
    enc->byteOrder = yebEndian();
    enc->wrapped = 0;
    enc->growth = capacity;
    enc->data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(capacity)));
    if (enc->data == nullptr) {
        enc->capacity = 0;
        return markFailed(enc);
    }
    enc->capacity = capacity;
    return 0;
}

void encoderWrap(Encoder* enc, void* region, int regionSize) {
    clearState(enc);
    enc->byteOrder = yebEndian();
    enc->data = static_cast<unsigned char*>(region);
    enc->capacity = regionSize;
    enc->growth = 0;
    enc->wrapped = 1;
}

void encoderFree(Encoder* enc) {
    if (!enc->wrapped) std::free(enc->data);
}

void encoderReset(Encoder* enc) {
    clearState(enc);
}

int encoderSize(const Encoder* enc) {
    return enc->size;
}

int encoderRemaining(const Encoder* enc) {
    return enc->capacity - enc->size;
}

unsigned char* encoderPtr(Encoder* enc) {
    return enc->data + enc->size;
}

int encoderFailed(const Encoder* enc) {
    return enc->failed ? -1 : 0;
}

int encoderResize(Encoder* enc, int n) {
    if (n < 0 && !enc->failed) return markFailed(enc);
    return encoderMakeRoom(enc, n);
}

void decoderWrap(Decoder* dec, const void* region, int regionSize) {
    dec->byteOrder = yebEndian();
    dec->cursor = 0;
    dec->size = regionSize;
    dec->data = static_cast<const unsigned char*>(region);
}

int decoderSize(const Decoder* dec) {
    return dec->size;
}

int decoderRemaining(const Decoder* dec) {
    return dec->size - dec->cursor;
}

const unsigned char* decodePtr(const Decoder* dec) {
    return dec->data + dec->cursor;
}

void decodeSkip(Decoder* dec, unsigned n) {
    dec->cursor += static_cast<int32_t>(n);
}

int encodeChar(Encoder* enc, char value) {
    return encoderWriteByte(enc, static_cast<unsigned char>(value));
}

int encodeBool(Encoder* enc, int value) {
    return encoderWriteByte(enc, value != 0 ? 1 : 0);
}

int encodeInt8(Encoder* enc, int8_t value) {
    return encoderWriteByte(enc, static_cast<unsigned char>(value));
}

int encodeUint8(Encoder* enc, uint8_t value) {
    return encoderWriteByte(enc, value);
}

int encodeInt16(Encoder* enc, int16_t value) {
    return encodeOrdered(enc, value);
}

int encodeUint16(Encoder* enc, uint16_t value) {
    return encodeOrdered(enc, value);
}

int encodeInt32(Encoder* enc, int32_t value) {
    return encodeOrdered(enc, value);
}

int encodeUint32(Encoder* enc, uint32_t value) {
    return encodeOrdered(enc, value);
}

int encodeInt64(Encoder* enc, int64_t value) {
    return encodeOrdered(enc, value);
}

int encodeUint64(Encoder* enc, uint64_t value) {
    return encodeOrdered(enc, value);
}

int encodeFloat(Encoder* enc, float value) {
    return encoderWrite(enc, &value, sizeof value);
}

int encodeDouble(Encoder* enc, double value) {
    return encoderWrite(enc, &value, sizeof value);
}

int encodeStrcpy(Encoder* enc, const char* text) {
    return encoderWrite(enc, text, static_cast<int64_t>(std::strlen(text)) + 1);
}

int encodeMemcpy(Encoder* enc, const void* bytes, unsigned n) {
    return encoderWrite(enc, bytes, n);
}

int encodePrintf(Encoder* enc, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = formatInto(enc, format, args);
    va_end(args);
    return result;
}

int encodeAppend(Encoder* enc, const char* format, ...) {
    // The previous appended text's NUL is overwritten by this one's first byte.
    if (enc->appendOpen) enc->size -= 1;
    va_list args;
    va_start(args, format);
    int result = formatInto(enc, format, args);
    va_end(args);
    if (result == 0) enc->appendOpen = 1;
    return result;
}

void encodeAppendDone(Encoder* enc) {
    enc->appendOpen = 0;
}

int encodeSkip(Encoder* enc, unsigned n) {
    if (encoderMakeRoom(enc, n) != 0) return -1;
    enc->size += static_cast<int32_t>(n);
    return 0;
}

int encodeLenBufStart(Encoder* enc) {
    if (enc->failed) return -1;
    enc->lenSlot = enc->size;
    if (encodeUint32(enc, 0) == 0) return 0;
    // A slot that was never written lies outside the content, perhaps outside the region:
    // encodeLenBufEnd must not fill it.
    enc->lenSlot = kNoSlot;
    return -1;
}

int encodeLenBufEnd(Encoder* enc) {
    if (enc->lenSlot == kNoSlot) return markFailed(enc);
    uint32_t length = static_cast<uint32_t>(enc->size - enc->lenSlot - 4);
    length = ordered(enc->byteOrder, length);
    std::memcpy(enc->data + enc->lenSlot, &length, sizeof length);
    return 0;
}

char decodeChar(Decoder* dec) {
    return decodeRaw<char>(dec);
}

int decodeBool(Decoder* dec) {
    return decodeRaw<uint8_t>(dec) != 0 ? 1 : 0;
}

int8_t decodeInt8(Decoder* dec) {
    return decodeRaw<int8_t>(dec);
}

uint8_t decodeUint8(Decoder* dec) {
    return decodeRaw<uint8_t>(dec);
}

int16_t decodeInt16(Decoder* dec) {
    return decodeOrdered<int16_t>(dec);
}

uint16_t decodeUint16(Decoder* dec) {
    return decodeOrdered<uint16_t>(dec);
}

int32_t decodeInt32(Decoder* dec) {
    return decodeOrdered<int32_t>(dec);
}

uint32_t decodeUint32(Decoder* dec) {
    return decodeOrdered<uint32_t>(dec);
}

int64_t decodeInt64(Decoder* dec) {
    return decodeOrdered<int64_t>(dec);
}

uint64_t decodeUint64(Decoder* dec) {
    return decodeOrdered<uint64_t>(dec);
}

float decodeFloat(Decoder* dec) {
    return decodeRaw<float>(dec);
}

double decodeDouble(Decoder* dec) {
    return decodeRaw<double>(dec);
}

const char* decodeCString(Decoder* dec) {
    int32_t remaining = dec->size - dec->cursor;
    if (remaining <= 0) return nullptr;
    const unsigned char* start = dec->data + dec->cursor;
    const void* nul = std::memchr(start, 0, static_cast<size_t>(remaining));
    if (nul == nullptr) return nullptr;
    dec->cursor += static_cast<int32_t>(static_cast<const unsigned char*>(nul) - start) + 1;
    return reinterpret_cast<const char*>(start);
}
