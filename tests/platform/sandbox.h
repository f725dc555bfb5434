#pragma once
// For tests that write the platform's real paths: they run only inside the private mount
// namespace of scripts/sandbox-fs.sh, which sets LK_SANDBOX_FS.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/platform/stdout_capture.h"

#define LK_REQUIRE_SANDBOX()                     \
    if (std::getenv("LK_SANDBOX_FS") == nullptr) \
    GTEST_SKIP() << "needs the private file system of scripts/sandbox-fs.sh"

// Removes every entry below dir but keeps dir itself.
inline void emptyDir(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

// The text probe returns in a forked child, which starts with fresh once-only state; a crashed
// or failed child shows in the text.
template <typename Probe>
std::string inChildProcess(Probe probe) {
    int status = -1;
    std::string text = captureStdout([&] {
        pid_t child = fork();
        if (child == 0) {
            std::string out = probe();
            _exit(write(STDOUT_FILENO, out.data(), out.size()) == ssize_t(out.size()) ? 0 : 1);
        }
        if (child > 0) waitpid(child, &status, 0);
    });
    return status == 0 ? text : text + "<child failed>";
}
