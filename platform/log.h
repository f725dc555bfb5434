#pragma once
// Process-wide logging: console with time stamps, or syslog.

#include <cstddef>
#include <cstdint>
#include <mutex>

// printf-style; a message of 2048 bytes or more is dropped. One message is one line: control
// characters and bytes that are not UTF-8 in it are written as escapes (yebLogEscape).
void yebLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes length bytes of text to out (room for 4 * length + 1) with every control character,
// DEL and byte that starts no well-formed UTF-8 sequence as \xNN; the length written.
size_t yebLogEscape(const char* text, size_t length, char* out);
// Switches every later yebLog to syslog (LOG_USER, LOG_INFO); opens the log once; always 0.
int yebLogToSyslog();

// Lines of one kind that a peer can cause as often as it likes (an echo, a refusal): at most
// perSecond of them in a second are logged; the rest are counted, and the count is logged as
// "<what> left out: N" by the first admit() of a later second, or by flush(). Thread-safe.
class YebLogLimit {
  public:
    YebLogLimit(int perSecond, const char* what) : perSecond_(perSecond), what_(what) {}
    // Whether the caller may log its line now (nowMs: the monotonic clock, in ms).
    bool admit(int64_t nowMs);
    void flush();

  private:
    void flushLocked();

    std::mutex lock_;
    const int perSecond_;
    const char* const what_;
    int64_t windowMs_ = INT64_MIN / 2;
    int used_ = 0;
    long omitted_ = 0;
};
