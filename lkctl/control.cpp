#include "lkctl/control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bus/bus.h"

volatile int gControlInterrupted = 0;

namespace {

// Replies larger than this are not the daemon's (its reply area is 8 KiB).
constexpr uint32_t kMaxPayload = 65536;

int writeAll(int fd, const unsigned char* head, const std::vector<unsigned char>& payload) {
    iovec parts[2] = {{const_cast<unsigned char*>(head), TREL_HEADER_SIZE},
                      {const_cast<unsigned char*>(payload.data()), payload.size()}};
    return trelWriteAll(fd, parts, payload.empty() ? 1 : 2);
}

}  // namespace

int ControlClient::connect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) return -errno;
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        fd_ = UniqueFd();
        return -error;
    }
    // Keys may follow: they go only to a socket that root (or we ourselves) serve, never to
    // a listener another user put in its place.
    ucred server{};
    socklen_t length = sizeof server;
    if (getsockopt(fd_.get(), SOL_SOCKET, SO_PEERCRED, &server, &length) != 0 ||
        (server.uid != 0 && server.uid != getuid())) {
        fd_ = UniqueFd();
        return -EPERM;
    }
    return 0;
}

int ControlClient::readFrame(int64_t deadline) {
    unsigned char head[TREL_HEADER_SIZE];
    if (int status = trelReadExact(fd_.get(), head, sizeof head, deadline, &gControlInterrupted);
        status < 0) {
        return status;
    }
    TrelFrameHeader header = trelHeaderDecode(head, 0);
    if (!trelMagicValid(header.magic) || header.length > kMaxPayload) return -EPIPE;
    payload_.resize(header.length);
    // The header came: the rest of the frame is on its way whatever our own deadline says.
    int status = trelReadExact(fd_.get(), payload_.data(), header.length,
                               trelDeadlineAfter(TREL_FRAME_DEADLINE_MS), &gControlInterrupted);
    status_ = header.status;
    control_ = header.word;
    return status == -ETIMEDOUT ? -EPIPE : status;
}

int ControlClient::call(uint8_t apiId, const std::vector<unsigned char>& payload, int timeoutMs,
                        ControlReply* reply) {
    uint16_t sequence = trelNextSequence(&sequence_);
    TrelFrameHeader header{TREL_MAGIC, 0, trelControlWord(0, apiId, true),
                           static_cast<uint32_t>(payload.size()), sequence};
    unsigned char head[TREL_HEADER_SIZE];
    trelHeaderEncode(head, header, 0);
    if (int status = writeAll(fd_.get(), head, payload); status < 0) return status;
    int64_t deadline = trelDeadlineAfter(timeoutMs);
    for (;;) {
        if (int status = readFrame(deadline); status < 0) return status;
        if (control_ & TREL_CTRL_MESSAGE) {
            messages_.push_back(ControlMessage{trelControlApi(control_), payload_});
        } else if ((control_ & TREL_SEQUENCE_MASK) == sequence) {
            reply->status = status_;
            reply->payload = payload_;
            return 0;
        }
        // A reply to another sequence belongs to a request we gave up on: dropped.
    }
}

int ControlClient::nextMessage(int timeoutMs, ControlMessage* message) {
    int64_t deadline = trelDeadlineAfter(timeoutMs);
    while (messages_.empty()) {
        if (int status = readFrame(deadline); status < 0) return status;
        if (control_ & TREL_CTRL_MESSAGE) {
            messages_.push_back(ControlMessage{trelControlApi(control_), payload_});
        }
    }
    *message = std::move(messages_.front());
    messages_.pop_front();
    return 0;
}
