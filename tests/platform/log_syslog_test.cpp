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

struct OpenCall {
    std::string ident;
    int option;
    int facility;
};
struct LogCall {
    int priority;
    std::string format;
    std::string text;
};
std::vector<OpenCall> openCalls;
std::vector<LogCall> logCalls;

}  // namespace

extern "C" void openlog(const char* ident, int option, int facility) {
    openCalls.push_back({ident, option, facility});
}

namespace {
void recordLog(int priority, const char* format, va_list args) {
    char text[8192];
    std::vsnprintf(text, sizeof text, format, args);
    logCalls.push_back({priority, format, text});
}
}  // namespace

extern "C" void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordLog(priority, format, args);
    va_end(args);
}

// What syslog becomes in builds with _FORTIFY_SOURCE.
extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordLog(priority, format, args);
    va_end(args);
}

namespace {

TEST(SyslogLog, SwitchingTwiceOpensTheLogOnceWithTheProgramName) {
    EXPECT_EQ(yebLogToSyslog(), 0);
    EXPECT_EQ(yebLogToSyslog(), 0);
    ASSERT_EQ(openCalls.size(), 1u);
    EXPECT_EQ(openCalls[0].ident, program_invocation_short_name);
    EXPECT_EQ(openCalls[0].option, LOG_PID | LOG_CONS | LOG_NDELAY);
    EXPECT_EQ(openCalls[0].facility, LOG_USER);
}

TEST(SyslogLog, TextArrivesAsFormattedWithoutStampOrAddedNewline) {
    yebLogToSyslog();
    logCalls.clear();
    std::string console = captureStdout([] {
        yebLog("plain %d", 1);
        yebLog("with newline\n");
        yebLog("%%s is passed as an argument");
    });
    EXPECT_EQ(console, "");
    ASSERT_EQ(logCalls.size(), 3u);
    for (const LogCall& call : logCalls) {
        EXPECT_EQ(call.priority, LOG_INFO);
        EXPECT_EQ(call.format, "%s");
    }
    EXPECT_EQ(logCalls[0].text, "plain 1");
    EXPECT_EQ(logCalls[1].text, "with newline\n");
    EXPECT_EQ(logCalls[2].text, "%s is passed as an argument");
}

TEST(SyslogLog, OverLongMessagesAreDroppedHereToo) {
    yebLogToSyslog();
    logCalls.clear();
    yebLog("%s", std::string(2048, 'x').c_str());
    yebLog("%s", std::string(2047, 'x').c_str());
    ASSERT_EQ(logCalls.size(), 1u);
    EXPECT_EQ(logCalls[0].text.size(), 2047u);
}

}  // namespace
