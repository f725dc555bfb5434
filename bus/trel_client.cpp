#include "bus/trel_client.h"

#include <signal.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bus/trel_poll.h"
#include "platform/platform.h"

namespace {

constexpr const char* kDefaultPropertiesPath = "/etc/yeb.properties";
constexpr unsigned kKeySize = 80;

struct PropertiesDeleter {
    void operator()(Properties* props) const { propFree(props); }
};
using PropertiesPtr = std::unique_ptr<Properties, PropertiesDeleter>;

struct ClientDeleter {
    void operator()(TrelClient* client) const { trelFree(client); }
};
using ClientPtr = std::unique_ptr<TrelClient, ClientDeleter>;

// atoi-like: leading decimal digits, 0 when there are none.
int parsePort(const char* text) {
    if (text == nullptr) return 0;
    long value = std::strtol(text, nullptr, 10);
    return value > 0 && value <= 0xFFFF ? static_cast<int>(value) : 0;
}

// The client's own key "trel.<name>.<what>" first, then "trel.<what>".
const char* lookupKey(Properties* props, const char* name, const char* what) {
    char key[kKeySize];
    std::snprintf(key, sizeof key, "trel.%s.%s", name, what);
    if (const char* value = propGet(props, key)) return value;
    std::snprintf(key, sizeof key, "trel.%s", what);
    return propGet(props, key);
}

// Allocates the zeroed record with its buffers; descriptors start closed.
TrelClient* allocateClient(unsigned inBufSize, unsigned outBufSize) {
    auto* client = static_cast<TrelClient*>(std::calloc(1, sizeof(TrelClient)));
    if (client == nullptr) return nullptr;
    client->socket = -1;
    client->timerFd = -1;
    pthread_mutex_init(&client->sendLock, nullptr);
    client->inBufSize = inBufSize > TREL_MIN_BUF_SIZE ? inBufSize : TREL_MIN_BUF_SIZE;
    client->outBufSize = outBufSize > TREL_MIN_BUF_SIZE ? outBufSize : TREL_MIN_BUF_SIZE;
    client->inBuf = static_cast<unsigned char*>(std::malloc(client->inBufSize + 4));
    client->outBuf = static_cast<unsigned char*>(std::malloc(client->outBufSize + 12));
    if (client->inBuf == nullptr || client->outBuf == nullptr) {
        trelFree(client);
        return nullptr;
    }
    return client;
}

}  // namespace

char* trelSplitServer(const char* server, int* port) {
    *port = 0;
    char* host = strdup(server);
    if (host == nullptr) return nullptr;
    if (char* colon = std::strrchr(host, ':')) {
        *colon = '\0';
        *port = parsePort(colon + 1);
    }
    return host;
}

TrelClient* trelCreate(const char* name, unsigned revision, const char* server,
                       Properties* properties, unsigned inBufSize, unsigned outBufSize) {
    if (name == nullptr) return nullptr;
    int port = 0;
    std::unique_ptr<char, decltype(&std::free)> host(nullptr, &std::free);
    if (server != nullptr) {
        host.reset(trelSplitServer(server, &port));
        if (!host) return nullptr;
    }
    signal(SIGPIPE, SIG_IGN);

    ClientPtr client(allocateClient(inBufSize, outBufSize));
    if (!client) return nullptr;
    client->revision = revision;
    client->byteOrder = yebEndian();
    client->keepAlive = 1;

    PropertiesPtr loaded;
    if (properties == nullptr) {
        loaded.reset(propLoad(kDefaultPropertiesPath));
        properties = loaded.get();
    }
    const char* serverHost = host.get();
    if (properties != nullptr) {
        if (serverHost == nullptr) serverHost = lookupKey(properties, name, "server");
        if (port <= 0) port = parsePort(lookupKey(properties, name, "port"));
    }
    client->port = port > 0 ? port : TREL_DEFAULT_PORT;

    if (serverHost != nullptr) {
        yebLog("trel server : %s\n", serverHost);
        client->server = strdup(serverHost);
        if (client->server == nullptr) return nullptr;
    }
    client->name = strdup(name);
    if (client->name == nullptr) return nullptr;
    client->primary = yebIsPrimary();
    client->nodeType = yebNodeType();
    client->nodeName = yebNodeName();
    yebLog("name       : %s\n", client->name);
    yebLog("trel port : %d\n", client->port);

    client->pollCount = 1;
    client->pollSet[0].fd = -1;
    client->defaultInterface = trelRegisterInterface(client.get(), "", 255, nullptr);
    return client.release();
}

void trelFree(TrelClient* client) {
    if (client == nullptr) return;
    if (client->socket >= 0) {
        close(client->socket);
        client->socket = -1;
    }
    if (client->timerHandler != nullptr && client->timerFd >= 0) {
        trelSetTimer(client, 0);
        close(client->timerFd);
    }
    pthread_mutex_destroy(&client->sendLock);
    for (int i = 0; i < client->interfaceCount; ++i) {
        std::free(client->interfaces[i].name);
        std::free(client->interfaces[i].handlers);
    }
    std::free(client->server);
    std::free(client->name);
    std::free(client->inBuf);
    std::free(client->outBuf);
    std::free(client);
}

TrelInterface* trelRegisterInterface(TrelClient* client, const char* name, int maxApiId,
                                     void* context) {
    if (client->interfaceCount >= TREL_MAX_INTERFACES) return nullptr;
    for (int i = 0; i < client->interfaceCount; ++i) {
        if (std::strcmp(client->interfaces[i].name, name) == 0) return nullptr;
    }
    uint8_t maxId = static_cast<uint8_t>(maxApiId & 0xFF);
    if (maxId == 0) maxId = 255;
    char* copy = strdup(name);
    auto* handlers =
        static_cast<TrelHandlerEntry*>(std::calloc(maxId + 1u, sizeof(TrelHandlerEntry)));
    if (copy == nullptr || handlers == nullptr) {
        std::free(copy);
        std::free(handlers);
        return nullptr;
    }
    TrelInterface* iface = &client->interfaces[client->interfaceCount];
    *iface = TrelInterface{
        client, copy, 0, handlers, maxId, context, static_cast<uint8_t>(client->interfaceCount)};
    ++client->interfaceCount;
    return iface;
}

int trelRegisterApi(TrelInterface* iface, uint8_t apiId, TrelRequestHandler handler,
                    void* context) {
    if (iface == nullptr || apiId > iface->maxId) return -1;
    iface->handlers[apiId] = TrelHandlerEntry{handler, context};
    return 0;
}

void trelSetEventHandler(TrelClient* client, TrelEventHandler handler, void* context) {
    client->eventHandler = handler;
    client->eventContext = context;
}

void trelSetIdentityHandler(TrelClient* client, TrelIdentityHandler handler, void* context) {
    client->identityHandler = handler;
    client->identityContext = context;
}

void trelSetTimerHandler(TrelClient* client, TrelTimerHandler handler, void* context) {
    if (client->timerHandler != nullptr) return;
    client->timerHandler = handler;
    client->timerFd = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
    // A descriptor that could not be made stays in the set as -1, which poll skips.
    trelMonitorFD(client, client->timerFd, POLLIN, trelTimerRead, context);
}
