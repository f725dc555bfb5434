#pragma once
// Helpers for tests that write the platform's real paths; they only run inside the private
// mount namespace of scripts/sandbox-fs.sh, which sets LK_SANDBOX_FS.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

#define LK_REQUIRE_SANDBOX()                                                          \
    do {                                                                              \
        if (std::getenv("LK_SANDBOX_FS") == nullptr)                                  \
            GTEST_SKIP() << "needs the private file system of scripts/sandbox-fs.sh"; \
    } while (0)

// Removes every entry below dir but keeps dir itself.
inline void emptyDir(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

// Runs probe in a forked child (a fresh copy of the process's once-only state) and returns the
// text it produced; a crashed or failed child shows up in the text.
template <typename Probe>
std::string inChildProcess(Probe probe) {
    int ends[2];
    if (pipe(ends) != 0) return "<pipe failed>";
    UniqueFd readEnd{ends[0]};
    UniqueFd writeEnd{ends[1]};
    pid_t child = fork();
    if (child < 0) return "<fork failed>";
    if (child == 0) {
        readEnd.reset();
        std::string text = probe();
        ssize_t written = write(writeEnd.get(), text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    writeEnd.reset();
    std::string text;
    char chunk[1024];
    ssize_t count;
    while ((count = read(readEnd.get(), chunk, sizeof chunk)) > 0) text.append(chunk, count);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "<child failed>";
    return text;
}
