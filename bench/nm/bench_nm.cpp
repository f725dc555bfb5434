// Requests 1 (interface list) and 2 (interface details) through the real linkKeeper and a real
// NetworkManager with 16 veth devices, next to the command-line ways of asking the same:
// `nmcli -t -f DEVICE,TYPE,STATE device` and one `gdbus call` of GetDevices, timed in the same
// run. Also linkKeeper's VmRSS and RssAnon while it answers 100,000 requests.
//
// Usage: bench_nm LINKKEEPER [REQUESTS]
// Re-runs itself inside scripts/nm-sandbox.sh (LK_VETH=16), which gives it a private
// NetworkManager, D-Bus and /run; nothing on this machine's network changes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "lkctl/trel_server.h"
#include "nm_sandbox_exec.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kVeth = 16;
constexpr int kWarmup = 2000;
constexpr int kCommandRuns = 40;
constexpr int kTimeoutMs = 5000;
constexpr int kSamples = 5;  // memory readings over the long run
constexpr const char* kDetailsOf = "veth7";

struct Figures {
    double p50Us;
    double p99Us;
};

struct Memory {
    long vmRssKiB;
    long rssAnonKiB;
};

double elapsedUs(Clock::time_point since) {
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
}

Figures summarize(std::vector<double> samplesUs) {
    std::sort(samplesUs.begin(), samplesUs.end());
    auto at = [&](double q) { return samplesUs[static_cast<size_t>(q * (samplesUs.size() - 1))]; };
    return Figures{at(0.50), at(0.99)};
}

void writeFile(const char* path, const std::string& text) {
    std::ofstream(path) << text;
}

void writeNodeFacts() {
    writeFile("/run/yeb/nodeType", "controller\n");
    writeFile("/run/yeb/nodeName", "bench\n");
    writeFile("/run/yeb/boot/netif_external", "veth0\nveth1\n");
    writeFile("/run/yeb/boot/netif_internal", "veth2\nveth3\nveth4\nveth5\nveth6\nveth7\n");
}

// Spawns argv with standard output (and error, when quiet) on /dev/null.
pid_t spawn(const std::vector<const char*>& argv, bool quiet) {
    std::vector<char*> args;
    for (const char* a : argv) args.push_back(const_cast<char*>(a));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (quiet) posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Wall time of whole command runs, start to exit; the command's status must be 0.
bool timeCommand(const std::vector<const char*>& argv, Figures* figures) {
    std::vector<double> samples;
    for (int i = 0; i < kCommandRuns; ++i) {
        auto t0 = Clock::now();
        pid_t pid = spawn(argv, true);
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) return false;
        samples.push_back(elapsedUs(t0));
    }
    *figures = summarize(samples);
    return true;
}

class Bus {
  public:
    explicit Bus(int fd) : fd_(fd) {
        timeval tv{kTimeoutMs / 1000, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        reply_.payload.reserve(8192);
    }

    // One request frame, kept whole so that the timed loop only sends and reads.
    static std::vector<unsigned char> frame(uint8_t apiId, const char* text) {
        size_t length = text ? strlen(text) + 1 : 0;
        std::vector<unsigned char> bytes(TREL_WIRE_HEADER_SIZE);
        trelWireEncodeHeader(
            {TREL_WIRE_MAGIC, 0, trelWireControl(apiId, 0, true), static_cast<uint32_t>(length), 1},
            bytes.data());
        if (text) bytes.insert(bytes.end(), text, text + length);
        return bytes;
    }

    // One round trip; the reply's status, or -1 when the connection failed. Events that come
    // first are skipped.
    int call(const std::vector<unsigned char>& request) {
        if (send(fd_, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size()))
            return -1;
        do {
            if (trelServerReadFrame(fd_, &reply_, -1) != 1) return -1;
        } while (reply_.header.control & TREL_WIRE_MESSAGE);
        return reply_.header.status;
    }

    const std::vector<unsigned char>& payload() const { return reply_.payload; }

  private:
    int fd_;
    TrelWireFrame reply_;
};

Memory readMemory(pid_t pid) {
    Memory memory{-1, -1};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        long value = 0;
        if (sscanf(line.c_str(), "VmRSS: %ld", &value) == 1) memory.vmRssKiB = value;
        if (sscanf(line.c_str(), "RssAnon: %ld", &value) == 1) memory.rssAnonKiB = value;
    }
    return memory;
}

// linkKeeper answers from libnm's cache, which fills once the client has connected: wait until
// the list names every veth device.
bool waitForDevices(Bus* bus, const std::vector<unsigned char>& list) {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        if (bus->call(list) < 0) return false;
        std::string text(bus->payload().begin(), bus->payload().end());
        if (text.find("\"veth" + std::to_string(kVeth - 1) + "\"") != std::string::npos)
            return true;
        usleep(50000);
    }
    return false;
}

struct Results {
    Figures list, details, nmcli, gdbus;
    size_t listBytes, detailsBytes;
    std::vector<Memory> memory;  // after warm-up, then every REQUESTS / (kSamples - 1)
};

// Requests 1 and 2 alternate; each round trip is timed, memory read at the sample points.
bool runRequests(Bus* bus, pid_t daemon, int requests, Results* results) {
    auto list = Bus::frame(1, nullptr), details = Bus::frame(2, kDetailsOf);
    if (!waitForDevices(bus, list)) return false;
    for (int i = 0; i < kWarmup; ++i) {
        if (bus->call(i % 2 ? details : list) != 0) return false;
    }
    if (bus->call(list) != 0) return false;
    results->listBytes = bus->payload().size();
    if (bus->call(details) != 0) return false;
    results->detailsBytes = bus->payload().size();
    std::vector<double> listUs, detailsUs;
    listUs.reserve(requests / 2 + 1);
    detailsUs.reserve(requests / 2 + 1);
    results->memory.push_back(readMemory(daemon));
    int every = requests / (kSamples - 1);
    for (int i = 1; i <= requests; ++i) {
        bool isList = i % 2;
        auto t0 = Clock::now();
        if (bus->call(isList ? list : details) != 0) return false;
        (isList ? listUs : detailsUs).push_back(elapsedUs(t0));
        if (i % every == 0) results->memory.push_back(readMemory(daemon));
    }
    results->list = summarize(listUs);
    results->details = summarize(detailsUs);
    return true;
}

bool runCommands(Results* results) {
    return timeCommand({"nmcli", "-t", "-f", "DEVICE,TYPE,STATE", "device"}, &results->nmcli) &&
           timeCommand({"gdbus", "call", "--system", "--dest", "org.freedesktop.NetworkManager",
                        "--object-path", "/org/freedesktop/NetworkManager", "--method",
                        "org.freedesktop.NetworkManager.GetDevices"},
                       &results->gdbus);
}

const char* verdict(bool met) {
    return met ? "met" : "missed";
}

void report(const Results& r, int requests) {
    printf(
        "NetworkManager sandbox with %d veth devices; linkKeeper over the stand-in bus on "
        "loopback, one connection\n",
        kVeth);
    printf(
        "%d requests alternating id 1 and id 2 (\"%s\") after %d warm-up; commands run %d "
        "times each\n",
        requests, kDetailsOf, kWarmup, kCommandRuns);
    printf("reply payloads: id 1 %zu bytes, id 2 %zu bytes\n\n", r.listBytes, r.detailsBytes);
    printf("%-44s %12s %12s\n", "", "p50 us", "p99 us");
    auto row = [](const char* name, const Figures& f) {
        printf("%-44s %12.1f %12.1f\n", name, f.p50Us, f.p99Us);
    };
    row("linkKeeper request 1 (interface list)", r.list);
    row("linkKeeper request 2 (interface details)", r.details);
    row("nmcli -t -f DEVICE,TYPE,STATE device", r.nmcli);
    row("gdbus call ... GetDevices", r.gdbus);
    printf("\n");
    double slowest = std::max(r.list.p50Us, r.details.p50Us);
    printf("p50 of requests 1 and 2 under 150 us: %.1f / %.1f us (%s)\n", r.list.p50Us,
           r.details.p50Us, verdict(slowest < 150));
    printf("nmcli p50 / linkKeeper p50: request 1 %.0fx, request 2 %.0fx (target >= 200x: %s)\n",
           r.nmcli.p50Us / r.list.p50Us, r.nmcli.p50Us / r.details.p50Us,
           verdict(r.nmcli.p50Us / slowest >= 200));
    printf("gdbus p50 / linkKeeper p50: request 1 %.0fx, request 2 %.0fx\n\n",
           r.gdbus.p50Us / r.list.p50Us, r.gdbus.p50Us / r.details.p50Us);
    printf("linkKeeper memory (/proc/PID/status), KiB:\n%12s %10s %10s\n", "requests", "VmRSS",
           "RssAnon");
    int every = requests / (kSamples - 1);
    for (size_t i = 0; i < r.memory.size(); ++i) {
        printf("%12zu %10ld %10ld\n", i * every, r.memory[i].vmRssKiB, r.memory[i].rssAnonKiB);
    }
    const Memory& first = r.memory.front();
    const Memory& last = r.memory.back();
    printf("RssAnon under 3 MiB: %ld KiB (%s)\n", last.rssAnonKiB,
           verdict(last.rssAnonKiB >= 0 && last.rssAnonKiB < 3 * 1024));
    printf("growth over %d requests: VmRSS %+ld KiB, RssAnon %+ld KiB (%s)\n", requests,
           last.vmRssKiB - first.vmRssKiB, last.rssAnonKiB - first.rssAnonKiB,
           verdict(last.vmRssKiB <= first.vmRssKiB && last.rssAnonKiB <= first.rssAnonKiB));
}

int run(const char* daemonPath, int requests) {
    writeNodeFacts();
    UniqueFd listener = trelServerListen("127.0.0.1", 0);
    int port = listener ? trelServerPort(listener.get()) : -1;
    if (port < 0) {
        perror("bench_nm: listen");
        return 1;
    }
    std::string server = "127.0.0.1:" + std::to_string(port);
    pid_t daemon = spawn({daemonPath, "-c", "-s", server.c_str()}, false);
    if (daemon < 0) {
        fprintf(stderr, "bench_nm: cannot start %s\n", daemonPath);
        return 1;
    }
    UniqueFd conn = trelServerAccept(listener.get(), 20000);
    std::string identity;
    Results results{};
    bool ok = conn && trelServerReadIdentity(conn.get(), &identity, kTimeoutMs) == 1;
    if (ok) {
        Bus bus(conn.get());
        ok = runRequests(&bus, daemon, requests, &results) && runCommands(&results);
    }
    kill(daemon, SIGKILL);
    waitpid(daemon, nullptr, 0);
    if (!ok) {
        fprintf(stderr,
                "bench_nm: the run failed (no connection, no devices or a failed "
                "request or command)\n");
        return 1;
    }
    report(results, requests);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s LINKKEEPER [REQUESTS]\n", argv[0]);
        return 2;
    }
    if (!getenv("LK_NM_SANDBOX")) setenv("LK_VETH", std::to_string(kVeth).c_str(), 1);
    lkRunInNmSandbox(LK_NM_SANDBOX_SCRIPT, "bench_nm", argc, argv);
    if (!getenv("LK_NM_SANDBOX")) return 1;
    int requests = argc == 3 ? atoi(argv[2]) : 100000;
    requests = std::max(requests, 4 * kSamples);
    signal(SIGPIPE, SIG_IGN);
    return run(argv[1], requests);
}
