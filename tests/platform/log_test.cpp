#include "platform/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "tests/platform/stdout_capture.h"

namespace {

// Date, time, three-digit milliseconds, zone abbreviation, bar, then the text.
const std::regex kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [^ ]+ \| (.*)\n$)");

std::string textOfLine(const std::string& line) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) return "<malformed: " + line + ">";
    return match[1].str();
}

TEST(ConsoleLog, WritesOneTimeStampedLineWithTheFormattedText) {
    std::string out = captureStdout([] { yebLog("link %s is %d", "eth0", 42); });
    EXPECT_EQ(textOfLine(out), "link eth0 is 42");
}

TEST(ConsoleLog, TrailingNewlineAndNoNewlineGiveTheSameLine) {
    std::string with = captureStdout([] { yebLog("same text\n"); });
    std::string without = captureStdout([] { yebLog("same text"); });
    EXPECT_EQ(textOfLine(with), "same text");
    EXPECT_EQ(textOfLine(without), "same text");
}

TEST(ConsoleLog, EmptyMessageGivesOnlyThePrefix) {
    std::string out = captureStdout([] { yebLog("%s", ""); });
    EXPECT_EQ(textOfLine(out), "");
    EXPECT_EQ(out.substr(out.size() - 3), "| \n");
}

TEST(ConsoleLog, EmbeddedNewlinesAreKeptInOneWrite) {
    std::string out = captureStdout([] { yebLog("first\nsecond"); });
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex(R"(\| first\nsecond\n$)"))) << out;
}

TEST(ConsoleLog, MessageOf2047CharactersIsWrittenWhole) {
    std::string text(2047, 'x');
    std::string out = captureStdout([&] { yebLog("%s", text.c_str()); });
    EXPECT_EQ(textOfLine(out), text);
}

TEST(ConsoleLog, MessageOf2046CharactersAndNewlineIsWrittenWhole) {
    std::string text(2046, 'y');
    std::string out = captureStdout([&] { yebLog("%s\n", text.c_str()); });
    EXPECT_EQ(textOfLine(out), text);
}

TEST(ConsoleLog, MessagesOf2048CharactersOrMoreAreDropped) {
    for (size_t length : {2048u, 2049u, 10000u}) {
        std::string text(length, 'z');
        EXPECT_EQ(captureStdout([&] { yebLog("%s", text.c_str()); }), "") << length;
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
