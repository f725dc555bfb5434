// How many device-state events per second the daemon's event path turns into bus frames, with
// NetworkManager out of the way: a state event as the watches write it is sent EVENTS times with
// increasing state numbers on a bus client attached to one end of a socketpair, while a reader
// on the other end decodes the frames by the wire format of docs/api.md and checks that every
// event arrives once and in order. Two floors, measured in the same run: the same frames made
// with snprintf and written with one write each (the pipe's own cost), and TCP loopback round
// trips of such a frame (what any bus round trip costs at the least).
//
// Usage: bench_events [EVENTS]   (default 200000; needs no privileges, writes no file)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "bus/bus.h"
#include "bus/trel_client_state.h"
#include "bus/trel_connect.h"
#include "nm/nm.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 20000;
constexpr char kStateKey[] = "\"nmdevicestate\":";

double seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// What the reader saw: event frames, whether each carried the next state number and the next
// 14-bit sequence number, and whether each was a well-formed message 6.
struct Received {
    long frames = 0;
    unsigned firstSequence = 0;
    bool inOrder = true;
    bool wellFormed = true;
    Clock::time_point last;
};

// Checks one frame (header: magic, status, control word, length bits 0-15, sequence | length
// bits 16-17 << 14; little-endian).
void checkFrame(const unsigned char* h, size_t length, Received* seen) {
    unsigned control = h[2] | h[3] << 8;
    unsigned sequence = (h[6] | h[7] << 8) & 0x3FFF;
    const char* payload = reinterpret_cast<const char*>(h + 8);
    auto* state = static_cast<const char*>(memmem(payload, length, kStateKey, strlen(kStateKey)));
    if (seen->frames == 0) seen->firstSequence = sequence;
    if ((h[0] & 0xFE) != 0x24 || h[1] != 0 || control != (0x8000u | 6) || state == nullptr ||
        length == 0 || payload[length - 1] != '\0') {
        seen->wellFormed = false;
    } else if (strtol(state + strlen(kStateKey), nullptr, 10) != seen->frames ||
               sequence != ((seen->firstSequence + seen->frames) & 0x3FFF)) {
        seen->inOrder = false;
    }
    ++seen->frames;
}

// Reads until `expected` frames have arrived or the peer closed. With identityFirst, the
// bytes up to the first NUL (the client's identity) come before the frames.
Received readFrames(int fd, long expected, bool identityFirst) {
    Received seen;
    std::vector<unsigned char> buf(1 << 20);
    size_t have = 0;
    bool skipping = identityFirst;
    while (seen.frames < expected) {
        ssize_t n = read(fd, buf.data() + have, buf.size() - have);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
        size_t at = 0;
        if (skipping) {
            auto* nul = static_cast<unsigned char*>(memchr(buf.data(), '\0', have));
            if (nul == nullptr) continue;
            at = static_cast<size_t>(nul - buf.data()) + 1;
            skipping = false;
        }
        while (have - at >= 8) {
            const unsigned char* h = buf.data() + at;
            size_t length = (h[4] | h[5] << 8) | static_cast<size_t>(h[7] >> 6) << 16;
            if (have - at < 8 + length) break;
            checkFrame(h, length, &seen);
            at += 8 + length;
        }
        memmove(buf.data(), buf.data() + at, have - at);
        have -= at;
    }
    seen.last = Clock::now();
    return seen;
}

// Runs send(count) against a reader on the other end of a socketpair; events per second from
// the first send to the last frame read. fds[0] belongs to send.
double overSocketpair(long count, bool identityFirst, const std::function<bool(int)>& send,
                      Received* seen) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    std::thread reader([&] { *seen = readFrames(fds[1], count, identityFirst); });
    auto start = Clock::now();
    bool sent = send(fds[0]);
    if (!sent) shutdown(fds[0], SHUT_RDWR);
    reader.join();
    close(fds[1]);
    return sent ? count / seconds(start, seen->last) : 0;
}

// The daemon's path: the bus client takes the socket (writing its identity first), then each
// call builds one event in its encoder and writes it under the send lock.
bool daemonEvents(int fd, long count) {
    TrelClient* client = trelCreate("yeb.linkKeeper", 1, "127.0.0.1", nullptr, 8192, 8192);
    if (client == nullptr) return false;
    client->nodeType = "bench";  // the identity needs node facts; no /run/yeb here
    client->nodeName = "bench";
    bool ok = trelAttachSocket(client, fd) == 0;
    for (long i = 0; ok && i < count; ++i) {
        trelSendJsonObject(client->defaultInterface, LK_MSG_EVENT, [&](Encoder* enc) {
            encodeJsonNameStrValue(enc, "event", "nmdevicestate");
            encodeJsonNameStrValue(enc, "interface", "veth0");
            encodeJsonNameIntValue(enc, "nmdevicestate", static_cast<int>(i));
            encodeJsonNameIntValue(enc, "reason", 0);
        });
    }
    trelShutdown(client);
    trelFree(client);
    return ok;
}

// The least an event can cost: its text made with snprintf, header and text in one write.
bool bareEvents(int fd, long count) {
    constexpr char kFormat[] =
        "{\"event\":\"nmdevicestate\",\"interface\":\"veth0\",%s%ld,\"reason\":0}";
    unsigned char frame[8 + 128] = {0x24, 0, 6, 0x80};  // magic, status, message 6
    for (long i = 0; i < count; ++i) {
        int length = snprintf(reinterpret_cast<char*>(frame + 8), 128, kFormat, kStateKey, i) + 1;
        frame[4] = static_cast<unsigned char>(length);
        frame[6] = static_cast<unsigned char>(i);
        frame[7] = static_cast<unsigned char>(i >> 8 & 0x3F);
        if (write(fd, frame, 8 + static_cast<size_t>(length)) != 8 + length) return false;
    }
    close(fd);
    return true;
}

bool readFull(int fd, unsigned char* buf, size_t size) {
    for (size_t got = 0; got < size;) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// TCP loopback round trips of a frame of `size` bytes, echoed whole by a peer thread; the
// median in microseconds, and round trips per second.
bool tcpRoundTrips(size_t size, double* medianUs, double* perSecond) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (bind(listener, any, sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, any, &length) != 0)
        return false;
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client, any, sizeof address) != 0) return false;
    int server = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread echo([=] {
        std::vector<unsigned char> buf(size);
        while (readFull(server, buf.data(), size) && write(server, buf.data(), size) > 0) {
        }
    });
    std::vector<unsigned char> frame(size, 'x');
    std::vector<double> us;
    auto start = Clock::now();
    for (int i = 0; i < kRoundTrips; ++i) {
        auto t0 = Clock::now();
        if (write(client, frame.data(), size) != static_cast<ssize_t>(size) ||
            !readFull(client, frame.data(), size))
            break;
        us.push_back(seconds(t0, Clock::now()) * 1e6);
    }
    *perSecond = us.size() / seconds(start, Clock::now());
    shutdown(client, SHUT_RDWR);
    echo.join();
    for (int fd : {client, server, listener}) close(fd);
    if (us.size() != kRoundTrips) return false;
    std::nth_element(us.begin(), us.begin() + kRoundTrips / 2, us.end());
    *medianUs = us[kRoundTrips / 2];
    return true;
}

void report(const char* name, double perSecond, const Received& seen, long count) {
    printf("%-34s %12.0f events/s   received %ld of %ld, in order: %s, well-formed: %s\n", name,
           perSecond, seen.frames, count, seen.inOrder ? "yes" : "NO",
           seen.wellFormed ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? atol(argv[1]) : 200000;
    if (count < 1000) count = 1000;
    Received daemon, bare;
    double daemonRate = overSocketpair(
        count, true, [&](int fd) { return daemonEvents(fd, count); }, &daemon);
    double bareRate = overSocketpair(
        count, false, [&](int fd) { return bareEvents(fd, count); }, &bare);
    double medianUs = 0, roundTrips = 0;
    bool floorOk = tcpRoundTrips(8 + 80, &medianUs, &roundTrips);

    printf("\nstate events through a socketpair, %ld each\n", count);
    report("linkKeeper event path", daemonRate, daemon, count);
    report("floor: snprintf + write", bareRate, bare, count);
    if (floorOk) {
        printf("%-34s %12.0f round trips/s, median %.1f us (88-byte frame)\n",
               "floor: TCP loopback round trip", roundTrips, medianUs);
    }
    bool met = daemon.frames == count && daemon.inOrder && daemon.wellFormed;
    printf("target >= 20000 events/s, none lost or reordered: %s\n",
           met && daemonRate >= 20000 ? "met" : "missed");
    return met ? 0 : 1;
}
