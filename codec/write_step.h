#pragma once
// The encoder's common write step, shared by the message buffer and the JSON writer. Inline so
// that the JSON writer's many small writes pay no call for the room check; only growth and
// failure leave the fast path.
#include <cstdint>
#include <cstring>

#include "codec/encoder.h"

// Grows a created encoder so that n more bytes fit, or sets the sticky failed flag: 0 or -1.
int encoderGrow(Encoder* enc, int64_t n);

// Makes room for n more bytes without moving size: afterwards size + n < capacity.
inline int encoderMakeRoom(Encoder* enc, int64_t n) {
    if (enc->failed) return -1;
    enc->appendOpen = 0;
    if (enc->size + n < enc->capacity) return 0;
    return encoderGrow(enc, n);
}

// The whole write step: room for n bytes, then the bytes at the write position.
inline int encoderWrite(Encoder* enc, const void* bytes, int64_t n) {
    if (encoderMakeRoom(enc, n) != 0) return -1;
    if (n > 0) std::memcpy(enc->data + enc->size, bytes, static_cast<size_t>(n));
    enc->size += static_cast<int32_t>(n);
    return 0;
}

inline int encoderWriteByte(Encoder* enc, unsigned char byte) {
    if (encoderMakeRoom(enc, 1) != 0) return -1;
    enc->data[enc->size++] = byte;
    return 0;
}
