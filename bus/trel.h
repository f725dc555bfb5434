#pragma once
// The trel bus client: records, set-up, connection, frames and messages.
#include <poll.h>
#include <pthread.h>

#include <cstdint>

#include "bus/lk_protocol.h"
#include "codec/codec.h"
#include "platform/platform.h"

struct TrelClient;
struct TrelInterface;
struct TrelRequest;

using TrelRequestHandler = int (*)(TrelRequest* request);
using TrelEventHandler = void (*)(TrelClient* client, int event, void* context);
using TrelIdentityHandler = void (*)(TrelClient* client, Encoder* enc, void* context);
using TrelTimerHandler = void (*)(TrelClient* client, void* context);
using TrelMonitorCallback = void (*)(TrelClient* client, int fd, int returnedEvents, void* context);

constexpr int TREL_MAX_INTERFACES = 16;
constexpr int TREL_MAX_POLL = 32;
constexpr unsigned TREL_MIN_BUF_SIZE = 8192;
constexpr int TREL_EVENT_CONNECTED = 0;
constexpr int TREL_EVENT_DISCONNECTED = 1;
// A control client went away; its channel number is in bits 8 to 15 of the event.
constexpr int TREL_EVENT_CONTROL_CLOSED = 2;
// Channel 0 is the bus connection; 1 to TREL_MAX_CONTROL are the local control clients.
constexpr int TREL_BUS_CHANNEL = 0;
constexpr int TREL_MAX_CONTROL = 16;

// Where a reply or message goes: a channel, as long as it still holds the connection it held
// (its generation advances with every new connection on it).
struct TrelRoute {
    int32_t channel;
    uint32_t generation;
};

// Whether two routes belong to the same peer, the owner of what either made: the bus is one
// peer across its connections; a control client is one connection.
inline bool trelSameOwner(TrelRoute a, TrelRoute b) {
    return a.channel == b.channel &&
           (a.channel == TREL_BUS_CHANNEL || a.generation == b.generation);
}

struct TrelControl;  // the local control socket and its clients (bus/trel_control.h)

struct TrelHandlerEntry {
    TrelRequestHandler handler;
    void* context;
    bool open;  // group members may send it (trelMarkOpen)
};

struct TrelInterface {
    TrelClient* client;
    char* name;  // owned; "" for the default interface
    uint32_t version;
    TrelHandlerEntry* handlers;  // owned, maxId + 1 entries
    uint8_t maxId;
    void* context;
    uint8_t index;
};

struct TrelRequest {
    TrelClient* client;
    TrelInterface* interface;
    uint8_t apiId;
    uint32_t sequence;
    uint32_t replyWanted;
    unsigned char* payload;  // followed by one NUL
    uint32_t length;
    Decoder decoder;
    unsigned char* replyPayload;
    uint32_t replyCapacity;
    Encoder encoder;  // wrapped around replyPayload
    void* context;
    uint8_t magic;    // echoed in the reply
    TrelRoute route;  // the channel the request came on, where its reply and events go
};

// Set-up and configuration.
TrelClient* trelCreate(const char* name, unsigned revision, const char* server,
                       Properties* properties, unsigned inBufSize, unsigned outBufSize);
void trelFree(TrelClient* client);
TrelInterface* trelRegisterInterface(TrelClient* client, const char* name, int maxApiId,
                                     void* context);
int trelRegisterApi(TrelInterface* iface, uint8_t apiId, TrelRequestHandler handler, void* context);
void trelSetEventHandler(TrelClient* client, TrelEventHandler handler, void* context);
void trelSetIdentityHandler(TrelClient* client, TrelIdentityHandler handler, void* context);
void trelSetTimerHandler(TrelClient* client, TrelTimerHandler handler, void* context);
// Messages of this id that find no connection wait (at most TREL_KEPT_MAX, the oldest dropped
// first) and are sent right after the identity of the next connection.
void trelKeepWhileDisconnected(TrelInterface* iface, uint8_t apiId);

// Chooses the server again as trelCreate did (server text first, then properties, the default
// file when null), on the dispatching thread: 1 when it changed, and a connection to the old
// one is closed so that the next goes to the new; 0 when it is the same; -EINVAL for a server
// text that cannot be used.
int trelReloadServer(TrelClient* client, const char* server, Properties* properties);

// The interface every client has (name ""), on which the service registers its requests.
TrelInterface* trelDefaultInterface(TrelClient* client);

// What a peer may do. The bus connection and control clients of root (or of the service's own
// user) may send every request; members of the control socket's group only those marked open
// (they read, and must never be shown secrets); others are not served at all.
// Marks request apiId of iface as one a group member may send.
void trelMarkOpen(TrelInterface* iface, uint8_t apiId);
// Whether the request came from a peer that may change settings and read secrets.
bool trelRequestPrivileged(const TrelRequest* request);

// Things a peer holds on the service (a watch, a probe): a control client that holds any is
// never closed for being idle. Any thread; a route whose connection is gone is ignored.
void trelRouteHold(TrelClient* client, TrelRoute route, int delta);
// Whether the route still names the connection it named (any thread).
bool trelRouteLive(TrelClient* client, TrelRoute route);

// Connection and identity: connects, announces, dispatches and reconnects; never returns.
[[noreturn]] void trelDispatch(TrelClient* client);
// Writes the identity members "name" through "interfaces" into an open JSON object.
void encodeIdentity(Encoder* enc, TrelClient* client);

// Closes the bus socket for good, under the send lock (any thread), and removes the control
// socket's path: used by an orderly stop. No event is reported and later sends are dropped.
void trelShutdown(TrelClient* client);

// Frames.
void trelDispatchUntilClosed(TrelClient* client);
// Sends one message frame (any thread).
void trelSendMsg(TrelInterface* iface, uint8_t apiId, const void* payload, int length);
void trelSendEncoderMsg(TrelInterface* iface, int apiId, Encoder* enc);
// Sends one message frame on a route (any thread); dropped when the route's connection is gone.
// Messages on the bus route follow the keep rule of trelSendMsg.
void trelSendMsgTo(TrelInterface* iface, TrelRoute route, uint8_t apiId, const void* payload,
                   int length);
// The route of the bus connection as it is now.
TrelRoute trelBusRoute(TrelClient* client);
void trelSetTimer(TrelClient* client, int milliseconds);
void trelMonitorFD(TrelClient* client, int fd, int16_t events, TrelMonitorCallback callback,
                   void* context);
void* trelRemoveMonitorFD(TrelClient* client, int fd);
