#include "lkctl/trel_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace {

// Milliseconds left until deadline (-1 means no deadline, and stays -1).
int remainingMs(int64_t deadline) {
    if (deadline < 0) return -1;
    int64_t left = deadline - yebMonoTimeMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// 1 readable, 0 time-out, -1 error.
int waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int n = poll(&p, 1, timeoutMs);
        if (n >= 0) return n > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

// Plain blocking reads, the fewest system calls per frame; a receive time-out set on the
// socket (SO_RCVTIMEO) still ends the wait, as a time-out.
int readBlocking(int fd, void* buffer, size_t n) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < n) {
        ssize_t got = recv(fd, out + done, n - done, MSG_WAITALL);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got == 0) {
            return -1;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return 1;
}

}  // namespace

void trelWireEncodeHeader(const TrelWireHeader& header, unsigned char out[TREL_WIRE_HEADER_SIZE]) {
    trelHeaderEncode(out,
                     TrelFrameHeader{header.magic, header.status, header.control, header.length,
                                     header.sequence},
                     0);
}

TrelWireHeader trelWireDecodeHeader(const unsigned char in[TREL_WIRE_HEADER_SIZE]) {
    TrelFrameHeader header = trelHeaderDecode(in, 0);
    return TrelWireHeader{header.magic, header.status, header.word, header.length, header.sequence};
}

uint16_t trelWireControl(uint8_t apiId, uint8_t ifIndex, bool replyWanted) {
    return trelControlWord(ifIndex, apiId, replyWanted);
}

UniqueFd trelServerListen(const char* host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host ? host : "localhost", service.c_str(), &hints, &found) != 0 || !found)
        return UniqueFd();
    UniqueFd fd(socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    if (fd) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool ok =
        fd && bind(fd.get(), found->ai_addr, found->ai_addrlen) == 0 && listen(fd.get(), 4) == 0;
    freeaddrinfo(found);
    return ok ? std::move(fd) : UniqueFd();
}

int trelServerPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return -1;
}

UniqueFd trelServerAccept(int listenFd, int timeoutMs) {
    if (waitReadable(listenFd, timeoutMs) != 1) return UniqueFd();
    UniqueFd fd(accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    int one = 1;
    // Frames are small and answered one at a time; Nagle would add a round trip to each.
    if (fd) setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int trelServerReadIdentity(int fd, std::string* identity, int timeoutMs) {
    int64_t deadline = trelDeadlineAfter(timeoutMs);
    identity->clear();
    char chunk[4096];
    for (;;) {
        int ready = waitReadable(fd, remainingMs(deadline));
        if (ready <= 0) return ready;
        // Peek first so that the bytes after the NUL stay in the socket for the frame reader.
        ssize_t n = recv(fd, chunk, sizeof chunk, MSG_PEEK);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        auto* nul = static_cast<char*>(memchr(chunk, '\0', static_cast<size_t>(n)));
        size_t take = nul ? static_cast<size_t>(nul - chunk) + 1 : static_cast<size_t>(n);
        if (recv(fd, chunk, take, 0) != static_cast<ssize_t>(take)) return -1;
        identity->append(chunk, nul ? take - 1 : take);
        if (nul) return 1;
        if (identity->size() > TREL_WIRE_MAX_IDENTITY) return -1;
    }
}

int trelServerSendFrame(int fd, const TrelWireHeader& header, const void* payload) {
    unsigned char head[TREL_WIRE_HEADER_SIZE];
    trelWireEncodeHeader(header, head);
    iovec iov[2] = {{head, sizeof head}, {const_cast<void*>(payload), header.length}};
    return trelWriteAll(fd, iov, header.length > 0 ? 2 : 1) == 0 ? 0 : -1;
}

int trelServerReadExact(int fd, void* buffer, size_t n, int timeoutMs) {
    if (timeoutMs < 0) return readBlocking(fd, buffer, n);
    switch (trelReadExact(fd, buffer, n, trelDeadlineAfter(timeoutMs))) {
        case 0:
            return 1;
        case -ETIMEDOUT:
            return 0;
        default:
            return -1;
    }
}

int trelServerReadFrame(int fd, TrelWireFrame* frame, int timeoutMs, uint32_t maxLength) {
    int64_t deadline = trelDeadlineAfter(timeoutMs);
    unsigned char head[TREL_WIRE_HEADER_SIZE];
    int got = trelServerReadExact(fd, head, sizeof head, timeoutMs);
    if (got != 1) return got;
    frame->header = trelWireDecodeHeader(head);
    if (frame->header.length > maxLength) return -1;
    frame->payload.resize(frame->header.length);
    if (frame->header.length == 0) return 1;
    // A header without its payload within the time-out is a broken frame, not an idle peer.
    got =
        trelServerReadExact(fd, frame->payload.data(), frame->header.length, remainingMs(deadline));
    return got == 1 ? 1 : -1;
}
