#include "bus/trel_control.h"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bus/trel_client_state.h"
#include "bus/trel_frame.h"
#include "bus/trel_lock.h"
#include "bus/trel_poll.h"
#include "platform/platform.h"

struct TrelControlClient {
    UniqueFd fd;                          // changed under sendLock
    uint32_t generation = 0;              // under sendLock
    TrelOutQueue out;                     // under sendLock
    const char* dropWhy = nullptr;        // under sendLock: it must go; what it sent is not served
    int holds = 0;                        // under sendLock: watches, probes, requests in progress
    bool privileged = false;              // under sendLock: root or our own user
    std::unique_ptr<TrelFrameReader> in;  // bus thread, as the rest
    int64_t lastInputMs = 0;
    bool readEnded = false;  // end of stream seen: what it asked is answered, then it is closed
};

struct TrelControl {
    UniqueFd listenFd;
    std::string path;
    dev_t device = 0;  // of the socket we bound, so that only it is ever removed
    ino_t inode = 0;
    bool hasGroup = false;
    gid_t group = 0;
    int64_t idleMs = 0;
    char idleWhy[64] = "";  // the log's reason for closing an idle client
    TrelControlClient clients[TREL_MAX_CONTROL];
};

namespace {

TrelControlClient* clientOf(TrelClient* client, int channel) {
    if (client->control == nullptr || channel < 1 || channel > TREL_MAX_CONTROL) return nullptr;
    return &client->control->clients[channel - 1];
}

int channelOf(TrelClient* client, const TrelControlClient* slot) {
    return static_cast<int>(slot - client->control->clients) + 1;
}

// The slot while it holds the connection the route names; the caller holds sendLock.
TrelControlClient* liveSlotLocked(TrelClient* client, TrelRoute route) {
    TrelControlClient* slot = clientOf(client, route.channel);
    if (slot == nullptr || !slot->fd || slot->generation != route.generation) return nullptr;
    return slot;
}

// On the bus thread: the client is gone or dropped (one log line); its watches end with it.
void closeClient(TrelClient* client, TrelControlClient* slot, const char* why) {
    int channel = channelOf(client, slot);
    trelRemoveMonitorFD(client, slot->fd.get());
    {
        TrelSendLock lock(client);
        slot->fd.reset();
        ++slot->generation;  // replies and events still on their way are dropped
        slot->out.clear();
        slot->dropWhy = nullptr;
        slot->holds = 0;
    }
    slot->in.reset();
    yebLog("control client %d closed: %s\n", channel, why);
    if (client->eventHandler != nullptr) {
        client->eventHandler(client, TREL_EVENT_CONTROL_CLOSED | (channel << 8),
                             client->eventContext);
    }
}

bool droppedNow(TrelClient* client, TrelControlClient* slot) {
    TrelSendLock lock(client);
    return slot->dropWhy != nullptr;
}

// Handles every whole frame read from the client; false when its stream is bad.
bool serveInput(TrelClient* client, TrelControlClient* slot) {
    TrelFrameHeader header{};
    const unsigned char* payload = nullptr;
    int found;
    // Frames of a client that was dropped meanwhile are thrown away, not served.
    while (!droppedNow(client, slot) && (found = slot->in->next(&header, &payload)) == 1) {
        if (!(header.word & TREL_CTRL_MESSAGE)) continue;
        uint32_t generation;
        {
            TrelSendLock lock(client);
            generation = slot->generation;
        }
        trelDispatchFrame(client, header, payload, TrelRoute{channelOf(client, slot), generation});
    }
    return found >= 0;
}

void onClientEvents(TrelClient* client, int fd, int events, void* context) {
    auto* slot = static_cast<TrelControlClient*>(context);
    int64_t now = yebMonoTimeMs();
    if (events & POLLOUT) {
        TrelSendLock lock(client);
        if (slot->out.flush(fd, now) < 0 && slot->dropWhy == nullptr) {
            slot->dropWhy = "its connection failed";
        }
    }
    if (!slot->readEnded && (events & (POLLIN | POLLHUP | POLLERR))) {
        slot->lastInputMs = now;
        slot->readEnded = trelReadTurn(fd, slot->in.get(), now);
        // A request that came with the end of the stream is still answered.
        if (!serveInput(client, slot)) {
            closeClient(client, slot, "it sent a bad frame header");
            return;
        }
    }
    // Gone both ways: nothing can reach it any more. Half-closed: see trelControlExpire.
    if (slot->readEnded && (events & (POLLHUP | POLLERR)))
        closeClient(client, slot, "it went away");
}

// Who the peer is: 1 for root or our own user, 0 for a member of the group, -1 for others.
int accessOf(TrelClient* client, int fd, uid_t* uid) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return -1;
    *uid = credentials.uid;
    if (credentials.uid == 0 || credentials.uid == geteuid()) return 1;
    if (!client->control->hasGroup) return -1;
    if (credentials.gid == client->control->group) return 0;
    gid_t groups[256];
    length = sizeof groups;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &length) != 0) return -1;
    for (size_t i = 0; i < length / sizeof(gid_t); ++i) {
        if (groups[i] == client->control->group) return 0;
    }
    return -1;
}

void onListenReadable(TrelClient* client, int fd, int, void*) {
    UniqueFd accepted(accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!accepted) return;
    uid_t uid = 0;
    int access = accessOf(client, accepted.get(), &uid);
    if (access < 0) {
        yebLog("control socket: a client of uid %u refused: neither root nor in its group\n", uid);
        return;
    }
    for (TrelControlClient& slot : client->control->clients) {
        if (slot.fd) continue;
        slot.in.reset(new (std::nothrow) TrelFrameReader(client->inBuf.size - 1, client->byteOrder,
                                                         TrelFrameReader::Rule::Strict));
        if (!slot.in) return;
        slot.lastInputMs = yebMonoTimeMs();
        slot.readEnded = false;
        int raw = accepted.get();
        {
            TrelSendLock lock(client);
            slot.fd = std::move(accepted);
            ++slot.generation;
            slot.privileged = access > 0;
        }
        trelMonitorFD(client, raw, POLLIN, onClientEvents, &slot);
        yebLog("control client %d connected (uid %u%s)\n", channelOf(client, &slot), uid,
               access > 0 ? "" : ", reads only");
        return;
    }
    yebLog("control socket: %d clients already, one more refused\n", TREL_MAX_CONTROL);
}

// The directory of the socket: made when missing, else checked and left as it is.
int checkDirectory(const std::string& directory, const TrelControl& control) {
    struct stat info {};
    if (lstat(directory.c_str(), &info) != 0 && errno == ENOENT) {
        if (mkdir(directory.c_str(), 0750) != 0) return -errno;
        if (control.hasGroup && lchown(directory.c_str(), static_cast<uid_t>(-1), control.group)) {
            return -errno;
        }
    }
    if (lstat(directory.c_str(), &info) != 0) return -errno;
    const char* refusal = nullptr;
    if (S_ISLNK(info.st_mode)) {
        refusal = "it is a symbolic link";
    } else if (!S_ISDIR(info.st_mode)) {
        refusal = "it is not a directory";
    } else if (info.st_uid != 0 && info.st_uid != geteuid()) {
        refusal = "it belongs to another user";
    } else if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        refusal = "others may write to it";
    }
    if (refusal == nullptr) return 0;
    yebLog("control socket: refusing the directory %s: %s (mode %04o, owner %u)\n",
           directory.c_str(), refusal, static_cast<unsigned>(info.st_mode & 07777), info.st_uid);
    return -EPERM;
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A socket file at path: replaced when nobody listens on it (stale), else left alone.
int clearStaleSocket(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : -errno;
    if (!S_ISSOCK(info.st_mode)) {
        yebLog("control socket: %s exists and is not a socket; refusing it\n", path.c_str());
        return -EEXIST;
    }
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address = addressOf(path);
    if (probe && connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno == ECONNREFUSED) {
        return unlink(path.c_str()) == 0 ? 0 : -errno;
    }
    yebLog("control socket: another process serves %s; not taking it over\n", path.c_str());
    return -EADDRINUSE;
}

int bindListening(TrelControl* control) {
    const std::string& path = control->path;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return -errno;
    sockaddr_un address = addressOf(path);
    // Born 0660 with a group, 0600 without: never readable by others for a moment.
    mode_t previous = umask(control->hasGroup ? 0117 : 0177);
    int status = bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(previous);
    if (status != 0) return -errno;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return -errno;
    control->device = info.st_dev;
    control->inode = info.st_ino;
    if (control->hasGroup && lchown(path.c_str(), static_cast<uid_t>(-1), control->group) != 0) {
        return -errno;
    }
    if (listen(fd.get(), TREL_MAX_CONTROL) != 0) return -errno;
    return fd.release();
}

// The group's id, when it names one.
bool findGroup(const char* name, gid_t* gid) {
    if (name == nullptr || *name == '\0') return false;
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        yebLog("control socket: no group \"%s\": the socket is for root only\n", name);
        return false;
    }
    *gid = found->gr_gid;
    return true;
}

// Sets up everything but the monitor; 0 or -errno (logged).
int openControl(TrelControl* control, const char* group) {
    std::string& path = control->path;
    if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) return -ENAMETOOLONG;
    control->hasGroup = findGroup(group, &control->group);
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    if (directory.empty()) directory = "/";
    if (int status = checkDirectory(directory, *control); status != 0) return status;
    if (int status = clearStaleSocket(path); status != 0) return status;
    int fd = bindListening(control);
    if (fd < 0) return fd;
    control->listenFd.reset(fd);
    return 0;
}

}  // namespace

int trelListenControl(TrelClient* client, const char* path, const char* group, int idleSeconds) {
    auto* control = new (std::nothrow) TrelControl{};
    if (control == nullptr) return -ENOMEM;
    control->path = path;
    control->idleMs = int64_t{idleSeconds} * 1000;
    std::snprintf(control->idleWhy, sizeof control->idleWhy,
                  "it sent nothing for %d s and holds nothing", idleSeconds);
    int status = openControl(control, group);
    if (status != 0) {
        if (status != -EPERM && status != -EADDRINUSE && status != -EEXIST) {
            yebLog("control socket %s: %s\n", path, std::strerror(-status));
        }
        if (control->inode != 0) unlink(path);
        delete control;
        return status;
    }
    {
        TrelSendLock lock(client);  // the stop thread may look for it (trelControlUnlink)
        client->control = control;
    }
    trelMonitorFD(client, control->listenFd.get(), POLLIN, onListenReadable, nullptr);
    yebLog("control socket: %s\n", path);
    return 0;
}

bool trelControlWriteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                            const void* payload) {
    TrelControlClient* slot = liveSlotLocked(client, route);
    if (slot == nullptr || slot->dropWhy != nullptr) return false;
    bool failed = false;
    if (trelQueueFrameLocked(client, &slot->out, slot->fd.get(), header, payload, &failed)) {
        return true;
    }
    // The bus thread closes it; until then nothing more is queued or served for it.
    slot->dropWhy = failed ? "its connection failed" : "it takes no frames (256 KiB wait for it)";
    slot->out.clear();
    trelWakeBusThread(client);
    return false;
}

int64_t trelControlPrepare(TrelClient* client, int64_t nowMs) {
    if (client->control == nullptr) return -1;
    int64_t next = -1;
    auto consider = [&next](int64_t due) {
        if (next < 0 || due < next) next = due;
    };
    for (TrelControlClient& slot : client->control->clients) {
        if (!slot.fd) continue;
        TrelSendLock lock(client);
        bool pending = !slot.out.empty();
        bool reading = !slot.readEnded && slot.out.size() < TREL_PEER_READ_PAUSE;
        short events = static_cast<short>((reading ? POLLIN : 0) | (pending ? POLLOUT : 0));
        trelMonitorEvents(client, slot.fd.get(), events);
        if (slot.dropWhy != nullptr) consider(nowMs);
        if (pending) consider(slot.out.stallDeadline());
        if (slot.in->partial()) consider(slot.in->partialDeadline());
        if (slot.holds <= 0)
            consider(slot.readEnded ? nowMs : slot.lastInputMs + client->control->idleMs);
    }
    return next;
}

void trelControlExpire(TrelClient* client, int64_t nowMs) {
    if (client->control == nullptr) return;
    for (TrelControlClient& slot : client->control->clients) {
        if (!slot.fd) continue;
        const char* why = nullptr;
        {
            TrelSendLock lock(client);
            bool idle = slot.holds <= 0 && slot.out.empty();
            if (slot.dropWhy != nullptr) {
                why = slot.dropWhy;
            } else if (slot.out.stalled(nowMs)) {
                why = "it took no frame for 5 s";
            } else if (slot.in->partial() && nowMs >= slot.in->partialDeadline()) {
                why = "it left a frame unfinished for 5 s";
            } else if (idle && slot.readEnded) {
                why = "it ended its stream";
            } else if (idle && nowMs - slot.lastInputMs >= client->control->idleMs) {
                why = client->control->idleWhy;
            }
        }
        if (why != nullptr) closeClient(client, &slot, why);
    }
}

void trelRouteHold(TrelClient* client, TrelRoute route, int delta) {
    if (client == nullptr || route.channel == TREL_BUS_CHANNEL) return;
    TrelSendLock lock(client);
    TrelControlClient* slot = liveSlotLocked(client, route);
    if (slot == nullptr) return;
    slot->holds += delta;
    if (slot->holds <= 0) trelWakeBusThread(client);  // it may be due to close now
}

bool trelRouteLive(TrelClient* client, TrelRoute route) {
    if (client == nullptr) return false;  // no client: no connection
    TrelSendLock lock(client);
    if (route.channel == TREL_BUS_CHANNEL) {
        return client->connected && !client->broken && client->generation == route.generation;
    }
    TrelControlClient* slot = liveSlotLocked(client, route);
    return slot != nullptr && slot->dropWhy == nullptr;
}

bool trelRequestPrivileged(const TrelRequest* request) {
    if (request->route.channel == TREL_BUS_CHANNEL) return true;
    TrelSendLock lock(request->client);
    TrelControlClient* slot = liveSlotLocked(request->client, request->route);
    return slot != nullptr && slot->privileged;
}

void trelControlUnlink(TrelClient* client) {
    TrelSendLock lock(client);
    TrelControl* control = client->control;
    if (control == nullptr) return;
    struct stat info {};
    // Only our own socket: a path taken over meanwhile belongs to someone else.
    if (lstat(control->path.c_str(), &info) == 0 && info.st_dev == control->device &&
        info.st_ino == control->inode) {
        unlink(control->path.c_str());
    }
}

void trelControlFree(TrelClient* client) {
    TrelControl* control = client->control;
    if (control == nullptr) return;
    trelControlUnlink(client);
    delete control;
    client->control = nullptr;
}
