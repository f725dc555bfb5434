#pragma once
// A NetworkManager request as a coroutine: a handler returns an NmTask, and every wait inside
// it (a libnm call, a device state, a timer, its interface's turn) suspends the request instead
// of the worker, which serves other requests meanwhile. The result is the reply size or -errno.
#include <coroutine>
#include <cstdlib>
#include <utility>

class NmTask {
  public:
    struct promise_type {
        int result = 0;
        std::coroutine_handle<> continuation;

        NmTask get_return_object() {
            return NmTask(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        // Lazy: the body starts when the task is awaited (or started by the worker).
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct Resumer {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(
                std::coroutine_handle<promise_type> done) noexcept {
                std::coroutine_handle<> next = done.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        // The awaiting coroutine goes on where the task ends, without growing the stack.
        Resumer final_suspend() noexcept { return {}; }
        void return_value(int value) { result = value; }
        void unhandled_exception() { std::abort(); }  // built without exceptions in mind
    };

    explicit NmTask(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    NmTask(NmTask&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    NmTask& operator=(NmTask&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    NmTask(const NmTask&) = delete;
    NmTask& operator=(const NmTask&) = delete;
    ~NmTask() {
        if (handle_) handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
        handle_.promise().continuation = caller;
        return handle_;
    }
    int await_resume() const noexcept { return handle_.promise().result; }

  private:
    std::coroutine_handle<promise_type> handle_;
};

// A coroutine that starts at once and frees its frame itself when it ends: what starts a
// request (which then ends on its own, parked or not).
struct NmDetached {
    struct promise_type {
        NmDetached get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::abort(); }
    };
};
