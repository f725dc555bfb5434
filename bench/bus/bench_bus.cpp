// Round trips of request id 7 through the real linkKeeper over loopback, next to a bare TCP
// ping-pong of the same frame sizes measured in the same run (the floor): quiet, and while four
// control clients flood requests and never read, beside a fifth that never reads either (as an
// `lkctl monitor` left in a pager would), all of them connecting again when dropped.
//
// Usage: bench_bus LINKKEEPER [ROUND_TRIPS]
// Runs itself inside the private mount namespace of sandbox-fs.sh, where it writes the node
// facts and boot lists linkKeeper needs.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lkctl/trel_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int WARMUP = 2000;
constexpr const char* CONTROL_PATH = "/run/lk-bench/control";
constexpr int STALLED_CLIENTS = 5;
constexpr int TIMEOUT_MS = 5000;
// Reads in the timed loops block without a poll each (the socket carries the time-out), so
// that the figures show the daemon's cost, not the driver's.
constexpr int BLOCKING = -1;

void setReceiveTimeout(int fd) {
    timeval tv{TIMEOUT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

struct Figures {
    double p50Us;
    double p99Us;
    double perSecond;
};

void writeFile(const char* path, const char* text) {
    std::ofstream(path) << text;
}

// Node facts and class lists of a plain node; the class lists give id 7 a realistic reply.
void writeNodeFacts() {
    writeFile("/run/yeb/nodeType", "controller\n");
    writeFile("/run/yeb/nodeName", "bench\n");
    writeFile("/run/yeb/boot/netif_internal", "eth1\n");
    writeFile("/run/yeb/boot/netif_external", "eth0\nwlan0\n");
}

pid_t startDaemon(const char* path, int port) {
    std::string server = "127.0.0.1:" + std::to_string(port);
    const char* argv[] = {path, "-c", "-s", server.c_str(), "-C", CONTROL_PATH, nullptr};
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    // libnm must not reach the host's D-Bus; the benchmark only needs id 7.
    std::string dbus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent";
    env.push_back(dbus.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, path, &actions, nullptr, const_cast<char**>(argv), env.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The next reply; messages (events) that arrive first are skipped.
bool readReply(int fd, TrelWireFrame* reply) {
    do {
        if (trelServerReadFrame(fd, reply, BLOCKING) != 1) return false;
    } while (reply->header.control & TREL_WIRE_MESSAGE);
    return true;
}

// Sends `count` requests of `request` one at a time and times each round trip.
bool measure(int fd, const std::vector<unsigned char>& request, int count,
             std::vector<double>* latenciesUs, double* seconds) {
    setReceiveTimeout(fd);
    TrelWireFrame reply;
    reply.payload.reserve(8192);
    latenciesUs->clear();
    latenciesUs->reserve(static_cast<size_t>(count));
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        if (send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size()))
            return false;
        if (!readReply(fd, &reply)) return false;
        latenciesUs->push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}

Figures summarize(std::vector<double> latenciesUs, double seconds) {
    std::sort(latenciesUs.begin(), latenciesUs.end());
    auto at = [&](double q) {
        return latenciesUs[static_cast<size_t>(q * (latenciesUs.size() - 1))];
    };
    return Figures{at(0.50), at(0.99), latenciesUs.size() / seconds};
}

// The peer of the floor: reads a request frame and answers with a fixed reply, like a server
// that does no work at all.
void echoPeer(int fd, std::vector<unsigned char> reply) {
    TrelWireFrame request;
    setReceiveTimeout(fd);
    while (trelServerReadFrame(fd, &request, BLOCKING) == 1) {
        if (send(fd, reply.data(), reply.size(), 0) != static_cast<ssize_t>(reply.size())) break;
    }
}

bool floorRun(const std::vector<unsigned char>& request, const std::vector<unsigned char>& reply,
              int count, Figures* figures) {
    UniqueFd listener = trelServerListen("127.0.0.1", 0);
    int port = listener ? trelServerPort(listener.get()) : -1;
    if (port < 0) return false;
    UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    int one = 1;
    setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    UniqueFd server = trelServerAccept(listener.get(), TIMEOUT_MS);
    if (!server) return false;
    std::thread peer(echoPeer, server.get(), reply);
    std::vector<double> latencies;
    double seconds = 0;
    bool ok = measure(client.get(), request, WARMUP, &latencies, &seconds) &&
              measure(client.get(), request, count, &latencies, &seconds);
    shutdown(client.get(), SHUT_RDWR);
    peer.join();
    if (ok) *figures = summarize(latencies, seconds);
    return ok;
}

bool daemonRun(int fd, const std::vector<unsigned char>& request, int count, Figures* figures,
               std::vector<unsigned char>* replyFrame) {
    std::vector<double> latencies;
    double seconds = 0;
    if (!measure(fd, request, WARMUP, &latencies, &seconds)) return false;
    // One reply kept whole, to give the floor the same sizes.
    TrelWireFrame reply;
    if (send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size()) ||
        !readReply(fd, &reply) || reply.header.status != 0)
        return false;
    replyFrame->resize(TREL_WIRE_HEADER_SIZE);
    trelWireEncodeHeader(reply.header, replyFrame->data());
    replyFrame->insert(replyFrame->end(), reply.payload.begin(), reply.payload.end());
    if (!measure(fd, request, count, &latencies, &seconds)) return false;
    *figures = summarize(latencies, seconds);
    return true;
}

UniqueFd connectControl() {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, CONTROL_PATH, sizeof address.sun_path - 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
}

// Control clients that send requests and never read a reply: four flood, the fifth sends one
// request a turn. A client the daemon dropped connects again.
void stallControl(const std::vector<unsigned char>& request, const std::atomic<bool>* stop) {
    std::vector<unsigned char> flood;
    for (int i = 0; i < 4000; ++i) flood.insert(flood.end(), request.begin(), request.end());
    UniqueFd clients[STALLED_CLIENTS];
    while (!stop->load()) {
        pollfd set[STALLED_CLIENTS];
        for (int i = 0; i < STALLED_CLIENTS; ++i) {
            if (!clients[i]) clients[i] = connectControl();
            set[i] = pollfd{clients[i].get(), POLLOUT, 0};
        }
        poll(set, STALLED_CLIENTS, 10);
        for (int i = 0; i < STALLED_CLIENTS; ++i) {
            if (!(set[i].revents & POLLOUT)) continue;
            size_t size = i + 1 < STALLED_CLIENTS ? flood.size() : request.size();
            if (send(clients[i].get(), flood.data(), size, MSG_NOSIGNAL) < 0 && errno != EAGAIN) {
                clients[i].reset();
            }
        }
    }
}

bool stalledRun(int fd, const std::vector<unsigned char>& request, int count, Figures* figures) {
    std::atomic<bool> stop{false};
    std::thread stalled(stallControl, request, &stop);
    std::vector<double> latencies;
    double seconds = 0;
    bool ok = measure(fd, request, count, &latencies, &seconds);
    stop = true;
    stalled.join();
    if (ok) *figures = summarize(latencies, seconds);
    return ok;
}

void report(const Figures& daemon, const Figures& stalled, const Figures& floor, int count,
            size_t requestSize, size_t replySize) {
    printf("request id 7 over loopback, one connection, %d round trips after %d warm-up\n", count,
           WARMUP);
    printf("frames: request %zu bytes, reply %zu bytes\n\n", requestSize, replySize);
    printf("%-22s %10s %10s %12s\n", "", "p50 us", "p99 us", "req/s");
    printf("%-22s %10.1f %10.1f %12.0f\n", "linkKeeper", daemon.p50Us, daemon.p99Us,
           daemon.perSecond);
    printf("%-22s %10.1f %10.1f %12.0f\n", "  5 stalled clients", stalled.p50Us, stalled.p99Us,
           stalled.perSecond);
    printf("%-22s %10.1f %10.1f %12.0f\n\n", "bare TCP ping-pong", floor.p50Us, floor.p99Us,
           floor.perSecond);
    double ratio = daemon.p50Us / floor.p50Us;
    printf("p50 / floor p50: %.2f (target <= 2.00: %s)\n", ratio, ratio <= 2.0 ? "met" : "missed");
    printf("requests per second: %.0f (target >= 20000: %s)\n", daemon.perSecond,
           daemon.perSecond >= 20000 ? "met" : "missed");
}

int run(const char* daemonPath, int count) {
    writeNodeFacts();
    UniqueFd listener = trelServerListen("127.0.0.1", 0);
    int port = listener ? trelServerPort(listener.get()) : -1;
    if (port < 0) {
        perror("bench_bus: listen");
        return 1;
    }
    pid_t pid = startDaemon(daemonPath, port);
    if (pid < 0) {
        fprintf(stderr, "bench_bus: cannot start %s\n", daemonPath);
        return 1;
    }
    UniqueFd conn = trelServerAccept(listener.get(), 20000);
    std::string identity;
    std::vector<unsigned char> request(TREL_WIRE_HEADER_SIZE), reply;
    trelWireEncodeHeader({TREL_WIRE_MAGIC, 0, trelWireControl(7, 0, true), 0, 1}, request.data());
    Figures daemon{}, stalled{}, floor{};
    bool ok = conn && trelServerReadIdentity(conn.get(), &identity, TIMEOUT_MS) == 1 &&
              daemonRun(conn.get(), request, count, &daemon, &reply) &&
              stalledRun(conn.get(), request, count, &stalled) &&
              floorRun(request, reply, count, &floor);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!ok) {
        fprintf(stderr, "bench_bus: the run failed (no connection, or a frame missing)\n");
        return 1;
    }
    report(daemon, stalled, floor, count, request.size(), reply.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s LINKKEEPER [ROUND_TRIPS]\n", argv[0]);
        return 2;
    }
    // The node facts live under /run: write them only in a private namespace.
    if (!getenv("LK_SANDBOX_FS")) {
        std::vector<char*> args = {const_cast<char*>(LK_SANDBOX_FS_SCRIPT)};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        execv(LK_SANDBOX_FS_SCRIPT, args.data());
        perror("bench_bus: " LK_SANDBOX_FS_SCRIPT);
        return 1;
    }
    int count = argc == 3 ? atoi(argv[2]) : 100000;
    if (count < 100) count = 100;
    signal(SIGPIPE, SIG_IGN);
    return run(argv[1], count);
}
