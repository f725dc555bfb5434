#pragma once
// The server side of a socketpair, for driving the dispatch loop frame by frame.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bus/trel_header.h"

struct WireFrame {
    TrelFrameHeader header;
    std::vector<unsigned char> payload;
};

class WirePeer {
  public:
    explicit WirePeer(int fd) : fd_(fd) {}

    bool send(const void* bytes, size_t n) const {
        const auto* p = static_cast<const unsigned char*>(bytes);
        while (n > 0) {
            ssize_t put = ::write(fd_, p, n);
            if (put <= 0) return false;
            p += put;
            n -= static_cast<size_t>(put);
        }
        return true;
    }

    // A request frame; length overrides the announced payload length when given.
    bool sendRequest(uint8_t apiId, uint16_t sequence, const std::string& payload = "",
                     bool replyWanted = true, unsigned iface = 0, uint8_t magic = TREL_MAGIC,
                     std::optional<uint32_t> length = std::nullopt) const {
        std::vector<unsigned char> frame(TREL_HEADER_SIZE);
        trelHeaderEncode(frame.data(),
                         {magic, 0, trelControlWord(iface, apiId, replyWanted),
                          length.value_or(static_cast<uint32_t>(payload.size())), sequence},
                         0);
        frame.insert(frame.end(), payload.begin(), payload.end());
        return send(frame.data(), frame.size());
    }

    // Reads exactly n bytes within the deadline.
    bool readExactly(unsigned char* out, size_t n, std::chrono::milliseconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (n > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            ssize_t got = ::read(fd_, out, n);
            if (got <= 0) return false;
            out += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    std::optional<WireFrame> readFrame(std::chrono::milliseconds limit = kLimit) const {
        unsigned char raw[TREL_HEADER_SIZE];
        if (!readExactly(raw, sizeof raw, limit)) return std::nullopt;
        WireFrame frame{trelHeaderDecode(raw, 0), {}};
        frame.payload.resize(frame.header.length);
        if (!readExactly(frame.payload.data(), frame.payload.size(), limit)) return std::nullopt;
        return frame;
    }

    // The identity text up to and without its NUL.
    std::optional<std::string> readIdentity() const {
        std::string text;
        unsigned char c;
        while (readExactly(&c, 1, kLimit)) {
            if (c == 0) return text;
            text.push_back(static_cast<char>(c));
        }
        return std::nullopt;
    }

    static int pendingBytes(int fd) {
        int n = 0;
        return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
    }

    static constexpr std::chrono::milliseconds kLimit{10000};

  private:
    int fd_;
};
