#include "bus/trel_control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bus/trel_frame.h"
#include "bus/trel_lock.h"
#include "platform/platform.h"

struct TrelControlClient {
    int fd = -1;
    uint32_t generation = 0;
    std::vector<unsigned char> input;  // bytes of frames not yet whole
};

struct TrelControl {
    int listenFd = -1;
    std::string path;
    TrelControlClient clients[TREL_MAX_CONTROL];
};

namespace {

constexpr size_t kReadChunk = 4096;

// Frames may carry a key (request 3): bytes gone from the input are wiped, and the input never
// moves to a new block, which would leave the old one behind unwiped.
void dropInput(std::vector<unsigned char>& input, size_t used) {
    size_t size = input.size();
    input.erase(input.begin(), input.begin() + static_cast<long>(used));
    explicit_bzero(input.data() + input.size(), size - input.size());
}

TrelControlClient* clientOf(TrelClient* client, int channel) {
    if (client->control == nullptr || channel < 1 || channel > TREL_MAX_CONTROL) return nullptr;
    return &client->control->clients[channel - 1];
}

int channelOf(TrelClient* client, const TrelControlClient* slot) {
    return static_cast<int>(slot - client->control->clients) + 1;
}

// On the bus thread: the client is gone (or was dropped); its watches end with it.
void closeClient(TrelClient* client, TrelControlClient* slot) {
    int channel = channelOf(client, slot);
    trelRemoveMonitorFD(client, slot->fd);
    {
        TrelSendLock lock(client);
        close(slot->fd);
        slot->fd = -1;
        ++slot->generation;  // replies and events still on their way are dropped
        dropInput(slot->input, slot->input.size());
    }
    yebLog("control client %d closed\n", channel);
    if (client->eventHandler != nullptr) {
        client->eventHandler(client, TREL_EVENT_CONTROL_CLOSED | (channel << 8),
                             client->eventContext);
    }
}

// Handles every whole frame in the client's input; false when the client must go.
bool serveInput(TrelClient* client, TrelControlClient* slot) {
    size_t used = 0;
    while (slot->input.size() - used >= TREL_HEADER_SIZE) {
        const unsigned char* head = slot->input.data() + used;
        TrelFrameHeader header = trelHeaderDecode(head, client->byteOrder);
        // A local tool that speaks wrongly is told so by the end of its connection.
        if (!trelMagicValid(header.magic) || header.length >= client->inBufSize) {
            yebLog("control client %d sent a bad frame header\n", channelOf(client, slot));
            return false;
        }
        if (slot->input.size() - used < TREL_HEADER_SIZE + header.length) break;
        std::memcpy(client->inBuf, head + TREL_HEADER_SIZE, header.length);
        client->inBuf[header.length] = '\0';
        used += TREL_HEADER_SIZE + header.length;
        if (header.word & TREL_CTRL_MESSAGE) {
            trelDispatchFrame(client, header, TrelRoute{channelOf(client, slot), slot->generation});
        }
    }
    dropInput(slot->input, used);
    return true;
}

// Reads what is there without waiting: a slow client never holds the bus thread up.
void onClientReadable(TrelClient* client, int, int, void* context) {
    auto* slot = static_cast<TrelControlClient*>(context);
    // The most the input ever holds: a whole frame of the largest size and one read more.
    slot->input.reserve(TREL_HEADER_SIZE + client->inBufSize + kReadChunk);
    for (;;) {
        size_t had = slot->input.size();
        slot->input.resize(had + kReadChunk);
        ssize_t got = recv(slot->fd, slot->input.data() + had, kReadChunk, MSG_DONTWAIT);
        slot->input.resize(had + static_cast<size_t>(got > 0 ? got : 0));
        if (got > 0) {
            if (slot->input.size() > TREL_HEADER_SIZE + client->inBufSize) break;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        closeClient(client, slot);  // end of stream or an error
        return;
    }
    if (!serveInput(client, slot)) closeClient(client, slot);
}

void onListenReadable(TrelClient* client, int fd, int, void*) {
    int accepted = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) return;
    for (TrelControlClient& slot : client->control->clients) {
        if (slot.fd >= 0) continue;
        {
            TrelSendLock lock(client);
            slot.fd = accepted;
            ++slot.generation;
        }
        trelMonitorFD(client, accepted, POLLIN, onClientReadable, &slot);
        yebLog("control client %d connected\n", channelOf(client, &slot));
        return;
    }
    yebLog("control socket: %d clients already, one more refused\n", TREL_MAX_CONTROL);
    close(accepted);
}

int bindListening(const std::string& path) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd || path.size() >= sizeof address.sun_path) return -ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) unlink(path.c_str());
    mode_t previous = umask(0177);  // the socket is born 0600
    int status = bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(previous);
    if (status != 0 || listen(fd.get(), TREL_MAX_CONTROL) != 0) return -errno;
    return fd.release();
}

}  // namespace

int trelListenControl(TrelClient* client, const char* path) {
    std::string directory = path;
    directory.resize(directory.rfind('/') == std::string::npos ? 0 : directory.rfind('/'));
    if (!directory.empty() && yebMkdirs(directory.c_str(), 0750) != 0) {
        int error = errno;
        yebLog("control socket: cannot make %s: %s\n", directory.c_str(), std::strerror(error));
        return -error;
    }
    if (!directory.empty()) chmod(directory.c_str(), 0750);
    int fd = bindListening(path);
    if (fd < 0) {
        yebLog("control socket %s: %s\n", path, std::strerror(-fd));
        return fd;
    }
    auto* control = new (std::nothrow) TrelControl{};
    if (control == nullptr) {
        close(fd);
        return -ENOMEM;
    }
    control->listenFd = fd;
    control->path = path;
    client->control = control;
    trelMonitorFD(client, fd, POLLIN, onListenReadable, nullptr);
    yebLog("control socket: %s\n", path);
    return 0;
}

bool trelControlWriteLocked(TrelClient* client, TrelRoute route, const TrelFrameHeader& header,
                            const void* payload) {
    TrelControlClient* slot = clientOf(client, route.channel);
    if (slot == nullptr || slot->fd < 0 || slot->generation != route.generation) return false;
    if (trelWriteNumberedLocked(client, slot->fd, header, payload) == 0) return true;
    // The bus thread sees the end of the stream and closes the client.
    yebLog("control client %d takes no frames; dropped\n", route.channel);
    shutdown(slot->fd, SHUT_RDWR);
    return false;
}

void trelControlUnlink(TrelClient* client) {
    if (client->control != nullptr) unlink(client->control->path.c_str());
}

void trelControlFree(TrelClient* client) {
    TrelControl* control = client->control;
    if (control == nullptr) return;
    for (TrelControlClient& slot : control->clients) {
        if (slot.fd >= 0) close(slot.fd);
        dropInput(slot.input, slot.input.size());
    }
    close(control->listenFd);
    unlink(control->path.c_str());
    delete control;
    client->control = nullptr;
}
