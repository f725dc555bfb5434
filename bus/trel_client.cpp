#include "bus/trel_client.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "bus/trel_client_state.h"
#include "bus/trel_control.h"
#include "bus/trel_frame.h"
#include "bus/trel_poll.h"
#include "platform/platform.h"

namespace {

constexpr unsigned kKeySize = 80;

struct PropertiesDeleter {
    void operator()(Properties* props) const { propFree(props); }
};
using PropertiesPtr = std::unique_ptr<Properties, PropertiesDeleter>;

struct ClientDeleter {
    void operator()(TrelClient* client) const { trelFree(client); }
};
using ClientPtr = std::unique_ptr<TrelClient, ClientDeleter>;

// A port of 1 to 65535 written in decimal digits only; 0 for anything else.
int parsePort(const char* text) {
    long value = 0;
    return propParseNumber(text, 1, 0xFFFF, &value) ? static_cast<int>(value) : 0;
}

// Where the client connects: the server text of -s or the properties, and its port.
struct ServerChoice {
    MallocPtr<char> host;  // null: "localhost"
    int port = 0;          // 0: not given
};

// A server text's host and port; an unusable port is logged and left to the default.
bool takeServerText(const char* text, ServerChoice* choice) {
    int port = 0;
    MallocPtr<char> host(trelParseServer(text, &port));
    if (!host) return false;
    if (port < 0) yebLog("trel: port of \"%s\" is not 1 to 65535, ignored\n", text);
    choice->host = std::move(host);
    if (port > 0) choice->port = port;
    return true;
}

// The client's own key "trel.<name>.<what>" first, then "trel.<what>".
const char* lookupKey(Properties* props, const char* name, const char* what) {
    char key[kKeySize];
    std::snprintf(key, sizeof key, "trel.%s.%s", name, what);
    if (const char* value = propGet(props, key)) return value;
    std::snprintf(key, sizeof key, "trel.%s", what);
    return propGet(props, key);
}

// Makes the record with its buffers and the bus thread's wake-up descriptor.
TrelClient* allocateClient(unsigned inBufSize, unsigned outBufSize) {
    auto* client = new (std::nothrow) TrelClient;
    if (client == nullptr) return nullptr;
    ClientPtr owned(client);
    client->byteOrder = yebEndian();
    client->inBuf.size = inBufSize > TREL_MIN_BUF_SIZE ? inBufSize : TREL_MIN_BUF_SIZE;
    client->outBuf.size = outBufSize > TREL_MIN_BUF_SIZE ? outBufSize : TREL_MIN_BUF_SIZE;
    client->inBuf.bytes.reset(new (std::nothrow) unsigned char[client->inBuf.size + 16]);
    client->outBuf.bytes.reset(new (std::nothrow) unsigned char[client->outBuf.size + 16]);
    // A frame as long as the input area would leave no room for its NUL: one byte less.
    client->busIn.reset(new (std::nothrow) TrelFrameReader(
        client->inBuf.size - 1, client->byteOrder, TrelFrameReader::Rule::Resync));
    client->wakeFd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!client->inBuf.bytes || !client->outBuf.bytes || !client->busIn || !client->wakeFd) {
        return nullptr;
    }
    return owned.release();
}

}  // namespace

char* trelParseServer(const char* server, int* port) {
    *port = 0;
    const char* portText = nullptr;
    std::string host = server;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return strdup(server);  // let the resolver refuse it
        if (host.size() > close + 1 && host[close + 1] == ':') portText = server + close + 2;
        host = host.substr(1, close - 1);
    } else if (size_t colon = host.find(':');
               colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
        portText = server + colon + 1;  // exactly one colon: host and port
        host.resize(colon);
    }  // two colons or more without brackets: a bare IPv6 address
    if (portText != nullptr) *port = parsePort(portText) > 0 ? parsePort(portText) : -1;
    return strdup(host.c_str());
}

namespace {

// The server: the -s text first, then the properties (the default file when none are given);
// false when a server text cannot be used.
bool chooseServer(const char* name, const char* server, Properties* properties,
                  ServerChoice* choice) {
    if (server != nullptr && !takeServerText(server, choice)) return false;
    PropertiesPtr loaded;
    if (properties == nullptr) {
        loaded.reset(propLoad(LK_PROPERTIES_PATH));
        properties = loaded.get();
    }
    if (properties != nullptr && !choice->host) {
        const char* text = lookupKey(properties, name, "server");
        if (text != nullptr && !takeServerText(text, choice)) return false;
    }
    if (properties != nullptr && choice->port == 0) {
        if (const char* text = lookupKey(properties, name, "port")) {
            choice->port = parsePort(text);
            if (choice->port == 0) yebLog("trel: port \"%s\" is not 1 to 65535, ignored\n", text);
        }
    }
    if (choice->port <= 0) choice->port = TREL_DEFAULT_PORT;
    return true;
}

}  // namespace

TrelClient* trelCreate(const char* name, unsigned revision, const char* server,
                       Properties* properties, unsigned inBufSize, unsigned outBufSize) {
    if (name == nullptr) return nullptr;
    ServerChoice choice;
    if (!chooseServer(name, server, properties, &choice)) return nullptr;
    signal(SIGPIPE, SIG_IGN);

    ClientPtr client(allocateClient(inBufSize, outBufSize));
    if (!client) return nullptr;
    client->revision = revision;
    client->keepAlive = 1;
    client->port = choice.port;
    if (choice.host) {
        yebLog("trel server : %s\n", choice.host.get());
        client->server = std::move(choice.host);
    }
    client->name.reset(strdup(name));
    if (!client->name) return nullptr;
    client->primary = yebIsPrimary();
    client->nodeType = yebNodeType();
    client->nodeName = yebNodeName();
    yebLog("name       : %s\n", client->name.get());
    yebLog("trel port : %d\n", client->port);

    client->pollCount = 1;
    client->pollSet[0].fd = -1;
    trelWatchWakeups(client.get());
    client->defaultInterface = trelRegisterInterface(client.get(), "", 255, nullptr);
    return client.release();
}

int trelReloadServer(TrelClient* client, const char* server, Properties* properties) {
    ServerChoice choice;
    if (!chooseServer(client->name.get(), server, properties, &choice)) return -EINVAL;
    const char* now = client->server ? client->server.get() : "localhost";
    const char* next = choice.host ? choice.host.get() : "localhost";
    if (std::strcmp(now, next) == 0 && choice.port == client->port) return 0;
    yebLog("trel server : %s port %d (was %s port %d)\n", next, choice.port, now, client->port);
    client->server = std::move(choice.host);
    client->port = choice.port;
    client->lastAddress[0] = '\0';
    if (client->connected) trelCloseConnection(client);
    return 1;
}

void trelFree(TrelClient* client) {
    if (client == nullptr) return;
    trelControlFree(client);
    if (client->timerHandler != nullptr && client->timerFd) trelSetTimer(client, 0);
    for (int i = 0; i < client->interfaceCount; ++i) {
        std::free(client->interfaces[i].name);
        std::free(client->interfaces[i].handlers);
    }
    delete client;
}

TrelInterface* trelDefaultInterface(TrelClient* client) {
    return client->defaultInterface;
}

void trelMarkOpen(TrelInterface* iface, uint8_t apiId) {
    if (apiId <= iface->maxId) iface->handlers[apiId].open = true;
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
    iface->handlers[apiId] = TrelHandlerEntry{handler, context, false};
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

void trelKeepWhileDisconnected(TrelInterface* iface, uint8_t apiId) {
    iface->client->keptApis[apiId / 8] |= static_cast<uint8_t>(1u << (apiId % 8));
}

void trelSetTimerHandler(TrelClient* client, TrelTimerHandler handler, void* context) {
    if (client->timerHandler != nullptr) return;
    client->timerHandler = handler;
    client->timerFd.reset(timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC));
    // A descriptor that could not be made stays in the set as -1, which poll skips.
    trelMonitorFD(client, client->timerFd.get(), POLLIN, trelTimerRead, context);
}
