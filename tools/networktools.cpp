#include "tools/networktools.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "codec/codec.h"
#include "json/json.h"
#include "platform/platform.h"

int32_t nextPingHandle = NETWORKTOOLS_FIRST_PING_HANDLE;

namespace {

// Per-echo log lines, across all probes: at most this many a second; the rest are counted and
// the count is logged with the next line that gets through (or when a probe ends).
constexpr int kEchoLinesPerSecond = 10;

class ThreadAttr {
  public:
    ThreadAttr() { pthread_attr_init(&attr_); }
    ~ThreadAttr() { pthread_attr_destroy(&attr_); }
    ThreadAttr(const ThreadAttr&) = delete;
    ThreadAttr& operator=(const ThreadAttr&) = delete;
    pthread_attr_t* get() { return &attr_; }

  private:
    pthread_attr_t attr_;
};

pingJob* jobOf(const pingRequest* request) {
    return static_cast<pingJob*>(request->job);
}

// Counts one completed echo request; a reply with a bad checksum counts like any other.
void countReply(pingStats& stats, const pingReply& reply) {
    ++stats.requests;
    if (!reply.received) {
        ++stats.timeouts;
        return;
    }
    uint32_t rtt = static_cast<uint32_t>(reply.rttUs);
    if (stats.requests - stats.timeouts == 1) {
        stats.minReplyUs = rtt;
        stats.maxReplyUs = rtt;
    } else if (rtt > stats.maxReplyUs) {
        stats.maxReplyUs = rtt;
    } else if (rtt < stats.minReplyUs) {
        stats.minReplyUs = rtt;
    }
    stats.totalReplyUs += rtt;
}

const char* checksumNote(const pingReply& reply) {
    return reply.checksumOk ? "" : " (bad checksum)";
}

// Running probes by handle, with the descriptor that cancels each (an eventfd it polls) and
// the peer that started it, who alone may cancel it.
struct RunningProbe {
    int32_t handle;
    int cancelFd;
    TrelRoute owner;
};
std::mutex& gProbesLock = *new std::mutex;  // never destroyed: probe threads may outlive main
std::vector<RunningProbe>& gProbes = *new std::vector<RunningProbe>;

// The probe's cancel descriptor, or -EAGAIN when the pool or the owner's share of it is taken.
int registerProbe(int32_t handle, TrelRoute owner) {
    std::lock_guard<std::mutex> guard(gProbesLock);
    int held = 0;
    for (const RunningProbe& probe : gProbes) held += trelSameOwner(probe.owner, owner) ? 1 : 0;
    if (!trelPoolAdmits(held, static_cast<int>(gProbes.size()), NETWORKTOOLS_MAX_PROBES)) {
        yebLog("ping request refused: %zu probes running, %d of them for this peer\n",
               gProbes.size(), held);
        return -EAGAIN;
    }
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -errno;
    gProbes.push_back(RunningProbe{handle, fd, owner});
    return fd;
}

void unregisterProbe(int32_t handle) {
    std::lock_guard<std::mutex> guard(gProbesLock);
    for (auto it = gProbes.begin(); it != gProbes.end(); ++it) {
        if (it->handle != handle) continue;
        close(it->cancelFd);
        gProbes.erase(it);
        return;
    }
}

// The per-echo lines of all probes share one allowance a second; never destroyed, as gProbes.
YebLogLimit& gEchoLog = *new YebLogLimit(kEchoLinesPerSecond, "ping: per-echo log lines");

}  // namespace

int networktools_cancelPing(TrelRequest* request) {
    if (decoderRemaining(&request->decoder) < 4) return -EINVAL;
    int32_t handle = decodeInt32(&request->decoder);
    std::lock_guard<std::mutex> guard(gProbesLock);
    for (const RunningProbe& probe : gProbes) {
        // Another peer's probe is not there for this one.
        if (probe.handle != handle || !trelSameOwner(probe.owner, request->route)) continue;
        uint64_t one = 1;
        if (write(probe.cancelFd, &one, sizeof one) != sizeof one) return -EIO;
        yebLog("ping[0x%x] cancelled\n", static_cast<unsigned>(handle));
        return 0;
    }
    return -ENOENT;
}

int nmjson_unmarshal_pingRequest(Decoder* dec, pingRequest* request) {
    memset(request, 0, sizeof *request);
    request->cancelFd = -1;
    JsonRequestText json;
    if (!json_request_text(dec, &json)) return -EINVAL;
    const char* text = json.text;
    size_t length = json.length;

    JsonValue hostname = json_getn(text, length, "hostname");
    // Never cut: a cut host name names another host.
    if (!json_string_copy_whole(hostname, request->hostname, sizeof request->hostname)) {
        return -EINVAL;
    }

    JsonValue ipVersion = json_getn(text, length, "ipVersion");
    if (json_exists(ipVersion)) request->ipVersion = static_cast<uint32_t>(json_uint64(ipVersion));

    const struct {
        const char* path;
        uint32_t* field;
    } required[] = {
        {"pingCount", &request->pingCount},
        {"totalTimeout", &request->totalTimeout},
        {"pingInterval", &request->pingInterval},
        {"pingTimeout", &request->pingTimeout},
    };
    for (const auto& member : required) {
        JsonValue value = json_getn(text, length, member.path);
        if (!json_exists(value)) return -EINVAL;
        uint64_t number = json_uint64(value);
        if (number > UINT32_MAX) return -EINVAL;  // never wrapped into a small number
        *member.field = static_cast<uint32_t>(number);
    }
    // A probe out of bounds would hold its thread and raw socket for years, or flood the link.
    return ping_request_ends(request) ? 0 : -EINVAL;
}

int networktools_trelHandlePing(TrelRequest* request) {
    std::unique_ptr<pingRequest> ping(new (std::nothrow) pingRequest{});
    if (!ping) return -ENOMEM;
    std::unique_ptr<pingJob> job(new (std::nothrow) pingJob{});
    if (!job) return -ENOMEM;
    if (nmjson_unmarshal_pingRequest(&request->decoder, ping.get()) != 0) return -EINVAL;
    if (ping_host_is_group(ping->hostname)) return -EINVAL;  // every node on the link would answer

    job->handle = nextPingHandle;
    job->iface = request->interface;
    job->route = request->route;
    ping->job = job.get();

    ping->cancelFd = registerProbe(job->handle, job->route);
    if (ping->cancelFd < 0) return ping->cancelFd;
    ThreadAttr attr;
    pthread_attr_setdetachstate(attr.get(), PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    // A running probe keeps the control client that asked for its result.
    trelRouteHold(request->client, job->route, 1);
    int error = pthread_create(&thread, attr.get(), pingThreadMain, ping.get());
    if (error != 0) {
        unregisterProbe(job->handle);
        trelRouteHold(request->client, job->route, -1);
        return -error;
    }
    // The probe thread owns both records from here on.
    (void)ping.release();
    (void)job.release();

    encodeInt32(&request->encoder, nextPingHandle);
    ++nextPingHandle;
    return encoderSize(&request->encoder);
}

void* pingThreadMain(void* arg) {
    std::unique_ptr<pingRequest> request(static_cast<pingRequest*>(arg));
    std::unique_ptr<pingJob> job(jobOf(request.get()));
    pingStats stats{};
    job->stats = &stats;

    int result = ping_operation(request.get(), pingLogReply);
    // The slot is free before the result leaves: whoever holds the result may start another.
    unregisterProbe(job->handle);
    gEchoLog.flush();
    trelSendJsonObjectTo(job->iface, job->route, LK_MSG_PING_RESULT, [&](Encoder* enc) {
        networktools_encodePingResult(enc, job->handle, result, &stats, request->failure);
    });
    trelRouteHold(job->iface->client, job->route, -1);
    return nullptr;
}

void networktools_encodePingResult(Encoder* enc, int32_t handle, int engineResult,
                                   const pingStats* stats, const char* cause) {
    encodeJsonNameIntValue(enc, "handle", handle);
    if (engineResult == 0) {
        encodeJsonNameIntValue(enc, "requests", static_cast<int>(stats->requests));
        encodeJsonNameIntValue(enc, "timeouts", static_cast<int>(stats->timeouts));
        if (uint32_t replies = stats->requests - stats->timeouts; replies != 0) {
            encodeJsonNameIntValue(enc, "maxReplyUs", static_cast<int>(stats->maxReplyUs));
            encodeJsonNameIntValue(enc, "minReplyUs", static_cast<int>(stats->minReplyUs));
            encodeJsonNameIntValue(enc, "avgReplyUs",
                                   static_cast<int>(stats->totalReplyUs / replies));
        }
    } else {
        encodeJsonNameIntValue(enc, "error", engineResult);
        if (cause[0] != '\0') encodeJsonNameStrValue(enc, "cause", cause);
    }
}

void pingLogReply(pingRequest* request, const char* addressText, const pingReply* reply) {
    pingJob* job = jobOf(request);
    const unsigned handle = static_cast<unsigned>(job->handle);
    if (!reply) {
        yebLog("ping[0x%x] PING %s\n", handle, addressText);
        return;
    }
    countReply(*job->stats, *reply);
    if (!gEchoLog.admit(yebMonoTimeMs())) return;
    if (!reply->received) {
        yebLog("ping[0x%x] Request timed out\n", handle);
        return;
    }
    yebLog("ping[0x%x] Received reply from %s: seq=%d, time=%.3f ms%s\n", handle, addressText,
           reply->sequence, static_cast<double>(reply->rttUs) / 1000.0, checksumNote(*reply));
}

int reportPing(pingRequest*, const char* addressText, const pingReply* reply) {
    if (!reply) return printf("PING %s\n", addressText);
    if (!reply->received) return printf("Request timed out\n");
    return printf("Received reply from %s: seq=%d, time=%.3f ms%s\n", addressText, reply->sequence,
                  static_cast<double>(reply->rttUs) / 1000.0, checksumNote(*reply));
}

namespace {

// One echo check: its reporter stops the probe at the first answer.
struct EchoCheck {
    UniqueFd stop;
    bool answered = false;
};

void onCheckEcho(pingRequest* request, const char*, const pingReply* reply) {
    auto* check = static_cast<EchoCheck*>(request->job);
    if (reply == nullptr || !reply->received || check->answered) return;
    check->answered = true;
    eventfd_write(check->stop.get(), 1);
}

}  // namespace

int networktools_echoCheck(const char* ifname, const char* host, uint32_t seconds) {
    EchoCheck check;
    check.stop.reset(eventfd(0, EFD_CLOEXEC));
    pingRequest request{};
    if (!check.stop || strlen(host) >= sizeof request.hostname ||
        strlen(ifname) >= sizeof request.device) {
        return -EINVAL;
    }
    strcpy(request.hostname, host);
    strcpy(request.device, ifname);
    request.job = &check;
    request.cancelFd = check.stop.get();
    request.pingCount = seconds;  // one a second, each waited for up to a second
    request.pingInterval = 1000;
    request.pingTimeout = 1000;
    request.totalTimeout = seconds * 1000;
    if (!ping_request_ends(&request)) return -EINVAL;
    // A probe that could not send (no route out of that link, a name that does not resolve)
    // reached nobody either.
    ping_operation(&request, onCheckEcho);
    return check.answered ? 0 : -EHOSTUNREACH;
}
