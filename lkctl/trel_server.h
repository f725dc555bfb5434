#pragma once
// The server side of the trel bus, as far as a stand-in needs it: listen, accept one client,
// read its identity text, send frames to it and read its frames, each read with a time-out.
// Results: 0 or -1, except the reads: 1 done, 0 time-out, -1 closed, error or refused input.
#include <cstdint>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "platform/platform.h"

// The frame layout is the bus client's own (bus/bus.h); the stand-in speaks it little-endian.
constexpr uint8_t TREL_WIRE_MAGIC = TREL_MAGIC;
constexpr int TREL_WIRE_HEADER_SIZE = TREL_HEADER_SIZE;
constexpr uint32_t TREL_WIRE_MAX_LENGTH = TREL_MAX_PAYLOAD;
constexpr uint16_t TREL_WIRE_REPLY_WANTED = TREL_CTRL_REPLY_WANTED;
constexpr uint16_t TREL_WIRE_MESSAGE = TREL_CTRL_MESSAGE;
constexpr uint16_t TREL_WIRE_SEQUENCE_MASK = TREL_SEQUENCE_MASK;
constexpr size_t TREL_WIRE_MAX_IDENTITY = 65536;

struct TrelWireHeader {
    uint8_t magic;
    uint8_t status;
    uint16_t control;   // messages: api id, interface index, flags; replies: answered sequence
    uint32_t length;    // 18 bits
    uint16_t sequence;  // 14 bits
};

struct TrelWireFrame {
    TrelWireHeader header;
    std::vector<unsigned char> payload;  // reused between reads: no allocation once grown
};

// Header layout (little-endian words); bits of length and sequence beyond their width are cut.
void trelWireEncodeHeader(const TrelWireHeader& header, unsigned char out[TREL_WIRE_HEADER_SIZE]);
TrelWireHeader trelWireDecodeHeader(const unsigned char in[TREL_WIRE_HEADER_SIZE]);
// Control word of a request or message: api id, interface index (6 bits), message bit set.
uint16_t trelWireControl(uint8_t apiId, uint8_t ifIndex, bool replyWanted);
inline uint8_t trelWireApiId(uint16_t control) {
    return control & 0xff;
}
inline uint8_t trelWireIfIndex(uint16_t control) {
    return (control >> 8) & 0x3f;
}

// Listening TCP socket on the first address of host (null: "localhost"); port 0 picks one.
UniqueFd trelServerListen(const char* host, int port);
// The local port of a bound socket, or -1.
int trelServerPort(int fd);
// One connection from the listening socket; invalid on time-out or error. timeoutMs < 0: wait.
UniqueFd trelServerAccept(int listenFd, int timeoutMs);
// The identity text up to its NUL; the NUL is consumed, nothing after it.
int trelServerReadIdentity(int fd, std::string* identity, int timeoutMs);
// Header and payload in one write.
int trelServerSendFrame(int fd, const TrelWireHeader& header, const void* payload);
// Exactly n bytes, waiting at most timeoutMs for all of them. timeoutMs < 0: blocking reads,
// ended only by the socket's own receive time-out (SO_RCVTIMEO), if it has one.
int trelServerReadExact(int fd, void* buffer, size_t n, int timeoutMs);
// One whole frame; a payload longer than maxLength (at most 18 bits anyway) is refused (-1).
int trelServerReadFrame(int fd, TrelWireFrame* frame, int timeoutMs,
                        uint32_t maxLength = TREL_WIRE_MAX_LENGTH);
