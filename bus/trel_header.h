#pragma once
// The 8-byte frame header of the bus protocol: pure encoding and decoding, no I/O.
#include <cstdint>

constexpr int TREL_HEADER_SIZE = 8;
constexpr uint8_t TREL_MAGIC = 0x24;
constexpr uint32_t TREL_MAX_PAYLOAD = 0x3FFFF;  // 18 bits of length
constexpr uint16_t TREL_SEQUENCE_MASK = 0x3FFF;
constexpr uint16_t TREL_CTRL_REPLY_WANTED = 1u << 14;
constexpr uint16_t TREL_CTRL_MESSAGE = 1u << 15;
constexpr uint8_t TREL_STATUS_NO_HANDLER = 255;

struct TrelFrameHeader {
    uint8_t magic;
    uint8_t status;
    uint16_t word;      // control word of a message, or the answered sequence of a reply
    uint32_t length;    // 18-bit payload length
    uint16_t sequence;  // 14-bit sender sequence
};

// Writes the header; the 16-bit fields go in the given byte order (0: little-endian).
void trelHeaderEncode(unsigned char* out, const TrelFrameHeader& header, int byteOrder);
TrelFrameHeader trelHeaderDecode(const unsigned char* in, int byteOrder);

// Bit 0 of the magic byte is not looked at.
inline bool trelMagicValid(uint8_t magic) {
    return (magic & 0xFE) == TREL_MAGIC;
}

inline uint16_t trelControlWord(unsigned interfaceIndex, uint8_t apiId, bool replyWanted) {
    return static_cast<uint16_t>(TREL_CTRL_MESSAGE | (replyWanted ? TREL_CTRL_REPLY_WANTED : 0) |
                                 ((interfaceIndex & 0x3F) << 8) | apiId);
}
inline unsigned trelControlInterface(uint16_t word) {
    return (word >> 8) & 0x3F;
}
inline uint8_t trelControlApi(uint16_t word) {
    return word & 0xFF;
}

// Takes the counter's 14-bit number for the next frame and advances the counter.
inline uint16_t trelNextSequence(uint16_t* counter) {
    return static_cast<uint16_t>((*counter)++ & TREL_SEQUENCE_MASK);
}

// Reply status for a handler result: 0 for results of 0 and above, else the low 8 bits of the
// negated result.
inline uint8_t trelReplyStatus(int result) {
    return result >= 0 ? 0 : static_cast<uint8_t>(-static_cast<int64_t>(result) & 0xFF);
}
// Reply payload bytes for a handler result, never more than the reply area holds nor than the
// header can announce.
inline uint32_t trelReplyLength(int result, uint32_t capacity) {
    if (result <= 0) return 0;
    uint32_t n = static_cast<uint32_t>(result);
    if (capacity > TREL_MAX_PAYLOAD) capacity = TREL_MAX_PAYLOAD;
    return n < capacity ? n : capacity;
}
