#pragma once
// ICMP echo engine: one probe of a host over a raw ICMP or ICMPv6 socket, run on the caller's
// thread, every event handed to a reporter.
#include <cstddef>
#include <cstdint>

#include "bus/bus.h"

// What to probe and at which pace; all times in milliseconds.
struct pingRequest {
    void* job;     // the reporter's own per-probe record; the engine never reads it
    int cancelFd;  // readable once the probe must stop (an eventfd); -1: never
    char hostname[256];
    char device[16];        // the interface the echoes go out of (and replies come in); empty: any
    uint32_t ipVersion;     // 0: IPv4, falling back to IPv6; 4: IPv4 only; 6: IPv6 only
    uint32_t pingCount;     // 0: no count limit
    uint32_t totalTimeout;  // no request is sent after this much time; 0: no limit
    uint32_t pingInterval;  // from one send to the next
    uint32_t pingTimeout;   // wait for each reply
    char failure[128];      // set by the engine when it stops early: why, as text
};

// One completed echo request; a time-out has every field zero.
struct pingReply {
    uint32_t received;  // 1: matching reply, 0: time-out
    uint16_t sequence;
    uint64_t rttUs;  // from the send to the return of the receive that delivered the reply
    uint32_t checksumOk;
};

// Called once with a null reply when the probe starts, then once per completed echo request.
using pingReporter = void (*)(pingRequest* request, const char* addressText,
                              const pingReply* reply);

// False when the probe would break a bound: interval below 10 ms, time-out outside 1 ms to
// 60 s, count outside 1 to 65535, or a run that could last longer than one hour (count times
// interval plus time-out, or the total time plus one time-out when that is shorter).
bool ping_request_ends(const pingRequest* request);

// Whether the address is a group one (IPv4 or IPv6 multicast, the IPv4 limited broadcast):
// every node that hears an echo to it answers, so a probe never targets one.
bool ping_address_is_group(const struct sockaddr* address);
// Whether host is such an address written as digits (no name is looked up).
bool ping_host_is_group(const char* host);

// Runs the whole probe; 0 when it ended by count, total time or cancellation, 1 when it had to
// stop early, with the cause in request->failure ("Network is unreachable"; also printed on
// standard error in the manner of perror). Every wait and
// round trip is timed on the monotonic clock; the kernel hands the probe only the echo replies
// that carry its own identifier.
int ping_operation(pingRequest* request, pingReporter reporter);

// The Internet checksum (RFC 1071) of length bytes; an odd last byte is padded with zero.
// The result is in the byte order of the data, ready to be stored into a header.
uint16_t ping_checksum(const void* data, size_t length);
