#pragma once
// lkctl's end of the daemon's control socket: requests in the bus's frames (no identity
// exchange), replies matched by sequence number, and the messages (events, ping results) that
// arrive in between, kept in order for whoever reads them next.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ControlReply {
    int status = 0;
    std::vector<unsigned char> payload;
};

struct ControlMessage {
    uint8_t apiId = 0;
    std::vector<unsigned char> payload;
};

// Set by the signal handler that lkctl installs for SIGINT and SIGTERM: a wait in progress
// ends with -EINTR.
extern volatile int gControlInterrupted;

class ControlClient {
  public:
    // 0, or -errno from socket or connect; -EPERM when the socket is served by neither root nor
    // our own user (checked before anything is sent).
    int connect(const std::string& path);
    // Sends request apiId with payload and waits up to timeoutMs (< 0: for ever) for its reply.
    // 0 with *reply; -ETIMEDOUT, -EPIPE (connection closed or broken), -EINTR (interrupted).
    int call(uint8_t apiId, const std::vector<unsigned char>& payload, int timeoutMs,
             ControlReply* reply);
    // The oldest message not yet taken, waiting up to timeoutMs for one. 0, or as call().
    int nextMessage(int timeoutMs, ControlMessage* message);

  private:
    // One frame within the deadline (ms of the monotonic clock, < 0: none). 0 or as call().
    int readFrame(int64_t deadline);

    UniqueFd fd_;
    uint16_t sequence_ = 0;
    std::deque<ControlMessage> messages_;
    // The frame readFrame() read last.
    uint8_t status_ = 0;
    uint16_t control_ = 0;
    std::vector<unsigned char> payload_;
};
