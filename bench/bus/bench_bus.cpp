// Round trips of request id 7 through the real linkKeeper over loopback, next to a bare TCP
// ping-pong of the same frame sizes measured in the same run (the floor): quiet, while four
// control clients flood requests and never read, and while besides them a fifth watches every
// interface and never reads its events (an `lkctl monitor` left in a pager) as a link comes
// and goes; all of them connect again when dropped. Then request 1 (answered from libnm's
// cache by the worker) quiet and while a request 3 waits 20 s for DHCP that never comes.
//
// Usage: bench_bus LINKKEEPER [ROUND_TRIPS]
// Runs itself inside scripts/nm-sandbox.sh (a private NetworkManager, network and /run), where
// it writes the node facts and boot lists linkKeeper needs; nothing on this machine changes.
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
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
#include "nm_sandbox_exec.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int WARMUP = 2000;
constexpr const char* CONTROL_PATH = "/run/lk-bench/control";
constexpr const char* DAEMON_LOG = "/tmp/bench_bus-linkKeeper.log";
constexpr int FLOODING_CLIENTS = 4;
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
    // Request 3 takes the sandbox's veth links only as Ethernet (the tests' preload library).
    std::string preload = std::string("LD_PRELOAD=") + LK_VETH_AS_ETHERNET;
    env.push_back(preload.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Its log, for a look afterwards (the sandbox's /tmp is the machine's).
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, DAEMON_LOG,
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, path, &actions, nullptr, const_cast<char**>(argv), env.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

uint16_t sequenceOf(const std::vector<unsigned char>& frame) {
    return trelWireDecodeHeader(frame.data()).sequence;
}

// The reply to the request with this sequence; messages (events) and other replies (a
// request 3 that waited) that arrive first are skipped.
bool readReply(int fd, uint16_t sequence, TrelWireFrame* reply) {
    do {
        if (trelServerReadFrame(fd, reply, BLOCKING) != 1) return false;
    } while ((reply->header.control & TREL_WIRE_MESSAGE) ||
             (reply->header.control & TREL_WIRE_SEQUENCE_MASK) != sequence);
    return true;
}

std::vector<unsigned char> requestFrame(uint8_t apiId, uint16_t sequence,
                                        const std::string& payload = "") {
    std::vector<unsigned char> frame(TREL_WIRE_HEADER_SIZE);
    uint32_t length = static_cast<uint32_t>(payload.size());
    trelWireEncodeHeader({TREL_WIRE_MAGIC, 0, trelWireControl(apiId, 0, true), length, sequence},
                         frame.data());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
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
        if (!readReply(fd, sequenceOf(request), &reply)) return false;
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
        !readReply(fd, sequenceOf(request), &reply) || reply.header.status != 0)
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

// Control clients that send requests and never read a reply: four flood; with a monitor, a
// fifth watches every interface and never reads its events. A client the daemon dropped
// connects again. What the monitor was sent and left unread, and how often it connected.
struct Monitor {
    int unreadBytes = 0;
    int connections = 0;
};

void stallControl(const std::vector<unsigned char>& request, Monitor* monitor,
                  const std::atomic<bool>* stop) {
    std::vector<unsigned char> flood;
    for (int i = 0; i < 4000; ++i) flood.insert(flood.end(), request.begin(), request.end());
    std::vector<unsigned char> watches;
    for (const char* body : {R"({"interface":"veth0","property":"state-changed","handle":0})",
                             R"({"interface":"","property":"devices","handle":0})"}) {
        std::vector<unsigned char> frame = requestFrame(5, 2, body + std::string(1, '\0'));
        watches.insert(watches.end(), frame.begin(), frame.end());
    }
    const int clients = FLOODING_CLIENTS + (monitor != nullptr ? 1 : 0);
    std::vector<UniqueFd> fds(clients);
    while (!stop->load()) {
        std::vector<pollfd> set(clients);
        for (int i = 0; i < clients; ++i) {
            bool fresh = !fds[i];
            if (fresh) fds[i] = connectControl();
            // The monitor asks once per connection, then only holds its watches.
            if (fresh && i == FLOODING_CLIENTS) {
                send(fds[i].get(), watches.data(), watches.size(), MSG_NOSIGNAL);
                ++monitor->connections;
            }
            set[i] =
                pollfd{fds[i].get(), static_cast<short>(i < FLOODING_CLIENTS ? POLLOUT : 0), 0};
        }
        poll(set.data(), set.size(), 10);
        for (int i = 0; i < clients; ++i) {
            if (set[i].revents & (POLLHUP | POLLERR)) fds[i].reset();
            if (!(set[i].revents & POLLOUT)) continue;
            if (send(fds[i].get(), flood.data(), flood.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN)
                fds[i].reset();
        }
    }
    if (monitor != nullptr) ioctl(fds[FLOODING_CLIENTS].get(), FIONREAD, &monitor->unreadBytes);
}

void runIp(std::vector<const char*> args) {
    args.insert(args.begin(), "ip");
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, const_cast<char**>(args.data()), environ) == 0)
        waitpid(pid, nullptr, 0);
}

// A link of the sandbox made and deleted over and over: device events for the monitor.
void flapLink(const std::atomic<bool>* stop) {
    while (!stop->load()) {
        runIp({"link", "add", "lkflap0", "type", "veth", "peer", "name", "lkflap1"});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        runIp({"link", "del", "lkflap0"});
    }
}

bool stalledRun(int fd, const std::vector<unsigned char>& request, int count, Monitor* monitor,
                Figures* figures) {
    std::atomic<bool> stop{false};
    std::thread stalled(stallControl, request, monitor, &stop);
    std::thread flapping;
    if (monitor != nullptr) flapping = std::thread(flapLink, &stop);
    std::vector<double> latencies;
    double seconds = 0;
    bool ok = measure(fd, request, count, &latencies, &seconds);
    stop = true;
    stalled.join();
    if (flapping.joinable()) flapping.join();
    if (ok) *figures = summarize(latencies, seconds);
    return ok;
}

// Request 1 round trips, quiet and while a request 3 waits for DHCP on veth0: (quiet, waiting)
// and the waiting request's status and seconds.
bool listRun(int fd, int count, Figures* quiet, Figures* waiting, int* status, double* waitedS) {
    // Interface lists as the client's first request: NetworkManager's devices are known.
    std::vector<unsigned char> list = requestFrame(1, 3),
                               change = requestFrame(
                                   3, 4,
                                   R"({"interface":"veth0","ip4":{"method":"auto"},"wait":20})" +
                                       std::string(1, '\0'));
    std::vector<double> latencies;
    double seconds = 0;
    if (!measure(fd, list, WARMUP, &latencies, &seconds) ||
        !measure(fd, list, count, &latencies, &seconds))
        return false;
    *quiet = summarize(latencies, seconds);
    auto sent = Clock::now();
    if (send(fd, change.data(), change.size(), 0) != static_cast<ssize_t>(change.size()) ||
        !measure(fd, list, count, &latencies, &seconds))
        return false;
    *waiting = summarize(latencies, seconds);
    TrelWireFrame reply;
    timeval tv{40, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (!readReply(fd, sequenceOf(change), &reply)) return false;
    *status = reply.header.status;
    *waitedS = std::chrono::duration<double>(Clock::now() - sent).count();
    return true;
}

struct Results {
    Figures quiet, stalled, monitored, floor, listQuiet, listWaiting;
    int changeStatus = 0;
    double changeSeconds = 0;
    Monitor monitor;
};

void row(const char* name, const Figures& f) {
    printf("%-40s %10.1f %10.1f %12.0f\n", name, f.p50Us, f.p99Us, f.perSecond);
}

void report(const Results& r, int count, size_t requestSize, size_t replySize) {
    printf("over loopback, one bus connection, %d round trips a row after %d warm-up\n", count,
           WARMUP);
    printf("request 7 frames: request %zu bytes, reply %zu bytes\n\n", requestSize, replySize);
    printf("%-40s %10s %10s %12s\n", "", "p50 us", "p99 us", "req/s");
    row("request 7, quiet", r.quiet);
    row("  4 control clients that never read", r.stalled);
    row("  the 4 and a monitor that never reads", r.monitored);
    row("bare TCP ping-pong (the floor)", r.floor);
    row("request 1, quiet", r.listQuiet);
    row("  while a request 3 waits for DHCP", r.listWaiting);
    printf("\nthe monitor: %d bytes of events left unread, %d connection(s)\n",
           r.monitor.unreadBytes, r.monitor.connections);
    printf("the waiting request 3: status %d after %.1f s (110: its 20 s were up)\n",
           r.changeStatus, r.changeSeconds);
    double ratio = r.quiet.p50Us / r.floor.p50Us;
    printf("p50 / floor p50: %.2f (target <= 2.00: %s)\n", ratio, ratio <= 2.0 ? "met" : "missed");
    printf("request 7 p99 beside stalled peers: %.1f us (target < 100000: %s)\n",
           std::max(r.stalled.p99Us, r.monitored.p99Us),
           std::max(r.stalled.p99Us, r.monitored.p99Us) < 1e5 ? "met" : "missed");
    printf("request 1 p99 while a change waits: %.1f us (target < 100000: %s)\n",
           r.listWaiting.p99Us, r.listWaiting.p99Us < 1e5 ? "met" : "missed");
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
    std::vector<unsigned char> request = requestFrame(7, 1), reply;
    Results r;
    bool ok =
        conn && trelServerReadIdentity(conn.get(), &identity, TIMEOUT_MS) == 1 &&
        daemonRun(conn.get(), request, count, &r.quiet, &reply) &&
        stalledRun(conn.get(), request, count, nullptr, &r.stalled) &&
        stalledRun(conn.get(), request, count, &r.monitor, &r.monitored) &&
        floorRun(request, reply, count, &r.floor) &&
        listRun(conn.get(), count, &r.listQuiet, &r.listWaiting, &r.changeStatus, &r.changeSeconds);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!ok) {
        fprintf(stderr, "bench_bus: the run failed (no connection, or a frame missing)\n");
        return 1;
    }
    report(r, count, request.size(), reply.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s LINKKEEPER [ROUND_TRIPS]\n", argv[0]);
        return 2;
    }
    // The node facts live under /run and the links are NetworkManager's: only in the sandbox.
    lkRunInNmSandbox(LK_NM_SANDBOX_SCRIPT, "bench_bus", argc, argv);
    if (!getenv("LK_NM_SANDBOX")) return 1;
    int count = argc == 3 ? atoi(argv[2]) : 100000;
    if (count < 100) count = 100;
    signal(SIGPIPE, SIG_IGN);
    return run(argv[1], count);
}
