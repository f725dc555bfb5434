#include "platform/log.h"

#include <errno.h>
#include <sys/time.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Longest message is one byte less: a text that does not fit whole is dropped, never cut.
constexpr int kTextSize = 2048;

enum class Output { Console, Syslog };
// Switched once during start-up; atomic so that late readers on other threads stay well-defined.
std::atomic<Output> output{Output::Console};

// One printf call per message so that lines of concurrent threads never interleave.
void writeConsoleLine(const char* text) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[64];
    char zone[10];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    strftime(zone, sizeof zone, "%Z", &local);
    std::printf("%s.%03d %s | %s", stamp, static_cast<int>(now.tv_usec / 1000), zone, text);
    std::fflush(stdout);
}

// The length of the well-formed UTF-8 sequence at text (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when none starts there.
size_t utf8SequenceLength(const unsigned char* text, size_t left) {
    unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || length > left) return 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

size_t yebLogEscape(const char* text, size_t length, char* out) {
    static const char kHex[] = "0123456789abcdef";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t written = 0;
    for (size_t i = 0; i < length;) {
        size_t sequence =
            bytes[i] < 0x20 || bytes[i] == 0x7F ? 0 : utf8SequenceLength(bytes + i, length - i);
        if (sequence > 0) {
            std::memcpy(out + written, bytes + i, sequence);
            written += sequence;
            i += sequence;
            continue;
        }
        out[written++] = '\\';
        out[written++] = 'x';
        out[written++] = kHex[bytes[i] >> 4];
        out[written++] = kHex[bytes[i] & 0xF];
        ++i;
    }
    out[written] = '\0';
    return written;
}

void yebLog(const char* format, ...) {
    char text[kTextSize + 2];  // room for an added newline and the terminator
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, kTextSize, format, args);
    va_end(args);
    if (length < 0 || length >= kTextSize) return;
    // One message is one line: what peers wrote into it (control characters, bytes that are
    // not UTF-8) is shown as escapes, so that nobody can forge or split a line.
    if (length > 0 && text[length - 1] == '\n') --length;
    char line[kTextSize * 4 + 2];
    size_t written = yebLogEscape(text, static_cast<size_t>(length), line);
    if (output.load(std::memory_order_relaxed) == Output::Syslog) {
        syslog(LOG_INFO, "%s", line);
        return;
    }
    line[written] = '\n';
    line[written + 1] = '\0';
    writeConsoleLine(line);
}

int yebLogToSyslog() {
    if (output.load(std::memory_order_relaxed) == Output::Syslog) return 0;
    openlog(program_invocation_short_name, LOG_PID | LOG_CONS | LOG_NDELAY, LOG_USER);
    output.store(Output::Syslog, std::memory_order_relaxed);
    return 0;
}

bool YebLogLimit::admit(int64_t nowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    if (nowMs - windowMs_ >= 1000) {
        flushLocked();
        windowMs_ = nowMs;
        used_ = 0;
    }
    if (used_ < perSecond_) {
        ++used_;
        return true;
    }
    ++omitted_;
    return false;
}

void YebLogLimit::flush() {
    std::lock_guard<std::mutex> guard(lock_);
    flushLocked();
}

void YebLogLimit::flushLocked() {
    if (omitted_ > 0) yebLog("%s left out: %ld\n", what_, omitted_);
    omitted_ = 0;
}
