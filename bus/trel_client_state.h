#pragma once
// The bus client's record, private to bus/: the layers above hold a TrelClient* and reach it
// only through the functions of bus/trel.h.
#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "bus/trel.h"
#include "bus/trel_peer.h"
#include "platform/platform.h"

// Messages kept while there is no connection, for the next one.
constexpr int TREL_KEPT_MAX = 64;

// A message that could not be sent for want of a connection.
struct TrelKeptMessage {
    uint8_t ifaceIndex = 0;
    uint8_t apiId = 0;
    uint32_t length = 0;
    MallocPtr<unsigned char> payload;
};

struct TrelMonitor {
    int32_t fd;
    TrelMonitorCallback callback;
    void* context;
};

// A frame area whose bytes (requests and replies may carry keys) are wiped before it is freed.
struct TrelFrameArea {
    std::unique_ptr<unsigned char[]> bytes;
    uint32_t size = 0;  // usable bytes; the area has room for a header and a NUL besides
    ~TrelFrameArea() {
        if (bytes) explicit_bzero(bytes.get(), size + 16);
    }
    unsigned char* get() const { return bytes.get(); }
};

struct TrelClient {
    MallocPtr<char> name;
    uint32_t revision = 0;
    int32_t primary = 0;
    const char* nodeType = nullptr;  // runtime's static buffer, null until known
    const char* nodeName = nullptr;
    MallocPtr<char> server;  // null means "localhost"
    char lastAddress[50] = {};
    int32_t port = 0;
    UniqueFd socket;  // the bus connection; changed under sendLock
    int32_t connected = 0;
    TrelInterface interfaces[TREL_MAX_INTERFACES] = {};
    int32_t interfaceCount = 0;
    TrelInterface* defaultInterface = nullptr;
    struct pollfd pollSet[TREL_MAX_POLL] = {};
    TrelMonitor monitors[TREL_MAX_POLL] = {};
    int32_t pollCount = 0;
    pthread_mutex_t sendLock = PTHREAD_MUTEX_INITIALIZER;
    TrelIdentityHandler identityHandler = nullptr;
    void* identityContext = nullptr;
    TrelEventHandler eventHandler = nullptr;
    void* eventContext = nullptr;
    TrelTimerHandler timerHandler = nullptr;
    int32_t keepAlive = 1;
    uint16_t txSequence = 0;  // under sendLock
    TrelFrameArea inBuf;      // the request being handled (bus thread)
    TrelFrameArea outBuf;     // its reply (bus thread)
    int64_t lastConnectMs = 0;
    int32_t retryCount = 0;
    UniqueFd timerFd;
    int32_t byteOrder = 0;
    // Connection health, and what must survive a reconnection.
    std::atomic<uint32_t> generation{0};  // advances with every connection; read by any thread
    int32_t broken = 0;          // the connection must go (set under sendLock by any thread)
    int32_t stopped = 0;         // trelShutdown: no connection any more (under sendLock)
    int32_t failedAttempts = 0;  // of the current series of failed connection attempts
    int64_t failingSinceMs = 0;
    int64_t lastFailureLogMs = 0;
    int64_t lastDiscardLogMs = 0;
    int32_t discardedFrames = 0;          // since the last log line about them
    uint8_t keptApis[32] = {};            // bitmap of message ids kept while disconnected
    TrelKeptMessage kept[TREL_KEPT_MAX];  // ring, oldest at keptHead
    int32_t keptHead = 0;
    int32_t keptCount = 0;
    // The bus connection as a peer: its output (under sendLock) and its input (bus thread).
    TrelOutQueue busOut;
    std::unique_ptr<TrelFrameReader> busIn;
    // Written by a thread that left output queued, so that the bus thread polls for it.
    UniqueFd wakeFd;
    TrelControl* control = nullptr;  // owned; null without a control socket

    ~TrelClient() { pthread_mutex_destroy(&sendLock); }
};

// Asks the bus thread to look at the peers again (queued output, a dropped peer). Any thread.
void trelWakeBusThread(TrelClient* client);
// Puts the wake-up descriptor among the monitored ones (at creation).
void trelWatchWakeups(TrelClient* client);
