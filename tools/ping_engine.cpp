#include "tools/ping_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace {

// Why the probe stops, kept for its result and printed for the log.
void failBecause(pingRequest& request, const char* step, const char* cause) {
    snprintf(request.failure, sizeof request.failure, "%s", cause);
    fprintf(stderr, "ping: %s: %s\n", step, cause);
}

void failWith(pingRequest& request, const char* step, int error) {
    failBecause(request, step, strerror(error));
}

constexpr int PROTO_ICMP = 1;
constexpr int PROTO_ICMPV6 = 58;
constexpr uint8_t ECHO_REQUEST_V4 = 8;
constexpr uint8_t ECHO_REPLY_V4 = 0;
constexpr uint8_t ECHO_REQUEST_V6 = 128;
constexpr uint8_t ECHO_REPLY_V6 = 129;
constexpr size_t REQUEST_LEN = 28;
constexpr size_t ECHO_HEADER_LEN = 8;
constexpr size_t ADDRESS_TEXT_LEN = 46;
constexpr size_t DESTINATION_MAX = 128;
constexpr int DISCARD_MAX = 4096;  // a full default receive buffer holds a few hundred
constexpr size_t BUFFER_LEN = 1024;
constexpr size_t PSEUDO_HEADER_LEN = 40;

// The first eight bytes of every echo message; integers in network byte order.
struct EchoHeader {
    uint8_t type;
    uint8_t code;
    uint16_t checksum;
    uint16_t identifier;
    uint16_t sequence;
};
static_assert(sizeof(EchoHeader) == ECHO_HEADER_LEN);

// Every raw ICMP socket sees every echo reply, so probes are told apart by identifier. The
// draw is seeded from the current second, which alone would give probes started within one
// second the same identifier and let them take each other's replies: a probe claims the first
// identifier from its draw on that no running probe holds, and gives it back when it ends.
class IdentifierClaim {
  public:
    IdentifierClaim() {
        std::lock_guard<std::mutex> lock(mutex);
        srand(static_cast<unsigned>(time(nullptr)));
        value_ = static_cast<uint16_t>(rand() ^ getpid());
        while (inUse.test(value_)) ++value_;  // fewer probes run than there are identifiers
        inUse.set(value_);
    }
    ~IdentifierClaim() {
        std::lock_guard<std::mutex> lock(mutex);
        inUse.reset(value_);
    }
    IdentifierClaim(const IdentifierClaim&) = delete;
    IdentifierClaim& operator=(const IdentifierClaim&) = delete;
    uint16_t value() const { return value_; }

  private:
    static inline std::mutex mutex;
    static inline std::bitset<65536> inUse;
    uint16_t value_ = 0;
};

struct Probe {
    pingRequest* request;
    pingReporter reporter;
    UniqueFd fd;
    int family = AF_UNSPEC;
    unsigned char destination[DESTINATION_MAX] = {};
    socklen_t destinationLen = 0;
    char addressText[ADDRESS_TEXT_LEN] = "<unknown>";
    IdentifierClaim claim;
    const uint16_t identifier = claim.value();
};

// What became of one received packet.
enum class Packet { Ignored, Matched, Failed };

// A step of the wall clock (NTP at boot) never stretches a wait, times a probe out or makes a
// round trip negative: every time here is read on the monotonic clock.
uint64_t nowUs() {
    return static_cast<uint64_t>(yebMonoTimeUs());
}

uint64_t elapsedSince(uint64_t startUs) {
    uint64_t now = nowUs();
    return now > startUs ? now - startUs : 0;
}

AddrInfoPtr resolve(const char* host, int family, int protocol, int& error) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_RAW;
    hints.ai_protocol = protocol;
    addrinfo* list = nullptr;
    error = getaddrinfo(host, nullptr, &hints, &list);
    return AddrInfoPtr(error == 0 ? list : nullptr);
}

// An ipVersion other than 0, 4 and 6 resolves nothing and leaves the list empty.
bool resolveHost(pingRequest& request, AddrInfoPtr& list) {
    int error = 0;
    switch (request.ipVersion) {
        case 4:
            list = resolve(request.hostname, AF_INET, PROTO_ICMP, error);
            break;
        case 6:
            list = resolve(request.hostname, AF_INET6, PROTO_ICMPV6, error);
            break;
        case 0:
            list = resolve(request.hostname, AF_INET, PROTO_ICMP, error);
            if (!list) list = resolve(request.hostname, AF_INET6, PROTO_ICMPV6, error);
            break;
        default:
            return true;
    }
    if (error != 0) {
        failBecause(request, "getaddrinfo", gai_strerror(error));
        return false;
    }
    return true;
}

bool openSocket(Probe& probe, const addrinfo* list) {
    errno = EAFNOSUPPORT;  // the error shown when nothing was resolved at all
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (ping_address_is_group(entry->ai_addr)) {
            errno = EINVAL;  // a name may resolve to a group: never probed
            continue;
        }
        int fd = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (fd < 0) continue;
        probe.fd.reset(fd);
        probe.family = entry->ai_family;
        probe.destinationLen = std::min<socklen_t>(entry->ai_addrlen, DESTINATION_MAX);
        memcpy(probe.destination, entry->ai_addr, probe.destinationLen);
        return true;
    }
    failWith(*probe.request, "socket", errno);
    return false;
}

// Only echo replies reach the socket (ICMP_FILTER, ICMP6_FILTER), and of those only the ones
// with this probe's identifier (a socket filter): an ICMP flood on the link never wakes us.
bool filterReplies(const Probe& probe) {
    int fd = probe.fd.get();
    if (probe.family == AF_INET6) {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ECHO_REPLY_V6, &filter);
        if (setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0) return false;
    } else {
        icmp_filter filter{~(1u << ECHO_REPLY_V4)};
        if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) return false;
    }
    // An ICMPv4 raw socket sees the IP header first; ICMPv6 starts at the ICMP header.
    const bool v4 = probe.family == AF_INET;
    // X: where the ICMP message starts (4 * the IPv4 header length, or 0).
    const sock_filter headerLength = BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0);
    const sock_filter noHeader = BPF_STMT(BPF_LDX | BPF_IMM, 0);
    sock_filter code[] = {
        v4 ? headerLength : noHeader,
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),  // type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, v4 ? ECHO_REPLY_V4 : ECHO_REPLY_V6, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),  // identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, probe.identifier, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

// A raw socket takes in every ICMP message from its creation until the filters are set: under a
// flood that fills its receive buffer within milliseconds, and the kernel would drop our first
// reply for want of room. Whatever came in before the filters is thrown away.
// The bound only matters to a peer that sends echo replies with our identifier at line rate.
void discardUnfiltered(const Probe& probe) {
    char scrap[1];
    for (int discarded = 0; discarded < DISCARD_MAX; ++discarded) {
        if (recv(probe.fd.get(), scrap, sizeof scrap, MSG_DONTWAIT | MSG_TRUNC) < 0) return;
    }
}

bool prepareSocket(Probe& probe) {
    if (fcntl(probe.fd.get(), F_SETFL, O_NONBLOCK) != 0) {
        failWith(*probe.request, "fcntl", errno);
        return false;
    }
    // Out of that interface only, whatever the routes say: the probe checks that link.
    const char* device = probe.request->device;
    if (device[0] != '\0' && setsockopt(probe.fd.get(), SOL_SOCKET, SO_BINDTODEVICE, device,
                                        static_cast<socklen_t>(strlen(device))) != 0) {
        perror("ping: SO_BINDTODEVICE");
        return false;
    }
    if (!filterReplies(probe)) {
        failWith(*probe.request, "filter", errno);
        return false;
    }
    discardUnfiltered(probe);
    int on = 1;
    if (probe.family == AF_INET6 &&
        setsockopt(probe.fd.get(), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0) {
        failWith(*probe.request, "setsockopt", errno);
        return false;
    }
    // The raw socket was the only reason for privilege; give it up for the whole process.
    if (setgid(getgid()) != 0) {
        failWith(*probe.request, "setgid", errno);
        return false;
    }
    if (setuid(getuid()) != 0) {
        failWith(*probe.request, "setuid", errno);
        return false;
    }
    return true;
}

const void* destinationAddress(const Probe& probe) {
    if (probe.family == AF_INET6)
        return &reinterpret_cast<const sockaddr_in6*>(probe.destination)->sin6_addr;
    return &reinterpret_cast<const sockaddr_in*>(probe.destination)->sin_addr;
}

void formatAddress(Probe& probe) {
    char text[ADDRESS_TEXT_LEN];
    if (inet_ntop(probe.family, destinationAddress(probe), text, sizeof text))
        memcpy(probe.addressText, text, sizeof text);
}

bool sendEcho(const Probe& probe, uint16_t sequence) {
    unsigned char message[REQUEST_LEN] = {};
    EchoHeader header{};
    header.type = probe.family == AF_INET6 ? ECHO_REQUEST_V6 : ECHO_REQUEST_V4;
    header.identifier = htons(probe.identifier);
    header.sequence = htons(sequence);
    memcpy(message, &header, sizeof header);
    // The kernel fills in the checksum of every raw ICMPv6 message it sends.
    if (probe.family == AF_INET) {
        uint16_t sum = ping_checksum(message, sizeof message);
        memcpy(message + offsetof(EchoHeader, checksum), &sum, sizeof sum);
    }
    if (sendto(probe.fd.get(), message, sizeof message, 0,
               reinterpret_cast<const sockaddr*>(probe.destination), probe.destinationLen) < 0) {
        failWith(*probe.request, "sendto", errno);
        return false;
    }
    return true;
}

// Sleeps until the socket is readable, the probe is cancelled or the remaining wait is over,
// whichever comes first. The extra millisecond makes sure the next receive sees the time-out
// as passed. False when the probe is cancelled.
bool waitReadable(const Probe& probe, uint64_t remainingUs) {
    pollfd entries[2] = {{probe.fd.get(), POLLIN, 0}, {probe.request->cancelFd, POLLIN, 0}};
    poll(entries, 2, static_cast<int>(remainingUs / 1000 + 1));
    return (entries[1].revents & POLLIN) == 0;
}

bool cancelled(const Probe& probe) {
    pollfd entry{probe.request->cancelFd, POLLIN, 0};
    return probe.request->cancelFd >= 0 && poll(&entry, 1, 0) > 0;
}

in6_addr localAddress(msghdr& msg) {
    in6_addr local{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IPV6 || c->cmsg_type != IPV6_PKTINFO) continue;
        in6_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        local = info.ipi6_addr;
    }
    return local;
}

// ICMPv6 checksums cover a pseudo-header of both addresses, the length and the protocol.
bool checksumV6(const Probe& probe, const unsigned char* message, size_t length,
                const in6_addr& local, uint16_t& sum) {
    MallocPtr<unsigned char> work(static_cast<unsigned char*>(malloc(length + PSEUDO_HEADER_LEN)));
    if (!work) {
        perror("ping malloc");
        return false;
    }
    unsigned char* p = work.get();
    memcpy(p, destinationAddress(probe), 16);
    memcpy(p + 16, &local, 16);
    uint32_t bigLength = htonl(static_cast<uint32_t>(length));
    memcpy(p + 32, &bigLength, 4);
    memset(p + 36, 0, 3);
    p[39] = PROTO_ICMPV6;
    memcpy(p + PSEUDO_HEADER_LEN, message, length);
    sum = ping_checksum(p, length + PSEUDO_HEADER_LEN);
    return true;
}

// Looks at one received packet; reports it when it answers the current echo request.
Packet handlePacket(const Probe& probe, uint16_t sequence, unsigned char* packet, size_t length,
                    msghdr& msg, uint64_t elapsedUs) {
    size_t offset = 0;
    uint8_t replyType = ECHO_REPLY_V6;
    if (probe.family == AF_INET) {
        offset = static_cast<size_t>(packet[0] & 0x0f) * 4;
        replyType = ECHO_REPLY_V4;
    }
    if (length < offset + ECHO_HEADER_LEN) return Packet::Ignored;
    unsigned char* message = packet + offset;
    size_t messageLen = length - offset;
    EchoHeader header;
    memcpy(&header, message, sizeof header);
    if (header.type != replyType || ntohs(header.identifier) != probe.identifier ||
        ntohs(header.sequence) != sequence)
        return Packet::Ignored;

    const uint16_t noted = header.checksum;
    memset(message + offsetof(EchoHeader, checksum), 0, sizeof header.checksum);
    uint16_t computed = 0;
    if (probe.family == AF_INET)
        computed = ping_checksum(message, messageLen);
    else if (!checksumV6(probe, message, messageLen, localAddress(msg), computed))
        return Packet::Failed;

    pingReply reply{};
    reply.received = 1;
    reply.sequence = sequence;
    reply.rttUs = elapsedUs;
    reply.checksumOk = computed == noted ? 1 : 0;
    probe.reporter(probe.request, probe.addressText, &reply);
    return Packet::Matched;
}

enum class Await { Done, Stop, Cancelled };

// Waits for the reply to one echo request and reports it or its time-out. Stop when the probe
// cannot go on; elapsedUs is the time from the send to the last receive.
Await awaitReply(const Probe& probe, uint16_t sequence, uint64_t sendUs, uint64_t& elapsedUs) {
    const uint64_t timeoutUs = uint64_t{probe.request->pingTimeout} * 1000u;
    unsigned char packet[BUFFER_LEN];
    unsigned char control[BUFFER_LEN];
    for (;;) {
        iovec iov{packet, sizeof packet};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        // Read before the receive: a reply queued by then is seen by it, so a time-out is only
        // ever reported for a reply that had not arrived when the time was up, however late
        // a busy machine lets this thread run.
        elapsedUs = elapsedSince(sendUs);
        ssize_t n = recvmsg(probe.fd.get(), &msg, 0);
        int error = errno;
        if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            if (elapsedUs <= timeoutUs) {
                if (!waitReadable(probe, timeoutUs - elapsedUs)) return Await::Cancelled;
                continue;
            }
            pingReply timedOut{};
            probe.reporter(probe.request, probe.addressText, &timedOut);
            return Await::Done;
        }
        if (n < 0) {
            errno = error;
            failWith(*probe.request, "recvmsg", errno);
            return Await::Done;
        }
        elapsedUs = elapsedSince(sendUs);
        Packet result =
            handlePacket(probe, sequence, packet, static_cast<size_t>(n), msg, elapsedUs);
        if (result == Packet::Matched) return Await::Done;
        if (result == Packet::Failed) return Await::Stop;
    }
}

// Sleeps out the rest of the interval that began with the send, or until cancelled (false).
// Another probe thread dropping privilege signals every thread of the process and cuts a sleep
// short, so the sleep resumes until the interval has passed.
bool paceNextSend(const Probe& probe, uint64_t sendUs, uint64_t elapsedUs, uint64_t intervalUs) {
    while (elapsedUs < intervalUs) {
        pollfd entry{probe.request->cancelFd, POLLIN, 0};
        int wakeMs = static_cast<int>((intervalUs - elapsedUs + 999) / 1000);
        if (poll(&entry, 1, wakeMs) > 0) return false;
        elapsedUs = elapsedSince(sendUs);
    }
    return true;
}

int runProbe(Probe& probe) {
    const pingRequest& request = *probe.request;
    const uint64_t startUs = nowUs();
    const uint64_t totalUs = static_cast<uint64_t>(request.totalTimeout) * 1000u;
    const uint64_t intervalUs = static_cast<uint64_t>(request.pingInterval) * 1000u;
    for (uint32_t sequence = 0;; ++sequence) {
        if (request.pingCount != 0 && sequence == request.pingCount) return 0;
        // Tested only before a send: a request already sent is still waited for.
        if (request.totalTimeout != 0 && elapsedSince(startUs) > totalUs) return 0;
        if (cancelled(probe)) return 0;
        if (!sendEcho(probe, static_cast<uint16_t>(sequence))) return 1;
        const uint64_t sendUs = nowUs();
        uint64_t elapsedUs = 0;
        Await outcome = awaitReply(probe, static_cast<uint16_t>(sequence), sendUs, elapsedUs);
        if (outcome == Await::Stop) return 1;
        if (outcome == Await::Cancelled || !paceNextSend(probe, sendUs, elapsedUs, intervalUs)) {
            return 0;
        }
    }
}

}  // namespace

uint16_t ping_checksum(const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint64_t sum = 0;
    for (; length > 1; bytes += 2, length -= 2) {
        uint16_t word;
        memcpy(&word, bytes, sizeof word);
        sum += word;
    }
    if (length == 1) {
        uint16_t word = 0;
        memcpy(&word, bytes, 1);
        sum += word;
    }
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

bool ping_request_ends(const pingRequest* request) {
    if (request->pingInterval < LK_PING_INTERVAL_MIN_MS) return false;
    if (request->pingTimeout < 1 || request->pingTimeout > LK_PING_TIMEOUT_MAX_MS) return false;
    if (request->pingCount < 1 || request->pingCount > LK_PING_COUNT_MAX) return false;
    uint64_t run = uint64_t{request->pingCount} * request->pingInterval + request->pingTimeout;
    if (request->totalTimeout != 0) {
        run = std::min<uint64_t>(run, uint64_t{request->totalTimeout} + request->pingTimeout);
    }
    return run <= LK_PING_RUN_MAX_MS;
}

bool ping_address_is_group(const sockaddr* address) {
    if (address->sa_family == AF_INET6) {
        return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    }
    if (address->sa_family != AF_INET) return false;
    in_addr_t host = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    return IN_MULTICAST(host) || host == INADDR_BROADCAST;
}

bool ping_host_is_group(const char* host) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_RAW;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0) return false;
    AddrInfoPtr owned(list);
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (ping_address_is_group(entry->ai_addr)) return true;
    }
    return false;
}

int ping_operation(pingRequest* request, pingReporter reporter) {
    Probe probe;
    probe.request = request;
    probe.reporter = reporter;
    {
        AddrInfoPtr list;
        if (!resolveHost(*request, list)) return 1;
        if (!openSocket(probe, list.get())) return 1;
    }
    if (!prepareSocket(probe)) return 1;
    formatAddress(probe);
    reporter(request, probe.addressText, nullptr);
    return runProbe(probe);
}
