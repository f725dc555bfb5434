#pragma once
// lkctl's commands on the daemon's control socket: each checks its arguments, sends its
// requests and shows the replies, for people or as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "bus/bus.h"

// lkctl's exit statuses (lkctl(1), lkctl --help).
constexpr int LK_EXIT_OK = 0;
constexpr int LK_EXIT_FAILED = 1;     // the daemon refused or failed the request
constexpr int LK_EXIT_USAGE = 2;      // bad command line; nothing was sent
constexpr int LK_EXIT_NO_DAEMON = 3;  // no control socket, no access, or the connection broke
constexpr int LK_EXIT_TIMEOUT = 4;    // no reply in time, or NetworkManager timed out
constexpr int LK_EXIT_INTERRUPTED = 130;

struct GlobalOptions {
    std::string socketPath = LK_DEFAULT_CONTROL_PATH;
    bool json = false;
    bool pretty = false;
    bool showSecrets = false;
    bool colour = false;
    int timeoutSeconds = -1;  // -1: the command's own default; 0: for ever
};

// Runs the command (not "serve" or "help"); its exit status. An unknown name is a usage error.
int runCommand(const GlobalOptions& options, const std::string& name,
               const std::vector<std::string>& args);
bool isCommand(const std::string& name);
// The overview of every command and option.
void printUsage(FILE* out);
// One command's synopsis, description and example; false for an unknown name.
bool printCommandHelp(FILE* out, const std::string& name);
