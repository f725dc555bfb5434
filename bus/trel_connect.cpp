#include "bus/trel_connect.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdio>
#include <cstring>

#include "bus/trel_frame.h"
#include "bus/trel_lock.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace {

constexpr int kNodeFactPollMs = 100;

void sleepMs(int milliseconds) {
    timespec delay{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

// The bus name of a node is only known once the platform has written its facts.
void waitForNodeFacts(TrelClient* client) {
    while ((client->nodeType = yebNodeType()) == nullptr) sleepMs(kNodeFactPollMs);
    yebLog("nodeType : %s", client->nodeType);
    while ((client->nodeName = yebNodeName()) == nullptr) sleepMs(kNodeFactPollMs);
    yebLog("nodeName : %s", client->nodeName);
}

void setSocketOptions(int fd, bool keepAlive) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!keepAlive) return;
    int idle = 10, count = 5, interval = 5;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
}

bool setBlocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

// Waits for a non-blocking connect to finish. poll rather than select: the descriptor may lie
// above FD_SETSIZE.
bool awaitConnected(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&entry, 1, TREL_CONNECT_TIMEOUT_MS);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// Builds the identity message in the output buffer; its length with the NUL, or -1.
int buildIdentity(TrelClient* client) {
    Encoder enc;
    encoderWrap(&enc, client->outBuf, static_cast<int>(client->outBufSize));
    encodeJsonStart(&enc);
    encodeJsonObjectStart(&enc);
    encodeIdentity(&enc, client);
    if (client->identityHandler != nullptr) {
        client->identityHandler(client, &enc, client->identityContext);
    }
    encodeJsonObjectEnd(&enc);
    if (encodeJsonEnd(&enc) != 0) return -1;
    return static_cast<int>(std::strlen(reinterpret_cast<const char*>(client->outBuf))) + 1;
}

// Attempts until one connection is up.
int connectWithBackoff(TrelClient* client) {
    if (yebMonoTimeMs() - client->lastConnectMs > TREL_SERIES_RESET_MS) client->retryCount = 0;
    for (;;) {
        sleepMs(trelBackoffDelayMs(&client->retryCount));
        int fd = trelConnectOnce(client);
        if (fd >= 0) return fd;
    }
}

}  // namespace

int trelBackoffDelayMs(int32_t* retryCount) {
    int n = *retryCount;
    if (n >= 30) return 2500;
    *retryCount = n + 1;
    return (n - 20 > 1 ? n - 20 : 1) * 250;
}

int trelConnectOnce(TrelClient* client) {
    SockAddrInfoPtr address(getSockAddrInfo(client->server, client->port));
    if (!address) return -1;
    if (std::strncmp(address->text, client->lastAddress, sizeof client->lastAddress) != 0) {
        yebLog("trel addr : %s", address->text);
        // Printable IPv6 addresses need at most 46 bytes, so nothing is cut in practice.
        std::snprintf(client->lastAddress, sizeof client->lastAddress, "%.49s", address->text);
    }
    UniqueFd fd(socket(address->family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return -1;
    setSocketOptions(fd.get(), client->keepAlive != 0);
    if (!setBlocking(fd.get(), false)) return -1;
    if (connect(fd.get(), address->address, address->length) != 0) {
        if (errno != EINPROGRESS || !awaitConnected(fd.get())) return -1;
    }
    if (!setBlocking(fd.get(), true)) return -1;
    return fd.release();
}

int trelAttachSocket(TrelClient* client, int fd) {
    UniqueFd owned(fd);
    int length = buildIdentity(client);
    if (length < 0) {
        yebLog("trel identity does not fit %u bytes", client->outBufSize);
        return -1;
    }
    {
        // The identity must be the first bytes of the connection: no message of another thread
        // may reach the socket before it.
        TrelSendLock lock(client);
        client->socket = owned.release();
        client->connected = 1;
        client->lastConnectMs = yebMonoTimeMs();
        client->pollSet[0] = pollfd{client->socket, POLLIN, 0};
        trelWriteAll(client->socket, client->outBuf, static_cast<uint32_t>(length));
    }
    if (client->eventHandler != nullptr) {
        client->eventHandler(client, TREL_EVENT_CONNECTED, client->eventContext);
    }
    return 0;
}

void encodeIdentity(Encoder* enc, TrelClient* client) {
    encodeJsonName(enc, "name");
    encodeJsonStrValue(enc, client->name);
    encodeJsonName(enc, "revision");
    encodeJsonIntValue(enc, static_cast<int>(client->revision));
    encodeJsonName(enc, "primary");
    encodeJsonStrValue(enc, client->primary ? "true" : "false");
    encodeJsonName(enc, "nodeType");
    encodeJsonStrValue(enc, client->nodeType);
    encodeJsonName(enc, "nodeName");
    encodeJsonStrValue(enc, client->nodeName);
    encodeJsonName(enc, "inBufSize");
    encodeJsonIntValue(enc, static_cast<int>(client->inBufSize - 16));
    encodeJsonName(enc, "outBufSize");
    encodeJsonIntValue(enc, static_cast<int>(client->outBufSize - 16));
    encodeJsonName(enc, "protocol");
    encodeJsonStrValue(enc, "binaryMsg");
    encodeJsonName(enc, "byteOrder");
    encodeJsonStrValue(enc, client->byteOrder == 0 ? "LITTLE_ENDIAN" : "BIG_ENDIAN");
    encodeJsonName(enc, "interfaces");
    encodeJsonListStart(enc);
    for (int i = 0; i < client->interfaceCount; ++i) {
        const TrelInterface& iface = client->interfaces[i];
        encodeJsonObjectStart(enc);
        encodeJsonName(enc, "name");
        encodeJsonStrValue(enc, iface.name);
        encodeJsonName(enc, "version");
        encodeJsonIntValue(enc, static_cast<int>(iface.version));
        encodeJsonObjectEnd(enc);
        yebLog("iface: %s : %d", iface.name, static_cast<int>(iface.version));
    }
    encodeJsonListEnd(enc);
}

void trelDispatch(TrelClient* client) {
    waitForNodeFacts(client);
    for (;;) {
        if (client->connected) trelDispatchUntilClosed(client);
        while (trelAttachSocket(client, connectWithBackoff(client)) != 0) {
        }
    }
}
