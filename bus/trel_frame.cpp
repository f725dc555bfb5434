#include "bus/trel_frame.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "bus/trel_header.h"
#include "bus/trel_lock.h"
#include "bus/trel_poll.h"
#include "platform/platform.h"

namespace {

// Throws away whatever is readable right now, so the next frame starts with fresh input.
// False when the peer closed or the socket failed meanwhile.
bool drain(TrelClient* client) {
    pollfd entry{client->socket, POLLIN, 0};
    while (poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = read(client->socket, client->inBuf, client->inBufSize);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
    }
    return true;
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

int callHandler(TrelClient* client, const TrelHandlerEntry& entry, const TrelFrameHeader& header) {
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
    return trelFinishReply(&request, entry.handler(&request));
}

// Builds the reply over the request header in the output buffer and sends header and payload
// in one write.
void sendReply(TrelClient* client, const TrelFrameHeader& request, uint8_t status,
               uint32_t length) {
    TrelSendLock lock(client);
    TrelFrameHeader reply{request.magic, status, request.sequence, length,
                          trelNextSequence(&client->txSequence)};
    trelHeaderEncode(client->outBuf, reply, client->byteOrder);
    if (client->socket >= 0)
        trelWriteAll(client->socket, client->outBuf, TREL_HEADER_SIZE + length);
}

void dispatchFrame(TrelClient* client, const TrelFrameHeader& header) {
    const TrelHandlerEntry* entry = findHandler(client, header.word);
    int result = entry != nullptr ? callHandler(client, *entry, header) : 0;
    if (!(header.word & TREL_CTRL_REPLY_WANTED)) return;
    if (entry == nullptr) {
        sendReply(client, header, TREL_STATUS_NO_HANDLER, 0);
    } else {
        sendReply(client, header, trelReplyStatus(result),
                  trelReplyLength(result, client->outBufSize));
    }
}

// Reads and handles one frame once poll reported the socket readable.
void serveFrame(TrelClient* client) {
    if (trelReadFully(client->socket, client->outBuf, TREL_HEADER_SIZE) != 0) {
        trelCloseConnection(client);
        return;
    }
    TrelFrameHeader header = trelHeaderDecode(client->outBuf, client->byteOrder);
    // The header is checked before any payload byte is read: the length decides how much the
    // peer makes us read, so it must fit the input buffer.
    if (!trelMagicValid(header.magic) || header.length >= client->inBufSize) {
        if (!drain(client)) trelCloseConnection(client);
        return;
    }
    if (trelReadFully(client->socket, client->inBuf, header.length) != 0) {
        trelCloseConnection(client);
        return;
    }
    if (!(header.word & TREL_CTRL_MESSAGE)) return;  // replies to us are not answered
    dispatchFrame(client, header);
}

}  // namespace

int trelFinishReply(TrelRequest* request, int result) {
    if (result < 0 || !encoderFailed(&request->encoder)) return result;
    // A reply that did not fit is never sent cut: the client gets the reason instead.
    yebLog("reply to request %u does not fit %u bytes, refused\n",
           static_cast<unsigned>(request->apiId), request->replyCapacity);
    return -EMSGSIZE;
}

int trelReadFully(int fd, unsigned char* buffer, uint32_t n) {
    uint32_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, buffer + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        done += static_cast<uint32_t>(got);
    }
    buffer[n] = '\0';
    return 0;
}

int trelWriteAll(int fd, const void* buffer, uint32_t n) {
    iovec part{const_cast<void*>(buffer), n};
    return trelWriteParts(fd, &part, 1);
}

int trelWriteParts(int fd, iovec* parts, int count) {
    while (count > 0) {
        ssize_t put = writev(fd, parts, count);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return -1;
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

void trelShutdown(TrelClient* client) {
    TrelSendLock lock(client);
    if (client->socket >= 0) {
        shutdown(client->socket, SHUT_RDWR);
        close(client->socket);
    }
    client->socket = -1;
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
    unsigned char header[TREL_HEADER_SIZE];
    trelHeaderEncode(
        header,
        TrelFrameHeader{TREL_MAGIC, 0, trelControlWord(iface->index, apiId, false),
                        static_cast<uint32_t>(length), trelNextSequence(&client->txSequence)},
        client->byteOrder);
    if (client->socket < 0) return;  // no connection: the message is lost
    iovec parts[2] = {{header, TREL_HEADER_SIZE},
                      {const_cast<void*>(payload), static_cast<size_t>(length)}};
    trelWriteParts(client->socket, parts, length > 0 ? 2 : 1);
}

void trelSendEncoderMsg(TrelInterface* iface, int apiId, Encoder* enc) {
    trelSendMsg(iface, static_cast<uint8_t>(apiId & 0xFF), enc->data, encoderSize(enc));
}
