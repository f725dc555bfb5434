// Syslog mode, with openlog and syslog replaced by recorders in this executable (the link
// resolves the runtime's calls to these definitions before the C library's).
#include <errno.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/log.h"
#include "tests/platform/stdout_capture.h"

namespace {
std::vector<std::string> opens;  // "ident option facility"
std::vector<std::string> logs;   // "priority format|text"

void record(int priority, const char* format, va_list args) {
    char text[8192];
    std::vsnprintf(text, sizeof text, format, args);
    logs.push_back(std::to_string(priority) + " " + format + "|" + text);
}
}  // namespace

extern "C" void openlog(const char* ident, int option, int facility) {
    opens.push_back(std::string(ident) + " " + std::to_string(option) + " " +
                    std::to_string(facility));
}

extern "C" void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

// What syslog becomes in builds with _FORTIFY_SOURCE.
extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

namespace {

TEST(SyslogLog, OpensOnceAndPassesTextAsFormattedWithTheSameDropRule) {
    EXPECT_EQ(yebLogToSyslog(), 0);
    EXPECT_EQ(yebLogToSyslog(), 0);
    EXPECT_EQ(opens, std::vector<std::string>{std::string(program_invocation_short_name) + " " +
                                              std::to_string(LOG_PID | LOG_CONS | LOG_NDELAY) +
                                              " " + std::to_string(LOG_USER)});
    std::string console = captureStdout([] {
        yebLog("plain %d", 1);
        yebLog("with newline\n");
        yebLog("%%s is passed as an argument");
        yebLog("%s", std::string(2048, 'x').c_str());
        yebLog("%s", std::string(2047, 'y').c_str());
    });
    EXPECT_EQ(console, "");
    const std::string info = std::to_string(LOG_INFO) + " %s|";
    EXPECT_EQ(logs, (std::vector<std::string>{info + "plain 1", info + "with newline\n",
                                              info + "%s is passed as an argument",
                                              info + std::string(2047, 'y')}));
}

}  // namespace
