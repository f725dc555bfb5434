#include "nm/nm_verify.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "nm/nm_park.h"
#include "platform/platform.h"

namespace {

std::atomic<NmVerifier> gVerifier{nullptr};

// Shared by the parked request and the probe thread; the request may be gone when the probe
// ends (worker stopped, NetworkManager gone), and then the result goes nowhere.
struct Check {
    std::string ifname;
    std::string host;
    uint32_t seconds;
    int result = 0;
    NmPark* park = nullptr;  // worker only; null once the request left
};

int deliver(void* data) {
    std::unique_ptr<std::shared_ptr<Check>> check(static_cast<std::shared_ptr<Check>*>(data));
    if ((*check)->park != nullptr) (*check)->park->wake((*check)->result);
    return 0;
}

void probe(std::shared_ptr<Check> check, NmVerifier verifier) {
    check->result = verifier(check->ifname.c_str(), check->host.c_str(), check->seconds);
    auto* handOver = new std::shared_ptr<Check>(std::move(check));
    if (!nmadapter_post_state(deliver, handOver)) delete handOver;
}

}  // namespace

void nmadapter_set_verifier(NmVerifier verifier) {
    gVerifier = verifier;
}

NmTask nmVerify(const char* ifname, const char* host, uint32_t seconds) {
    NmVerifier verifier = gVerifier;
    if (verifier == nullptr) co_return -EOPNOTSUPP;
    auto check = std::make_shared<Check>(Check{ifname, host, seconds});
    NmPark park(-1);  // the probe bounds itself; NetworkManager's going ends the wait too
    check->park = &park;
    yebLog("verifying %s: echo requests to %s for %u s\n", ifname, host, seconds);
    std::thread(probe, check, verifier).detach();
    int result = co_await park;
    check->park = nullptr;
    yebLog("verify of %s: %s\n", ifname, result == 0 ? "answered" : "no answer");
    co_return result;
}
