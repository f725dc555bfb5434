#pragma once
// A bus client whose socket is one end of a socket pair, so that tests can call the ping
// handler directly and read the result messages it sends from the other end.
#include <cstdint>
#include <string>

#include "app/service_context.h"
#include "platform/unique_fd.h"

struct BusMessage {
    uint8_t apiId;
    std::string payload;  // without the JSON writer's terminating NUL
};

class PingBus {
  public:
    PingBus();
    ~PingBus();
    PingBus(const PingBus&) = delete;
    PingBus& operator=(const PingBus&) = delete;

    bool ok() const { return context_.client != nullptr && peer_.valid(); }
    // Calls networktools_trelHandlePing with text as the payload; the reply's handle is stored
    // in handle when the result is 4.
    int request(const std::string& text, int32_t* handle);
    // The next message frame, waiting up to timeoutMs for it; false when none came.
    bool readMessage(int timeoutMs, BusMessage* message);

  private:
    ServiceContext context_{};
    UniqueFd peer_;
};
