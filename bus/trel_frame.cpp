#include "bus/trel_frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bus/trel_client_state.h"
#include "bus/trel_control.h"
#include "bus/trel_deferred.h"
#include "bus/trel_lock.h"
#include "bus/trel_poll.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kDiscardLogIntervalMs = 1000;

// Counts discarded frames (or runs of bytes); at most one log line a second says how many.
void noteDiscarded(TrelClient* client, int count, const char* why) {
    if (count == 0) return;
    client->discardedFrames += count;
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
    request.payload = client->inBuf.get();
    request.length = header.length;
    decoderWrap(&request.decoder, request.payload, static_cast<int>(request.length));
    request.replyPayload = client->outBuf.get() + TREL_HEADER_SIZE;
    request.replyCapacity = client->outBuf.size;
    encoderWrap(&request.encoder, request.replyPayload, static_cast<int>(request.replyCapacity));
    request.context = entry.context;
    request.magic = header.magic;
    request.route = route;
    if (!entry.open && !trelRequestPrivileged(&request)) return -EACCES;
    return trelFinishReply(&request, entry.handler(&request));
}

// The reply goes out of the output buffer, where the handler wrote its payload.
void sendReply(TrelClient* client, TrelRoute route, const TrelFrameHeader& request, uint8_t status,
               uint32_t length) {
    TrelSendLock lock(client);
    TrelFrameHeader reply{request.magic, status, request.sequence, length, 0};
    trelWriteRouteLocked(client, route, reply, client->outBuf.get() + TREL_HEADER_SIZE);
}

// Marks the bus connection for closing, with the one log line that says why.
void breakBusLocked(TrelClient* client, const char* why) {
    if (client->broken) return;
    yebLog("trel: %s, reconnecting\n", why);
    client->broken = 1;
    client->busOut.clear();
    // Wakes the bus thread, which closes the socket and connects again.
    if (client->socket) shutdown(client->socket.get(), SHUT_RDWR);
}

bool connectionBroken(TrelClient* client) {
    TrelSendLock lock(client);
    return client->broken && client->connected;
}

// Serves the frames read from the bus server; frames still buffered from a connection whose
// stream broke are not served: their replies could not follow.
void serveBusFrames(TrelClient* client) {
    TrelFrameHeader header{};
    const unsigned char* payload = nullptr;
    while (!connectionBroken(client) && client->busIn->next(&header, &payload) == 1) {
        // Replies to us are not answered.
        if (header.word & TREL_CTRL_MESSAGE) {
            trelDispatchFrame(client, header, payload, trelBusRoute(client));
        }
    }
    const char* why = "";
    int discarded = client->busIn->takeDiscarded(&why);
    noteDiscarded(client, discarded, why);
}

void onBusEvents(TrelClient* client, short events) {
    if (events & POLLOUT) {
        TrelSendLock lock(client);
        if (client->busOut.flush(client->socket.get(), yebMonoTimeMs()) < 0) {
            breakBusLocked(client, "writing to the server failed");
        }
    }
    if (!(events & (POLLIN | POLLHUP | POLLERR))) return;
    int ended = trelReadTurn(client->socket.get(), client->busIn.get(), yebMonoTimeMs());
    serveBusFrames(client);
    if (ended) trelCloseConnection(client);
}

bool isKept(const TrelClient* client, uint8_t apiId) {
    return (client->keptApis[apiId / 8] >> (apiId % 8)) & 1;
}

// Holds a copy of the message for the next connection; a full ring loses its oldest.
void keepLocked(TrelClient* client, uint8_t ifaceIndex, uint8_t apiId, const void* payload,
                uint32_t length) {
    MallocPtr<unsigned char> copy(
        static_cast<unsigned char*>(std::malloc(length > 0 ? length : 1)));
    if (!copy) {
        yebLog("trel: message %u lost: no memory to keep it\n", apiId);
        return;
    }
    if (length > 0) std::memcpy(copy.get(), payload, length);
    if (client->keptCount == TREL_KEPT_MAX) {
        TrelKeptMessage& oldest = client->kept[client->keptHead];
        yebLog("trel: %d messages wait for a connection; message %u dropped\n", TREL_KEPT_MAX,
               oldest.apiId);
        oldest = TrelKeptMessage{};
        client->keptHead = (client->keptHead + 1) % TREL_KEPT_MAX;
        --client->keptCount;
    }
    int slot = (client->keptHead + client->keptCount) % TREL_KEPT_MAX;
    client->kept[slot] = TrelKeptMessage{ifaceIndex, apiId, length, std::move(copy)};
    ++client->keptCount;
}

void drainWake(TrelClient*, int fd, int, void*) {
    uint64_t count = 0;
    while (read(fd, &count, sizeof count) > 0) {
    }
}

}  // namespace

void trelWakeBusThread(TrelClient* client) {
    uint64_t one = 1;
    if (write(client->wakeFd.get(), &one, sizeof one) < 0) {
        // Full counter: a wake-up is pending already.
    }
}

void trelWatchWakeups(TrelClient* client) {
    trelMonitorFD(client, client->wakeFd.get(), POLLIN, drainWake, nullptr);
}

void trelDispatchFrame(TrelClient* client, const TrelFrameHeader& header,
                       const unsigned char* payload, TrelRoute route) {
    // The handler reads the request from the input area, followed by its NUL.
    std::memcpy(client->inBuf.get(), payload, header.length + 1);
    const TrelHandlerEntry* entry = findHandler(client, header.word);
    int result = entry != nullptr ? callHandler(client, *entry, header, route) : 0;
    explicit_bzero(client->inBuf.get(), header.length + 1);
    if (result == TREL_REPLY_LATER) return;  // the handler's worker answers
    if (!(header.word & TREL_CTRL_REPLY_WANTED)) return;
    uint32_t length = entry == nullptr ? 0 : trelReplyLength(result, client->outBuf.size);
    sendReply(client, route, header,
              entry == nullptr ? TREL_STATUS_NO_HANDLER : trelReplyStatus(result), length);
    explicit_bzero(client->outBuf.get(), TREL_HEADER_SIZE + length);
}

TrelRoute trelBusRoute(TrelClient* client) {
    return TrelRoute{TREL_BUS_CHANNEL, client->generation.load()};
}

bool trelQueueFrameLocked(TrelClient* client, TrelOutQueue* queue, int fd,
                          const TrelFrameHeader& header, const void* payload, bool* failed) {
    unsigned char head[TREL_HEADER_SIZE];
    TrelFrameHeader numbered = header;
    numbered.sequence = trelNextSequence(&client->txSequence);
    trelHeaderEncode(head, numbered, client->byteOrder);
    int64_t now = yebMonoTimeMs();
    *failed = false;
    bool waiting = !queue->empty();  // then the bus thread writes as soon as there is room
    if (!queue->push(head, payload, header.length, now)) return false;
    if (waiting) return true;
    int left = queue->flush(fd, now);
    *failed = left < 0;
    if (left > 0) trelWakeBusThread(client);  // so that it polls for room
    return left >= 0;
}

bool trelQueueBusLocked(TrelClient* client, const TrelFrameHeader& header, const void* payload) {
    if (!client->socket || client->broken) return false;
    bool failed = false;
    if (trelQueueFrameLocked(client, &client->busOut, client->socket.get(), header, payload,
                             &failed)) {
        return true;
    }
    breakBusLocked(client, failed ? "writing to the server failed"
                                  : "the server takes no frames (256 KiB wait for it)");
    return false;
}

bool trelWriteRouteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                          const void* payload) {
    if (route.channel != TREL_BUS_CHANNEL) {
        return trelControlWriteLocked(client, route, header, payload);
    }
    if (!client->connected || client->generation != route.generation) return false;
    return trelQueueBusLocked(client, header, payload);
}

int trelFinishReply(TrelRequest* request, int result) {
    if (result < 0 || !encoderFailed(&request->encoder)) return result;
    // A reply that did not fit is never sent cut: the client gets the reason instead.
    yebLog("reply to request %u does not fit %u bytes, refused\n",
           static_cast<unsigned>(request->apiId), request->replyCapacity);
    return -EMSGSIZE;
}

void trelFlushKeptLocked(TrelClient* client) {
    while (client->keptCount > 0) {
        TrelKeptMessage& message = client->kept[client->keptHead];
        TrelFrameHeader header{TREL_MAGIC, 0,
                               trelControlWord(message.ifaceIndex, message.apiId, false),
                               message.length, 0};
        if (!trelQueueBusLocked(client, header, message.payload.get())) return;
        message = TrelKeptMessage{};
        client->keptHead = (client->keptHead + 1) % TREL_KEPT_MAX;
        --client->keptCount;
    }
}

void trelShutdown(TrelClient* client) {
    trelControlUnlink(client);
    TrelSendLock lock(client);
    // Shut, not closed: the bus thread may be reading it. Nothing is sent any more, and no
    // connection is made again.
    client->stopped = 1;
    client->broken = 1;
    client->busOut.clear();
    if (client->socket) shutdown(client->socket.get(), SHUT_RDWR);
}

void trelCloseConnection(TrelClient* client) {
    yebLog("closing socket");
    {
        // Under the lock, so that no sender writes to a descriptor that is closed or reused.
        TrelSendLock lock(client);
        client->socket.reset();
        client->busOut.clear();
        client->pollSet[0].fd = -1;
        client->connected = 0;
    }
    client->busIn->clear();
    if (client->eventHandler != nullptr) {
        yebLog("calling disconnect handler");
        client->eventHandler(client, TREL_EVENT_DISCONNECTED, client->eventContext);
    } else {
        yebLog("no disconnect handler");
    }
}

int trelPreparePoll(TrelClient* client) {
    int64_t now = yebMonoTimeMs();
    int64_t deadline = -1;
    if (client->connected) {
        TrelSendLock lock(client);
        bool pending = !client->busOut.empty();
        bool reading = client->busOut.size() < TREL_PEER_READ_PAUSE;
        client->pollSet[0].events =
            static_cast<short>((reading ? POLLIN : 0) | (pending ? POLLOUT : 0));
        if (pending) deadline = client->busOut.stallDeadline();
    }
    if (client->connected && client->busIn->partial()) {
        int64_t due = client->busIn->partialDeadline();
        if (deadline < 0 || due < deadline) deadline = due;
    }
    int64_t control = trelControlPrepare(client, now);
    if (control >= 0 && (deadline < 0 || control < deadline)) deadline = control;
    if (deadline < 0) return -1;
    return deadline > now ? static_cast<int>(deadline - now) : 0;
}

void trelExpirePeers(TrelClient* client) {
    int64_t now = yebMonoTimeMs();
    trelControlExpire(client, now);
    if (!client->connected) return;
    {
        TrelSendLock lock(client);
        if (client->busOut.stalled(now)) breakBusLocked(client, "the server took no frame for 5 s");
    }
    if (client->busIn->partial() && now >= client->busIn->partialDeadline()) {
        noteDiscarded(client, 1, "a frame that did not come whole");
        yebLog("trel: frame incomplete after %d ms, reconnecting\n", TREL_FRAME_DEADLINE_MS);
        trelCloseConnection(client);
    }
}

void trelDispatchUntilClosed(TrelClient* client) {
    while (client->connected) {
        int timeoutMs = trelPreparePoll(client);
        int ready = poll(client->pollSet, static_cast<nfds_t>(client->pollCount), timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            yebLog("trel poll failed (errno %d)", errno);
            trelCloseConnection(client);
            return;
        }
        trelRunMonitors(client);
        short busEvents = client->pollSet[0].revents;
        client->pollSet[0].revents = 0;
        if (busEvents != 0 && client->connected) onBusEvents(client, busEvents);
        trelExpirePeers(client);
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
    if (client->connected && trelQueueBusLocked(client, header, payload)) return;
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
