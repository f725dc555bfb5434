#include "bus/trel_frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bus/trel_control.h"
#include "bus/trel_deferred.h"
#include "bus/trel_lock.h"
#include "bus/trel_poll.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kDiscardLogIntervalMs = 1000;

// Waits for events on fd until the deadline; false when it passed first.
bool awaitFd(int fd, short events, int64_t deadlineMs) {
    int64_t left = deadlineMs - yebMonoTimeMs();
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    return ready != 0;  // an error shows in the next read or write
}

bool readableNow(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
}

// Counts a discarded frame (or run of bytes); at most one log line a second says how many.
void noteDiscarded(TrelClient* client, const char* why) {
    ++client->discardedFrames;
    int64_t now = yebMonoTimeMs();
    if (now - client->lastDiscardLogMs < kDiscardLogIntervalMs) return;
    yebLog("trel: discarded %d frame(s), the last because of %s\n", client->discardedFrames, why);
    client->discardedFrames = 0;
    client->lastDiscardLogMs = now;
}

// The handler registered for the frame's interface and api id, or null.
const TrelHandlerEntry* findHandler(TrelClient* client, uint16_t control) {
    unsigned index = trelControlInterface(control);
    if (index >= TREL_MAX_INTERFACES || static_cast<int>(index) >= client->interfaceCount) {
        return nullptr;
    }
    const TrelInterface& iface = client->interfaces[index];
    uint8_t apiId = trelControlApi(control);
    if (apiId > iface.maxId || iface.handlers[apiId].handler == nullptr) return nullptr;
    return &iface.handlers[apiId];
}

int callHandler(TrelClient* client, const TrelHandlerEntry& entry, const TrelFrameHeader& header,
                TrelRoute route) {
    TrelRequest request{};
    request.client = client;
    request.interface = &client->interfaces[trelControlInterface(header.word)];
    request.apiId = trelControlApi(header.word);
    request.sequence = header.sequence;
    request.replyWanted = header.word & TREL_CTRL_REPLY_WANTED;
    request.payload = client->inBuf;
    request.length = header.length;
    decoderWrap(&request.decoder, request.payload, static_cast<int>(request.length));
    request.replyPayload = client->outBuf + TREL_HEADER_SIZE;
    request.replyCapacity = client->outBufSize;
    encoderWrap(&request.encoder, request.replyPayload, static_cast<int>(request.replyCapacity));
    request.context = entry.context;
    request.magic = header.magic;
    request.route = route;
    return trelFinishReply(&request, entry.handler(&request));
}

// The reply goes out of the output buffer, where the handler wrote its payload.
void sendReply(TrelClient* client, TrelRoute route, const TrelFrameHeader& request, uint8_t status,
               uint32_t length) {
    TrelSendLock lock(client);
    TrelFrameHeader reply{request.magic, status, request.sequence, length, 0};
    trelWriteRouteLocked(client, route, reply, client->outBuf + TREL_HEADER_SIZE);
}

// Reads a header into out. Bytes that cannot start one are skipped up to the next magic byte,
// so that frames behind garbage still get through. 1 with a header, 0 when the readable bytes
// ran out without one (nothing to wait for), -1 when the connection must go.
int readHeader(TrelClient* client, unsigned char* out, int64_t deadlineMs) {
    int have = 0;
    bool skipped = false;
    for (;;) {
        if (have == 0 && skipped && !readableNow(client->socket)) {
            noteDiscarded(client, "bytes that start no frame");
            return 0;
        }
        int status = trelReadFully(client->socket, out + have,
                                   static_cast<uint32_t>(TREL_HEADER_SIZE - have), deadlineMs);
        if (status == -ETIMEDOUT) {
            yebLog("trel: frame header incomplete after %d ms, reconnecting\n",
                   TREL_FRAME_DEADLINE_MS);
        }
        if (status != 0) return -1;
        if (trelMagicValid(out[0])) {
            if (skipped) noteDiscarded(client, "bytes that start no frame");
            return 1;
        }
        int skip = 1;
        while (skip < TREL_HEADER_SIZE && !trelMagicValid(out[skip])) ++skip;
        have = TREL_HEADER_SIZE - skip;
        std::memmove(out, out + skip, static_cast<size_t>(have));
        skipped = true;
    }
}

// Reads and throws away the payload of a frame too long for the input buffer.
bool skipPayload(TrelClient* client, uint32_t length, int64_t deadlineMs) {
    while (length > 0) {
        uint32_t part = length < client->inBufSize ? length : client->inBufSize;
        if (trelReadFully(client->socket, client->inBuf, part, deadlineMs) != 0) return false;
        length -= part;
    }
    return true;
}

// Reads and handles one frame once poll reported the socket readable. The peer has
// TREL_FRAME_DEADLINE_MS from the frame's first byte to deliver all of it.
void serveFrame(TrelClient* client) {
    int64_t deadline = yebMonoTimeMs() + TREL_FRAME_DEADLINE_MS;
    int found = readHeader(client, client->outBuf, deadline);
    if (found <= 0) {
        if (found < 0) trelCloseConnection(client);
        return;
    }
    TrelFrameHeader header = trelHeaderDecode(client->outBuf, client->byteOrder);
    // The length decides how much the peer makes us read, so it must fit the input buffer.
    if (header.length >= client->inBufSize) {
        noteDiscarded(client, "a length beyond the input buffer");
        if (!skipPayload(client, header.length, deadline)) trelCloseConnection(client);
        return;
    }
    int status = trelReadFully(client->socket, client->inBuf, header.length, deadline);
    if (status != 0) {
        if (status == -ETIMEDOUT) {
            noteDiscarded(client, "a payload that did not come");
            yebLog("trel: payload of %u bytes incomplete after %d ms, reconnecting\n",
                   header.length, TREL_FRAME_DEADLINE_MS);
        }
        trelCloseConnection(client);
        return;
    }
    if (!(header.word & TREL_CTRL_MESSAGE)) return;  // replies to us are not answered
    trelDispatchFrame(client, header, trelBusRoute(client));
}

// Set by whichever thread failed a write, under the send lock.
bool connectionBroken(TrelClient* client) {
    TrelSendLock lock(client);
    return client->broken && client->connected;
}

bool isKept(const TrelClient* client, uint8_t apiId) {
    return (client->keptApis[apiId / 8] >> (apiId % 8)) & 1;
}

// Holds a copy of the message for the next connection; a full ring loses its oldest.
void keepLocked(TrelClient* client, uint8_t ifaceIndex, uint8_t apiId, const void* payload,
                uint32_t length) {
    auto* copy = static_cast<unsigned char*>(std::malloc(length > 0 ? length : 1));
    if (copy == nullptr) {
        yebLog("trel: message %u lost: no memory to keep it\n", apiId);
        return;
    }
    if (length > 0) std::memcpy(copy, payload, length);
    if (client->keptCount == TREL_KEPT_MAX) {
        TrelKeptMessage& oldest = client->kept[client->keptHead];
        yebLog("trel: %d messages wait for a connection; message %u dropped\n", TREL_KEPT_MAX,
               oldest.apiId);
        std::free(oldest.payload);
        client->keptHead = (client->keptHead + 1) % TREL_KEPT_MAX;
        --client->keptCount;
    }
    int slot = (client->keptHead + client->keptCount) % TREL_KEPT_MAX;
    client->kept[slot] = TrelKeptMessage{ifaceIndex, apiId, length, copy};
    ++client->keptCount;
}

}  // namespace

void trelDispatchFrame(TrelClient* client, const TrelFrameHeader& header, TrelRoute route) {
    const TrelHandlerEntry* entry = findHandler(client, header.word);
    int result = entry != nullptr ? callHandler(client, *entry, header, route) : 0;
    // A request may carry a key (request 3): its bytes go once handled or copied for later.
    explicit_bzero(client->inBuf, header.length + 1);
    if (result == TREL_REPLY_LATER) return;  // the handler's worker answers
    if (!(header.word & TREL_CTRL_REPLY_WANTED)) return;
    if (entry == nullptr) {
        sendReply(client, route, header, TREL_STATUS_NO_HANDLER, 0);
        return;
    }
    uint32_t length = trelReplyLength(result, client->outBufSize);
    sendReply(client, route, header, trelReplyStatus(result), length);
    TrelSendLock lock(client);  // the reply area, which may hold a key, is the send buffer's
    explicit_bzero(client->outBuf + TREL_HEADER_SIZE, length);
}

TrelRoute trelBusRoute(TrelClient* client) {
    return TrelRoute{TREL_BUS_CHANNEL, client->generation};
}

bool trelWriteRouteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                          const void* payload) {
    if (route.channel != TREL_BUS_CHANNEL) {
        return trelControlWriteLocked(client, route, header, payload);
    }
    if (!client->connected || client->generation != route.generation) return false;
    return trelWriteFrameLocked(client, header, payload);
}

int trelFinishReply(TrelRequest* request, int result) {
    if (result < 0 || !encoderFailed(&request->encoder)) return result;
    // A reply that did not fit is never sent cut: the client gets the reason instead.
    yebLog("reply to request %u does not fit %u bytes, refused\n",
           static_cast<unsigned>(request->apiId), request->replyCapacity);
    return -EMSGSIZE;
}

int trelReadFully(int fd, unsigned char* buffer, uint32_t n, int64_t deadlineMs) {
    uint32_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, buffer + done, n - done);
        if (got > 0) {
            done += static_cast<uint32_t>(got);
        } else if (got == 0) {
            return -1;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!awaitFd(fd, POLLIN, deadlineMs)) return -ETIMEDOUT;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    buffer[n] = '\0';
    return 0;
}

int trelWriteParts(int fd, iovec* parts, int count, int64_t deadlineMs) {
    while (count > 0) {
        ssize_t put = writev(fd, parts, count);
        if (put < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            if (!awaitFd(fd, POLLOUT, deadlineMs)) return -ETIMEDOUT;
            continue;
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

int trelWriteNumberedLocked(TrelClient* client, int fd, const TrelFrameHeader& header,
                            const void* payload) {
    unsigned char head[TREL_HEADER_SIZE];
    TrelFrameHeader numbered = header;
    numbered.sequence = trelNextSequence(&client->txSequence);
    trelHeaderEncode(head, numbered, client->byteOrder);
    iovec parts[2] = {{head, TREL_HEADER_SIZE},
                      {const_cast<void*>(payload), static_cast<size_t>(header.length)}};
    return trelWriteParts(fd, parts, header.length > 0 ? 2 : 1,
                          yebMonoTimeMs() + TREL_FRAME_DEADLINE_MS);
}

bool trelWriteFrameLocked(TrelClient* client, const TrelFrameHeader& header, const void* payload) {
    if (client->socket < 0 || client->broken) return false;
    int status = trelWriteNumberedLocked(client, client->socket, header, payload);
    if (status == 0) return true;
    // Part of a frame may be out: the stream cannot go on. Shutting the socket down wakes the
    // bus thread, which closes it and connects again; later writes fail at once.
    if (status == -ETIMEDOUT) {
        yebLog("trel: the server took no frame for %d ms, reconnecting\n", TREL_FRAME_DEADLINE_MS);
    } else {
        yebLog("trel: writing a frame failed: %s\n", std::strerror(errno));
    }
    shutdown(client->socket, SHUT_RDWR);
    client->broken = 1;
    return false;
}

void trelFlushKeptLocked(TrelClient* client) {
    while (client->keptCount > 0) {
        TrelKeptMessage& message = client->kept[client->keptHead];
        TrelFrameHeader header{TREL_MAGIC, 0,
                               trelControlWord(message.ifaceIndex, message.apiId, false),
                               message.length, 0};
        if (!trelWriteFrameLocked(client, header, message.payload)) return;
        std::free(message.payload);
        message = TrelKeptMessage{};
        client->keptHead = (client->keptHead + 1) % TREL_KEPT_MAX;
        --client->keptCount;
    }
}

void trelShutdown(TrelClient* client) {
    trelControlUnlink(client);
    TrelSendLock lock(client);
    if (client->socket >= 0) {
        shutdown(client->socket, SHUT_RDWR);
        close(client->socket);
    }
    client->socket = -1;
}

void trelCloseConnection(TrelClient* client) {
    yebLog("closing socket");
    {
        // Under the lock, so that no sender writes to a descriptor that is closed or reused.
        TrelSendLock lock(client);
        if (client->socket >= 0) close(client->socket);
        client->socket = -1;
        client->pollSet[0].fd = -1;
        client->connected = 0;
    }
    if (client->eventHandler != nullptr) {
        yebLog("calling disconnect handler");
        client->eventHandler(client, TREL_EVENT_DISCONNECTED, client->eventContext);
    } else {
        yebLog("no disconnect handler");
    }
}

void trelDispatchUntilClosed(TrelClient* client) {
    while (client->connected) {
        int ready = poll(client->pollSet, static_cast<nfds_t>(client->pollCount), -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            yebLog("trel poll failed (errno %d)", errno);
            trelCloseConnection(client);
            return;
        }
        trelRunMonitors(client);
        short busEvents = client->pollSet[0].revents;
        client->pollSet[0].revents = 0;
        if (busEvents != 0) serveFrame(client);
        // Requests still buffered from a connection whose stream broke are not served: their
        // replies could not follow.
        if (connectionBroken(client)) trelCloseConnection(client);
    }
}

void trelSendMsg(TrelInterface* iface, uint8_t apiId, const void* payload, int length) {
    if (length < 0 || static_cast<uint32_t>(length) > TREL_MAX_PAYLOAD) {
        // The header cannot announce it; sending would desynchronise the stream.
        yebLog("trel message %u too long (%d bytes), dropped", apiId, length);
        return;
    }
    TrelClient* client = iface->client;
    TrelSendLock lock(client);
    TrelFrameHeader header{TREL_MAGIC, 0, trelControlWord(iface->index, apiId, false),
                           static_cast<uint32_t>(length), 0};
    if (client->connected && trelWriteFrameLocked(client, header, payload)) return;
    if (isKept(client, apiId)) {
        keepLocked(client, iface->index, apiId, payload, static_cast<uint32_t>(length));
    }
}

void trelSendMsgTo(TrelInterface* iface, TrelRoute route, uint8_t apiId, const void* payload,
                   int length) {
    if (route.channel == TREL_BUS_CHANNEL) {
        trelSendMsg(iface, apiId, payload, length);
        return;
    }
    if (length < 0 || static_cast<uint32_t>(length) > TREL_MAX_PAYLOAD) return;
    TrelClient* client = iface->client;
    TrelSendLock lock(client);
    TrelFrameHeader header{TREL_MAGIC, 0, trelControlWord(iface->index, apiId, false),
                           static_cast<uint32_t>(length), 0};
    trelWriteRouteLocked(client, route, header, payload);
}

void trelSendEncoderMsg(TrelInterface* iface, int apiId, Encoder* enc) {
    trelSendMsg(iface, static_cast<uint8_t>(apiId & 0xFF), enc->data, encoderSize(enc));
}
