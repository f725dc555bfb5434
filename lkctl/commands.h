#pragma once
// lkctl's commands on the daemon's control socket: each checks its arguments, sends its
// requests and shows the replies, for people or as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "bus/bus.h"

// lkctl's exit statuses by cause (lkctl(1), lkctl --help); nmcli's numbers where they mean the
// same.
constexpr int LK_EXIT_OK = 0;
constexpr int LK_EXIT_FAILED = 1;       // the daemon refused or failed the request, or no access
constexpr int LK_EXIT_USAGE = 2;        // bad command line; nothing was changed
constexpr int LK_EXIT_TIMEOUT = 3;      // no reply in time, or NetworkManager timed out
constexpr int LK_EXIT_ACTIVATION = 4;   // the activation failed or the change was rolled back
constexpr int LK_EXIT_NOT_RUNNING = 8;  // linkKeeper or NetworkManager is not running
constexpr int LK_EXIT_NOT_FOUND = 10;   // no such interface, profile or checkpoint
constexpr int LK_EXIT_INTERRUPTED = 130;

struct GlobalOptions {
    std::string socketPath = LK_DEFAULT_CONTROL_PATH;
    bool json = false;  // lkctl's own JSON, with names
    bool raw = false;   // the daemon's JSON as it came
    bool pretty = false;
    bool terse = false;               // colon-separated values, no header
    std::vector<std::string> fields;  // the columns or fields to show; empty: all
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
