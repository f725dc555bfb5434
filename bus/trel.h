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
constexpr int TREL_MAX_CONTROL = 4;

// Where a reply or message goes: a channel, as long as it still holds the connection it held
// (its generation advances with every new connection on it).
struct TrelRoute {
    int32_t channel;
    uint32_t generation;
};

struct TrelControl;  // the local control socket and its clients (bus/trel_control.h)
// Messages kept while there is no connection, for the next one.
constexpr int TREL_KEPT_MAX = 64;

// A message that could not be sent for want of a connection.
struct TrelKeptMessage {
    uint8_t ifaceIndex;
    uint8_t apiId;
    uint32_t length;
    unsigned char* payload;  // owned (malloc)
};

struct TrelHandlerEntry {
    TrelRequestHandler handler;
    void* context;
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

struct TrelMonitor {
    int32_t fd;
    TrelMonitorCallback callback;
    void* context;
};

struct TrelClient {
    char* name;
    uint32_t revision;
    int32_t primary;
    const char* nodeType;  // runtime's static buffer, null until known
    const char* nodeName;
    char* server;  // owned, null means "localhost"
    char lastAddress[50];
    int32_t port;
    int32_t socket;
    int32_t connected;
    TrelInterface interfaces[TREL_MAX_INTERFACES];
    int32_t interfaceCount;
    TrelInterface* defaultInterface;
    struct pollfd pollSet[TREL_MAX_POLL];
    TrelMonitor monitors[TREL_MAX_POLL];
    int32_t pollCount;
    pthread_mutex_t sendLock;
    TrelIdentityHandler identityHandler;
    void* identityContext;
    TrelEventHandler eventHandler;
    void* eventContext;
    TrelTimerHandler timerHandler;
    int32_t keepAlive;
    uint16_t txSequence;
    unsigned char* inBuf;
    uint32_t inBufSize;
    unsigned char* outBuf;
    uint32_t outBufSize;
    int64_t lastConnectMs;
    int32_t retryCount;
    int32_t timerFd;
    int32_t byteOrder;
    // Connection health, and what must survive a reconnection.
    uint32_t generation;     // advances with every connection; a reply for an older one is dropped
    int32_t broken;          // a frame could not go out whole: the connection is made again
    int32_t failedAttempts;  // of the current series of failed connection attempts
    int64_t failingSinceMs;
    int64_t lastFailureLogMs;
    int64_t lastDiscardLogMs;
    int32_t discardedFrames;              // since the last log line about them
    uint8_t keptApis[32];                 // bitmap of message ids kept while disconnected
    TrelKeptMessage kept[TREL_KEPT_MAX];  // ring, oldest at keptHead
    int32_t keptHead;
    int32_t keptCount;
    TrelControl* control;  // owned; null without a control socket
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
