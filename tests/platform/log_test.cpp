#include "platform/log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <string>

#include "tests/platform/stdout_capture.h"

namespace {

// The text of the console line "YYYY-MM-DD hh:mm:ss.mmm ZONE | text\n" the message gives;
// "<dropped>" when nothing was written, the whole output when it has another shape.
std::string loggedText(const std::string& message) {
    std::string out = captureStdout([&] { yebLog("%s", message.c_str()); });
    if (out.empty()) return "<dropped>";
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    size_t bar = out.find(" | ", shape.size());
    bool ok = bar != std::string::npos && bar > shape.size() && out.back() == '\n' &&
              out.find(' ', shape.size()) == bar;
    for (size_t i = 0; ok && i < shape.size(); ++i)
        ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(out[i])) != 0
                             : out[i] == shape[i];
    return ok ? out.substr(bar + 3, out.size() - bar - 4) : "<malformed> " + out;
}

TEST(ConsoleLog, WritesOneStampedLinePerMessageAndDropsMessagesOf2048BytesOrMore) {
    const std::string x2047(2047, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"link eth0 is 42", "link eth0 is 42"},
        {"a newline is added\n", "a newline is added"},
        {"", ""},
        {"first\nsecond", "first\nsecond"},
        {x2047, x2047},
        {x2047.substr(1) + "\n", x2047.substr(1)},
        {x2047 + "x", "<dropped>"},
        {std::string(10000, 'z'), "<dropped>"},
    };
    for (const auto& [message, expected] : cases) {
        EXPECT_EQ(loggedText(message), expected) << message.size() << " bytes";
    }
    std::string out = captureStdout([] { yebLog("link %s is %d", "eth0", 42); });
    EXPECT_TRUE(out.ends_with(" | link eth0 is 42\n")) << out;
}

TEST(Clocks, FollowTheSystemsWallClockAndMonotonicClock) {
    using Ms = std::chrono::duration<double, std::milli>;
    auto near = [](int64_t ms, auto now) {
        return std::abs(static_cast<double>(ms) - Ms(now.time_since_epoch()).count()) < 60000;
    };
    EXPECT_TRUE(near(yebCurrentTimeMs(), std::chrono::system_clock::now()));
    EXPECT_TRUE(near(yebMonoTimeMs(), std::chrono::steady_clock::now()));
}

}  // namespace
