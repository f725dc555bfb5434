#include "bus/trel_header.h"

namespace {

void put16(unsigned char* out, uint16_t value, int byteOrder) {
    if (byteOrder == 0) {
        out[0] = value & 0xFF;
        out[1] = value >> 8;
    } else {
        out[0] = value >> 8;
        out[1] = value & 0xFF;
    }
}

uint16_t get16(const unsigned char* in, int byteOrder) {
    return byteOrder == 0 ? static_cast<uint16_t>(in[0] | (in[1] << 8))
                          : static_cast<uint16_t>((in[0] << 8) | in[1]);
}

}  // namespace

void trelHeaderEncode(unsigned char* out, const TrelFrameHeader& header, int byteOrder) {
    out[0] = header.magic;
    out[1] = header.status;
    put16(out + 2, header.word, byteOrder);
    put16(out + 4, static_cast<uint16_t>(header.length & 0xFFFF), byteOrder);
    uint16_t high = static_cast<uint16_t>((header.length >> 16) & 0x3);
    put16(out + 6, static_cast<uint16_t>((header.sequence & TREL_SEQUENCE_MASK) | (high << 14)),
          byteOrder);
}

TrelFrameHeader trelHeaderDecode(const unsigned char* in, int byteOrder) {
    TrelFrameHeader header{};
    header.magic = in[0];
    header.status = in[1];
    header.word = get16(in + 2, byteOrder);
    uint16_t sequenceWord = get16(in + 6, byteOrder);
    header.length = get16(in + 4, byteOrder) | (static_cast<uint32_t>(sequenceWord >> 14) << 16);
    header.sequence = sequenceWord & TREL_SEQUENCE_MASK;
    return header;
}
