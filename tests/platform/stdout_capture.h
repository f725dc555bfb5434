#pragma once
// Runs a piece of code with file descriptor 1 redirected into a pipe and returns what it wrote.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/unique_fd.h"

template <typename Body>
std::string captureStdout(Body body) {
    int ends[2];
    if (pipe(ends) != 0) return "<pipe failed>";
    UniqueFd readEnd{ends[0]};
    UniqueFd writeEnd{ends[1]};
    std::fflush(stdout);
    UniqueFd saved{dup(STDOUT_FILENO)};
    dup2(writeEnd.get(), STDOUT_FILENO);
    body();
    std::fflush(stdout);
    dup2(saved.get(), STDOUT_FILENO);
    writeEnd.reset();
    std::string out;
    char chunk[4096];
    ssize_t count;
    while ((count = read(readEnd.get(), chunk, sizeof chunk)) > 0) out.append(chunk, count);
    return out;
}
