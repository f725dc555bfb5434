#pragma once
// Frame I/O for a program that talks to one peer at a time and may wait for it (lkctl, the
// stand-in bus server): exact reads by a deadline on the monotonic clock, whole writes. The
// daemon itself never waits on a peer (bus/trel_peer.h).
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// The deadline timeoutMs from now; -1 (none) for a negative timeoutMs.
int64_t trelDeadlineAfter(int timeoutMs);
// Reads exactly n bytes by deadlineMs (-1: none). 0; -ETIMEDOUT; -EPIPE at the end of the
// stream or on an error; -EINTR once *interrupted (when given) is set by a signal handler.
int trelReadExact(int fd, void* buffer, size_t n, int64_t deadlineMs,
                  const volatile int* interrupted = nullptr);
// Writes all parts (advancing them), without SIGPIPE. 0, or -EPIPE when the peer is gone.
int trelWriteAll(int fd, iovec* parts, int count);
