#include "platform/log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <string>

#include "tests/platform/stdout_capture.h"

namespace {

// The text of one console line "YYYY-MM-DD hh:mm:ss.mmm ZONE | text\n", or a marker when the
// line has another shape.
std::string textOfLine(const std::string& line) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    bool ok = line.size() > shape.size() && line.back() == '\n';
    for (size_t i = 0; ok && i < shape.size(); ++i) {
        ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                             : line[i] == shape[i];
    }
    size_t bar = ok ? line.find(' ', shape.size()) : std::string::npos;
    ok = bar != std::string::npos && bar > shape.size() && line.compare(bar, 3, " | ") == 0;
    if (!ok) return "<malformed: " + line + ">";
    return line.substr(bar + 3, line.size() - bar - 4);
}

TEST(ConsoleLog, WritesOneTimeStampedLineWithTheFormattedText) {
    EXPECT_EQ(textOfLine(captureStdout([] { yebLog("link %s is %d", "eth0", 42); })),
              "link eth0 is 42");
}

TEST(ConsoleLog, TrailingNewlineAndNoNewlineGiveTheSameLine) {
    EXPECT_EQ(textOfLine(captureStdout([] { yebLog("same text\n"); })), "same text");
    EXPECT_EQ(textOfLine(captureStdout([] { yebLog("same text"); })), "same text");
    EXPECT_EQ(textOfLine(captureStdout([] { yebLog("%s", ""); })), "") << "prefix only";
    EXPECT_EQ(textOfLine(captureStdout([] { yebLog("first\nsecond"); })), "first\nsecond");
}

TEST(ConsoleLog, MessagesUpTo2047CharactersAreWrittenWholeLongerOnesDropped) {
    std::string text(2047, 'x');
    EXPECT_EQ(textOfLine(captureStdout([&] { yebLog("%s", text.c_str()); })), text);
    text.pop_back();
    EXPECT_EQ(textOfLine(captureStdout([&] { yebLog("%s\n", text.c_str()); })), text);
    for (size_t length : {2048u, 2049u, 10000u}) {
        std::string tooLong(length, 'z');
        EXPECT_EQ(captureStdout([&] { yebLog("%s", tooLong.c_str()); }), "") << length;
    }
}

TEST(Clocks, WallClockIsNearTheSystemClockAndMonotonicNeverGoesBack) {
    int64_t system = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_NEAR(static_cast<double>(yebCurrentTimeMs()), static_cast<double>(system), 60000.0);
    int64_t previous = yebMonoTimeMs();
    for (int i = 0; i < 1000; ++i) {
        int64_t now = yebMonoTimeMs();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

}  // namespace
