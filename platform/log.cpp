#include "platform/log.h"

#include <errno.h>
#include <sys/time.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
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

}  // namespace

void yebLog(const char* format, ...) {
    char text[kTextSize + 2];  // room for an added newline and the terminator
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, kTextSize, format, args);
    va_end(args);
    if (length < 0 || length >= kTextSize) return;

    if (output.load(std::memory_order_relaxed) == Output::Syslog) {
        syslog(LOG_INFO, "%s", text);
        return;
    }
    if (length == 0 || text[length - 1] != '\n') {
        text[length] = '\n';
        text[length + 1] = '\0';
    }
    writeConsoleLine(text);
}

int yebLogToSyslog() {
    if (output.load(std::memory_order_relaxed) == Output::Syslog) return 0;
    openlog(program_invocation_short_name, LOG_PID | LOG_CONS | LOG_NDELAY, LOG_USER);
    output.store(Output::Syslog, std::memory_order_relaxed);
    return 0;
}
