#pragma once
// What every peer of the service (the bus connection, each control client) gets of its own: an
// output queue written without waiting, a frame reader fed without waiting, and the limits that
// keep one peer from holding the others. Pure code: no descriptors are kept here.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bus/trel_header.h"

// A peer whose queued output passes this many bytes is dropped: it does not read.
constexpr size_t TREL_PEER_QUEUE_BOUND = 256 * 1024;
// A peer that takes nothing of its queued output for this long is dropped; a peer that leaves a
// frame unfinished for this long is dropped too.
constexpr int64_t TREL_PEER_STALL_MS = 5000;
// Bytes read from one peer per turn of the bus thread, so that a flooding peer shares it.
constexpr size_t TREL_PEER_READ_TURN = 8 * 1024;
// A peer with this much output waiting is not read until it takes some: one that sends and
// never reads then costs nothing until it is dropped.
constexpr size_t TREL_PEER_READ_PAUSE = 64 * 1024;

// The share of a pool (probes, watches, queued requests) one peer may hold: at most half of
// it, rounded up, so that the other half always stays for the others. A slot is granted when
// the pool has one free and the peer holds less than its share.
constexpr int trelPeerShare(int poolSize) {
    return (poolSize + 1) / 2;
}
constexpr bool trelPoolAdmits(int heldByPeer, int usedInPool, int poolSize) {
    return usedInPool < poolSize && heldByPeer < trelPeerShare(poolSize);
}

// A byte buffer for frames (requests and replies may carry Wi-Fi keys): every byte it held is
// wiped before its memory is freed, reused or moved.
class TrelWipedBuffer {
  public:
    TrelWipedBuffer() = default;
    ~TrelWipedBuffer() { reset(); }
    TrelWipedBuffer(const TrelWipedBuffer&) = delete;
    TrelWipedBuffer& operator=(const TrelWipedBuffer&) = delete;

    const unsigned char* data() const { return data_.get() + head_; }
    size_t size() const { return size_ - head_; }
    bool empty() const { return size() == 0; }
    // Appends the bytes, then the second part if any; false (nothing added) when out of memory.
    bool append(const void* bytes, size_t n, const void* more = nullptr, size_t moreN = 0);
    // Drops n bytes from the front (wiped).
    void consume(size_t n);
    // Wipes and frees everything.
    void reset();

  private:
    bool reserve(size_t total);

    std::unique_ptr<unsigned char[]> data_;
    size_t capacity_ = 0;
    size_t head_ = 0;  // bytes before it are consumed (and wiped)
    size_t size_ = 0;
};

// A peer's output: whole frames queued by any thread (under the send lock), written by whoever
// finds the descriptor writable, never waited for.
class TrelOutQueue {
  public:
    // Queues one frame; false (nothing queued) when the queue would pass its bound.
    bool push(const unsigned char* head, const void* payload, uint32_t length, int64_t nowMs);
    // Queues bytes that are no frame (the identity that opens a bus connection).
    bool pushBytes(const void* bytes, size_t n, int64_t nowMs);
    // Writes what the descriptor takes now. 1 while bytes remain, 0 when empty, -errno when the
    // peer is gone.
    int flush(int fd, int64_t nowMs);
    bool empty() const { return bytes_.empty(); }
    size_t size() const { return bytes_.size(); }
    // Bytes have waited and nothing went out for TREL_PEER_STALL_MS.
    bool stalled(int64_t nowMs) const {
        return !empty() && nowMs - progressMs_ >= TREL_PEER_STALL_MS;
    }
    // When the queue counts as stalled if nothing goes out; only meaningful while not empty.
    int64_t stallDeadline() const { return progressMs_ + TREL_PEER_STALL_MS; }
    void clear() { bytes_.reset(); }

  private:
    TrelWipedBuffer bytes_;
    int64_t progressMs_ = 0;  // last write that took bytes, or when the queue was last empty
};

// The frames in a peer's byte stream, as they arrive in pieces. Two rules for bad input: the
// bus server's stream resynchronises (bytes that start no frame are skipped to the next magic
// byte, a payload longer than the limit is skipped), a control client's stream ends.
class TrelFrameReader {
  public:
    enum class Rule { Resync, Strict };
    TrelFrameReader(uint32_t maxPayload, int byteOrder, Rule rule)
        : maxPayload_(maxPayload), byteOrder_(byteOrder), rule_(rule) {}

    // Takes bytes read from the peer; false when out of memory.
    bool feed(const unsigned char* bytes, size_t n, int64_t nowMs);
    // The next whole frame: 1 with *header and *payload (valid until the next call; the payload
    // is followed by a NUL), 0 when more bytes are needed, -1 when the stream is bad (Strict).
    int next(TrelFrameHeader* header, const unsigned char** payload);
    // Holds the start of a frame that is not whole yet (or a payload being skipped).
    bool partial() const { return !pending_.empty() || skipLeft_ > 0; }
    // When the unfinished frame is overdue; only meaningful while partial().
    int64_t partialDeadline() const { return partialSinceMs_ + TREL_PEER_STALL_MS; }
    // Bytes and frames thrown away since the last call (Resync), and the reason for the last.
    int takeDiscarded(const char** why);
    void clear();

  private:
    bool skipGarbage();

    uint32_t maxPayload_;
    int byteOrder_;
    Rule rule_;
    TrelWipedBuffer pending_;
    TrelWipedBuffer frame_;  // the frame handed out last, with its NUL
    uint64_t skipLeft_ = 0;  // payload bytes of an over-long frame still to skip
    int64_t partialSinceMs_ = 0;
    int64_t lastFeedMs_ = 0;
    int discarded_ = 0;
    const char* discardWhy_ = "";
};

// Reads what fd has now (at most TREL_PEER_READ_TURN bytes) into the reader, without waiting.
// true when the stream ended (end of stream, an error, or no memory for the bytes).
bool trelReadTurn(int fd, TrelFrameReader* reader, int64_t nowMs);
