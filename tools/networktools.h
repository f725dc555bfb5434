#pragma once
// The ping request (id 12): decoded on the bus thread, probed on a detached thread of its own,
// answered at once with a probe handle and later by one result message (id 13).
#include <cstdint>

#include "bus/bus.h"
#include "codec/codec.h"
#include "tools/ping_engine.h"

constexpr int32_t NETWORKTOOLS_FIRST_PING_HANDLE = 0x1000;
// Probes running at once; a further request is refused like a thread the system cannot start.
constexpr int NETWORKTOOLS_MAX_PROBES = 64;

// Counters of one probe, kept by pingLogReply.
struct pingStats {
    uint32_t requests;  // echo requests answered or timed out
    uint32_t timeouts;
    uint32_t minReplyUs;
    uint32_t maxReplyUs;
    uint32_t totalReplyUs;  // wraps
};

// One started probe; lives in pingRequest::job and belongs to the probe thread.
struct pingJob {
    int32_t handle;
    TrelInterface* iface;  // through which the result is sent
    pingStats* stats;      // the probe thread's own, while the probe runs
    TrelRoute route;       // to whom: the bus, or the control client that asked
};

// The handle of the next probe; read and changed on the bus thread only.
extern int32_t nextPingHandle;

// Request handler: 4 (the handle written to the reply), -12, -22, or the negated error of the
// thread creation (-11 as well when NETWORKTOOLS_MAX_PROBES are running).
int networktools_trelHandlePing(TrelRequest* request);
// Request 17, payload the 4-byte handle of request 12: the probe stops at once and sends its
// result with what it has so far. 0, -ENOENT for a handle that is not running, -EINVAL.
int networktools_cancelPing(TrelRequest* request);
// Fills request from the JSON text at the decoder's position; 0, or -EINVAL when the text is
// invalid, a required member is missing or a bound is broken (see ping_request_ends).
int nmjson_unmarshal_pingRequest(Decoder* dec, pingRequest* request);
// Probe thread: runs the engine, sends the result message, frees the request and its job.
void* pingThreadMain(void* arg);
// The probe thread's reporter: keeps the job's statistics and logs each event.
void pingLogReply(pingRequest* request, const char* addressText, const pingReply* reply);
// A reporter for front ends that prints the same events on standard output; printf's result.
int reportPing(pingRequest* request, const char* addressText, const pingReply* reply);
// Echo requests to host out of interface ifname, one a second, until one is answered or seconds
// have passed: 0 answered, -EHOSTUNREACH none answered (or none could be sent: no route out of
// that link, a name that does not resolve), -EINVAL a host or name that does not fit. Blocks
// the caller.
int networktools_echoCheck(const char* ifname, const char* host, uint32_t seconds);
// Writes the members of the result message into an open object: "handle", then the
// statistics for engine result 0, else "error" and, when the engine named one, the "cause".
void networktools_encodePingResult(Encoder* enc, int32_t handle, int engineResult,
                                   const pingStats* stats, const char* cause);
