#include "nm/nm_park.h"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace {

// Never destroyed: parks may outlive static destruction at exit.
std::vector<NmPark*>& gFollowing = *new std::vector<NmPark*>;
std::vector<NmTurn*>& gTurns = *new std::vector<NmTurn*>;

void forget(std::vector<NmPark*>& parks, NmPark* park) {
    parks.erase(std::remove(parks.begin(), parks.end(), park), parks.end());
}

bool conflict(const NmTurn& a, const NmTurn& b) {
    return a.key().empty() || b.key().empty() || a.key() == b.key();
}

// A turn goes when no turn before it in the queue conflicts with it.
void grantTurns() {
    for (size_t i = 0; i < gTurns.size(); ++i) {
        bool free = true;
        for (size_t j = 0; j < i && free; ++j) free = !conflict(*gTurns[j], *gTurns[i]);
        if (free) gTurns[i]->grant();
    }
}

}  // namespace

NmPark::NmPark(int timeoutMs, bool followsClient)
    : timeoutMs_(timeoutMs), followsClient_(followsClient) {
    if (followsClient_) gFollowing.push_back(this);
}

NmPark::~NmPark() {
    if (timer_ != 0) g_source_remove(timer_);
    if (resume_ != 0) g_source_remove(resume_);
    if (followsClient_) forget(gFollowing, this);
}

void NmPark::await_suspend(std::coroutine_handle<> waiter) {
    waiter_ = waiter;
    if (timeoutMs_ >= 0) timer_ = g_timeout_add(static_cast<guint>(timeoutMs_), onTimer, this);
}

void NmPark::wake(int result) {
    if (result_) return;
    result_ = result;
    if (followsClient_) forget(gFollowing, this);
    if (timer_ != 0) {
        g_source_remove(timer_);
        timer_ = 0;
    }
    // Not suspended yet (woken while it was made): co_await then goes on at once.
    if (waiter_) resume_ = g_idle_add_full(G_PRIORITY_DEFAULT, onResume, this, nullptr);
}

gboolean NmPark::onTimer(gpointer self) {
    auto* park = static_cast<NmPark*>(self);
    park->timer_ = 0;
    park->wake(-ETIMEDOUT);
    return G_SOURCE_REMOVE;
}

gboolean NmPark::onResume(gpointer self) {
    auto* park = static_cast<NmPark*>(self);
    park->resume_ = 0;
    // The request may end, and the park with it, before resume() returns.
    std::exchange(park->waiter_, {}).resume();
    return G_SOURCE_REMOVE;
}

void nmParkedWakeAll(int result) {
    // wake() takes the park off the list.
    while (!gFollowing.empty()) gFollowing.front()->wake(result);
}

NmTurn::NmTurn(std::string key) : key_(std::move(key)) {
    gTurns.push_back(this);
    grantTurns();
}

NmTurn::~NmTurn() {
    gTurns.erase(std::remove(gTurns.begin(), gTurns.end(), this), gTurns.end());
    grantTurns();
}
