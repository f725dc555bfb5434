#include "bus/trel_peer.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr size_t kMinCapacity = 4096;

}  // namespace

bool TrelWipedBuffer::reserve(size_t total) {
    if (total <= capacity_ - head_ && head_ == 0) return true;
    if (total <= capacity_ && head_ > 0) {
        // Move the live bytes to the front, then wipe what they left behind.
        size_t live = size();
        std::memmove(data_.get(), data_.get() + head_, live);
        explicit_bzero(data_.get() + live, size_ - live);
        head_ = 0;
        size_ = live;
        return true;
    }
    size_t capacity = capacity_ > kMinCapacity ? capacity_ : kMinCapacity;
    while (capacity < total) capacity *= 2;
    std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[capacity]);
    if (!grown) return false;
    size_t live = size();
    if (live > 0) std::memcpy(grown.get(), data(), live);
    reset();
    data_ = std::move(grown);
    capacity_ = capacity;
    size_ = live;
    return true;
}

bool TrelWipedBuffer::append(const void* bytes, size_t n, const void* more, size_t moreN) {
    if (n + moreN == 0) return true;
    if (!reserve(size() + n + moreN)) return false;
    if (n > 0) std::memcpy(data_.get() + size_, bytes, n);
    if (moreN > 0) std::memcpy(data_.get() + size_ + n, more, moreN);
    size_ += n + moreN;
    return true;
}

void TrelWipedBuffer::consume(size_t n) {
    if (n > size()) n = size();
    explicit_bzero(data_.get() + head_, n);
    head_ += n;
    if (head_ == size_) head_ = size_ = 0;
}

void TrelWipedBuffer::reset() {
    if (data_) explicit_bzero(data_.get(), capacity_);
    data_.reset();
    capacity_ = head_ = size_ = 0;
}

bool TrelOutQueue::push(const unsigned char* head, const void* payload, uint32_t length,
                        int64_t nowMs) {
    if (bytes_.size() + TREL_HEADER_SIZE + length > TREL_PEER_QUEUE_BOUND) return false;
    if (bytes_.empty()) progressMs_ = nowMs;
    return bytes_.append(head, TREL_HEADER_SIZE, payload, length);
}

bool TrelOutQueue::pushBytes(const void* bytes, size_t n, int64_t nowMs) {
    if (bytes_.size() + n > TREL_PEER_QUEUE_BOUND) return false;
    if (bytes_.empty()) progressMs_ = nowMs;
    return bytes_.append(bytes, n);
}

int TrelOutQueue::flush(int fd, int64_t nowMs) {
    while (!bytes_.empty()) {
        ssize_t put = send(fd, bytes_.data(), bytes_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (put > 0) {
            bytes_.consume(static_cast<size_t>(put));
            progressMs_ = nowMs;
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
        return put < 0 ? -errno : -EPIPE;
    }
    return 0;
}

bool TrelFrameReader::feed(const unsigned char* bytes, size_t n, int64_t nowMs) {
    if (n == 0) return true;
    if (!partial()) partialSinceMs_ = nowMs;
    lastFeedMs_ = nowMs;
    if (skipLeft_ > 0) {
        size_t skipped = n < skipLeft_ ? n : static_cast<size_t>(skipLeft_);
        skipLeft_ -= skipped;
        bytes += skipped;
        n -= skipped;
        if (n > 0) partialSinceMs_ = nowMs;  // what follows starts the next frame
    }
    return pending_.append(bytes, n);
}

// Resync: drops bytes up to the next magic byte. true when pending_ now starts with one.
bool TrelFrameReader::skipGarbage() {
    size_t skip = 0;
    while (skip < pending_.size() && !trelMagicValid(pending_.data()[skip])) ++skip;
    if (skip > 0) {
        ++discarded_;
        discardWhy_ = "bytes that start no frame";
        pending_.consume(skip);
    }
    return !pending_.empty();
}

int TrelFrameReader::next(TrelFrameHeader* header, const unsigned char** payload) {
    frame_.reset();
    for (;;) {
        if (skipLeft_ > 0) return 0;
        if (rule_ == Rule::Resync && !skipGarbage()) return 0;
        if (pending_.size() < TREL_HEADER_SIZE) return 0;
        TrelFrameHeader head = trelHeaderDecode(pending_.data(), byteOrder_);
        if (rule_ == Rule::Strict && (!trelMagicValid(head.magic) || head.length > maxPayload_)) {
            return -1;
        }
        if (head.length > maxPayload_) {
            // The length decides how much the peer makes us hold: a longer payload is skipped.
            ++discarded_;
            discardWhy_ = "a length beyond the input buffer";
            pending_.consume(TREL_HEADER_SIZE);
            size_t skipped = head.length < pending_.size() ? head.length : pending_.size();
            pending_.consume(skipped);
            skipLeft_ = head.length - skipped;
            continue;
        }
        if (pending_.size() < TREL_HEADER_SIZE + head.length) return 0;
        static const unsigned char kNul = 0;
        if (!frame_.append(pending_.data() + TREL_HEADER_SIZE, head.length) ||
            !frame_.append(&kNul, 1)) {
            return -1;
        }
        pending_.consume(TREL_HEADER_SIZE + head.length);
        partialSinceMs_ = lastFeedMs_;  // what is left came with the last bytes at the earliest
        *header = head;
        *payload = frame_.data();
        return 1;
    }
}

int TrelFrameReader::takeDiscarded(const char** why) {
    *why = discardWhy_;
    int count = discarded_;
    discarded_ = 0;
    return count;
}

void TrelFrameReader::clear() {
    pending_.reset();
    frame_.reset();
    skipLeft_ = 0;
    discarded_ = 0;
}

bool trelReadTurn(int fd, TrelFrameReader* reader, int64_t nowMs) {
    unsigned char chunk[4096];
    for (size_t taken = 0; taken < TREL_PEER_READ_TURN;) {
        ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got <= 0) return true;
        bool kept = reader->feed(chunk, static_cast<size_t>(got), nowMs);
        explicit_bzero(chunk, static_cast<size_t>(got));
        if (!kept) return true;
        taken += static_cast<size_t>(got);
    }
    return false;
}
