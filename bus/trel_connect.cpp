#include "bus/trel_connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bus/trel_client_state.h"
#include "bus/trel_control.h"
#include "bus/trel_frame.h"
#include "bus/trel_lock.h"
#include "bus/trel_poll.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace {

constexpr int kNodeFactPollMs = 100;
// Lines about a state that lasts (no node facts, no server) repeat at most this often.
constexpr int64_t kRepeatLogMs = 60000;

// The bus name of a node is only known once the platform has written its facts.
void waitForNodeFacts(TrelClient* client) {
    int64_t loggedMs = 0;
    while ((client->nodeType = yebNodeType()) == nullptr ||
           (client->nodeName = yebNodeName()) == nullptr) {
        int64_t now = yebMonoTimeMs();
        if (loggedMs == 0 || now - loggedMs >= kRepeatLogMs) {
            yebLog("trel: waiting for the node's type and name under /run/yeb\n");
            yebNotifyStatus("waiting for node facts");
            loggedMs = now;
        }
        trelPollServingMonitors(client, -1, 0, kNodeFactPollMs);
    }
    yebLog("nodeType : %s", client->nodeType);
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

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Waits for a non-blocking connect to finish; 0 or the errno that ended it.
int awaitConnected(TrelClient* client, int fd) {
    int64_t deadline = yebMonoTimeMs() + TREL_CONNECT_TIMEOUT_MS;
    for (int64_t left; (left = deadline - yebMonoTimeMs()) > 0;) {
        if (trelPollServingMonitors(client, fd, POLLOUT, static_cast<int>(left)) == 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
        return error;
    }
    return ETIMEDOUT;
}

// One address: the connected socket, or -1 with the reason.
int connectAddress(TrelClient* client, const SockAddrInfo& address, std::string* reason) {
    UniqueFd fd(socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int error = fd ? 0 : errno;
    if (fd) {
        setSocketOptions(fd.get(), client->keepAlive != 0);
        if (!setNonBlocking(fd.get())) {
            error = errno;
        } else if (connect(fd.get(), address.address, address.length) != 0) {
            error = errno == EINPROGRESS ? awaitConnected(client, fd.get()) : errno;
        }
    }
    if (error == 0) return fd.release();
    *reason = std::string(address.text) + ": " + std::strerror(error);
    return -1;
}

// Builds the identity message in the output buffer; its length with the NUL, or -1.
int buildIdentity(TrelClient* client) {
    Encoder enc;
    encoderWrap(&enc, client->outBuf.get(), static_cast<int>(client->outBuf.size));
    encodeJsonStart(&enc);
    encodeJsonObjectStart(&enc);
    encodeIdentity(&enc, client);
    if (client->identityHandler != nullptr) {
        client->identityHandler(client, &enc, client->identityContext);
    }
    encodeJsonObjectEnd(&enc);
    if (encodeJsonEnd(&enc) != 0) return -1;
    return static_cast<int>(std::strlen(reinterpret_cast<const char*>(client->outBuf.get()))) + 1;
}

const char* serverName(const TrelClient* client) {
    return client->server ? client->server.get() : "localhost";
}

// The first failure of a series is logged with its reason, then one line a minute at most.
void noteFailedAttempt(TrelClient* client, const std::string& reason) {
    int64_t now = yebMonoTimeMs();
    if (client->failedAttempts++ == 0) {
        client->failingSinceMs = now;
        client->lastFailureLogMs = now;
        yebLog("trel: cannot reach the bus server %s port %d (%s); retrying\n", serverName(client),
               client->port, reason.c_str());
        yebNotifyStatus("connecting to %s:%d", serverName(client), client->port);
    } else if (now - client->lastFailureLogMs >= kRepeatLogMs) {
        client->lastFailureLogMs = now;
        yebLog("trel: still no bus server after %d attempts (%s)\n", client->failedAttempts,
               reason.c_str());
    }
}

void noteConnected(TrelClient* client) {
    if (client->failedAttempts > 0) {
        yebLog("trel: connected after %d failed attempts in %.1f s\n", client->failedAttempts,
               static_cast<double>(yebMonoTimeMs() - client->failingSinceMs) / 1000.0);
    }
    client->failedAttempts = 0;
    yebNotifyStatus("connected to %s:%d", client->lastAddress, client->port);
}

// Attempts until one connection is up.
int connectWithBackoff(TrelClient* client) {
    if (yebMonoTimeMs() - client->lastConnectMs > TREL_SERIES_RESET_MS) client->retryCount = 0;
    for (;;) {
        trelPollServingMonitors(client, -1, 0, trelBackoffDelayMs(&client->retryCount));
        std::string reason;
        int fd = trelConnectOnce(client, &reason);
        if (fd >= 0) return fd;
        noteFailedAttempt(client, reason);
    }
}

}  // namespace

short trelPollServingMonitors(TrelClient* client, int fd, short events, int timeoutMs) {
    int64_t deadline = timeoutMs < 0 ? -1 : yebMonoTimeMs() + timeoutMs;
    for (;;) {
        // Entry 0 stands for fd; the monitors follow as in the client's poll set. The peers'
        // deadlines cut a wait short without ending it.
        int waitMs =
            deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(deadline - yebMonoTimeMs(), 0));
        int peersMs = trelPreparePoll(client);
        if (peersMs >= 0 && (waitMs < 0 || peersMs < waitMs)) waitMs = peersMs;
        pollfd set[TREL_MAX_POLL];
        set[0] = pollfd{fd, events, 0};
        for (int i = 1; i < client->pollCount; ++i) set[i] = client->pollSet[i];
        int ready = poll(set, static_cast<nfds_t>(client->pollCount), waitMs);
        if (ready < 0 && errno != EINTR) return 0;
        if (ready > 0) {
            for (int i = 1; i < client->pollCount; ++i) client->pollSet[i].revents = set[i].revents;
            trelRunMonitors(client);
        }
        trelExpirePeers(client);
        if (ready > 0 && set[0].revents != 0) return set[0].revents;
        if (deadline >= 0 && yebMonoTimeMs() >= deadline) return 0;
    }
}

int trelBackoffDelayMs(int32_t* retryCount) {
    int n = *retryCount;
    if (n >= 30) return 2500;
    *retryCount = n + 1;
    return (n - 20 > 1 ? n - 20 : 1) * 250;
}

int trelConnectOnce(TrelClient* client, std::string* reason) {
    int error = 0;
    std::vector<SockAddrInfoPtr> addresses =
        getSockAddrInfoList(client->server.get(), client->port, &error);
    if (addresses.empty()) {
        *reason = std::string(serverName(client)) + ": " +
                  (error != 0 ? gai_strerror(error) : "no address");
        return -1;
    }
    for (const SockAddrInfoPtr& address : addresses) {
        int fd = connectAddress(client, *address, reason);
        if (fd < 0) continue;
        if (std::strncmp(address->text, client->lastAddress, sizeof client->lastAddress) != 0) {
            yebLog("trel addr : %s", address->text);
            std::snprintf(client->lastAddress, sizeof client->lastAddress, "%.49s", address->text);
        }
        return fd;
    }
    return -1;
}

int trelAttachSocket(TrelClient* client, int fd) {
    UniqueFd owned(fd);
    int length = buildIdentity(client);
    if (length < 0) {
        yebLog("trel identity does not fit %u bytes", client->outBuf.size);
        return -1;
    }
    if (!setNonBlocking(owned.get())) return -1;
    {
        // The identity must be the first bytes of the connection: no message of another thread
        // may reach the socket before it. Kept messages follow it at once.
        TrelSendLock lock(client);
        if (client->stopped) return -1;
        client->busOut.clear();
        bool queued = client->busOut.pushBytes(client->outBuf.get(), static_cast<size_t>(length),
                                               yebMonoTimeMs());
        explicit_bzero(client->outBuf.get(), static_cast<size_t>(length));
        if (!queued || client->busOut.flush(owned.get(), yebMonoTimeMs()) < 0) {
            client->busOut.clear();
            yebLog("trel: the identity could not be written, reconnecting\n");
            return -1;
        }
        client->socket = std::move(owned);
        client->connected = 1;
        client->broken = 0;
        ++client->generation;
        client->lastConnectMs = yebMonoTimeMs();
        client->pollSet[0] = pollfd{client->socket.get(), POLLIN, 0};
        trelFlushKeptLocked(client);
    }
    noteConnected(client);
    if (client->eventHandler != nullptr) {
        client->eventHandler(client, TREL_EVENT_CONNECTED, client->eventContext);
    }
    return 0;
}

void encodeIdentity(Encoder* enc, TrelClient* client) {
    encodeJsonName(enc, "name");
    encodeJsonStrValue(enc, client->name.get());
    encodeJsonName(enc, "revision");
    encodeJsonIntValue(enc, static_cast<int>(client->revision));
    encodeJsonName(enc, "primary");
    encodeJsonStrValue(enc, client->primary ? "true" : "false");
    encodeJsonName(enc, "nodeType");
    encodeJsonStrValue(enc, client->nodeType);
    encodeJsonName(enc, "nodeName");
    encodeJsonStrValue(enc, client->nodeName);
    encodeJsonName(enc, "inBufSize");
    encodeJsonIntValue(enc, static_cast<int>(client->inBuf.size - 16));
    encodeJsonName(enc, "outBufSize");
    encodeJsonIntValue(enc, static_cast<int>(client->outBuf.size - 16));
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
