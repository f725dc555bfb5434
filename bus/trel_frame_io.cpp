#include "bus/trel_frame_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/platform.h"

int64_t trelDeadlineAfter(int timeoutMs) {
    return timeoutMs < 0 ? -1 : yebMonoTimeMs() + timeoutMs;
}

int trelReadExact(int fd, void* buffer, size_t n, int64_t deadlineMs,
                  const volatile int* interrupted) {
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < n) {
        if (interrupted != nullptr && *interrupted) return -EINTR;
        // Try first: on a busy connection the bytes are usually there, which saves a poll.
        ssize_t got = recv(fd, out + done, n - done, MSG_DONTWAIT);
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got == 0) return -EPIPE;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -EPIPE;
        int64_t left = deadlineMs < 0 ? -1 : deadlineMs - yebMonoTimeMs();
        if (deadlineMs >= 0 && left <= 0) return -ETIMEDOUT;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left)) < 0 && errno != EINTR) return -EPIPE;
    }
    return 0;
}

int trelWriteAll(int fd, iovec* parts, int count) {
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t put = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (put < 0) {
            if (errno == EINTR) continue;
            return -EPIPE;
        }
        // Skip what went out; a short write resumes inside the first unfinished part.
        while (count > 0 && static_cast<size_t>(put) >= parts->iov_len) {
            put -= static_cast<ssize_t>(parts->iov_len);
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + put;
            parts->iov_len -= static_cast<size_t>(put);
        }
    }
    return 0;
}
