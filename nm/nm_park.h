#pragma once
// Where a waiting request parks: it suspends on an NmPark until its libnm call completes, a
// device changes state, its timer fires or the worker loses NetworkManager, and the worker serves
// other requests meanwhile. Changes of one interface take turns (NmTurn), in arrival order.
// Worker thread only.
#include <glib.h>

#include <coroutine>
#include <optional>
#include <string>

class NmPark {
  public:
    // timeoutMs < 0: no timer. A park that follows the client ends with NM_UNAVAILABLE when the
    // worker loses its NetworkManager client.
    explicit NmPark(int timeoutMs, bool followsClient = true);
    ~NmPark();
    NmPark(const NmPark&) = delete;
    NmPark& operator=(const NmPark&) = delete;

    bool await_ready() const noexcept { return result_.has_value(); }
    void await_suspend(std::coroutine_handle<> waiter);
    int await_resume() const noexcept { return *result_; }

    // Ends the wait with result (-ETIMEDOUT is the timer's); only the first call counts. The
    // request resumes from the main loop, never inside the caller (a libnm signal, say).
    void wake(int result);
    bool woken() const { return result_.has_value(); }

  private:
    static gboolean onTimer(gpointer self);
    static gboolean onResume(gpointer self);

    int timeoutMs_;
    bool followsClient_;
    std::optional<int> result_;
    std::coroutine_handle<> waiter_;
    guint timer_ = 0;
    guint resume_ = 0;
};

// Ends every park that follows the client with result (the client went).
void nmParkedWakeAll(int result);

// The turn of one interface's changes, or of every change (key empty: reset to defaults). A
// turn joins the queue when it is made, so turns go in the order requests arrive; co_await
// waits until no earlier turn of the same key (or of everything) is still held; the turn is
// held until it is destroyed.
class NmTurn {
  public:
    explicit NmTurn(std::string key);
    ~NmTurn();
    NmTurn(const NmTurn&) = delete;
    NmTurn& operator=(const NmTurn&) = delete;

    bool await_ready() const noexcept { return park_.await_ready(); }
    void await_suspend(std::coroutine_handle<> waiter) { park_.await_suspend(waiter); }
    int await_resume() const noexcept { return park_.await_resume(); }
    // Lets the waiting change go (the queue decides when).
    void grant() { park_.wake(0); }
    const std::string& key() const { return key_; }

  private:
    std::string key_;
    NmPark park_{-1, false};
};
