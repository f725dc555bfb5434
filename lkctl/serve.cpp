#include "lkctl/serve.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "lkctl/request_args.h"
#include "lkctl/session.h"
#include "lkctl/trel_server.h"

namespace {

struct Options {
    const char* address = "localhost";
    int port = 10001;
    int acceptSeconds = 60;
    int replySeconds = 10;
    bool quiet = false;
};

void usage(FILE* out) {
    fprintf(out,
            "Usage: lkctl serve [-l address] [-P port] [-a seconds] [-t seconds] [-q] STEP [args]\n"
            "Stands in for the bus server: waits for linkKeeper to connect, then talks to it.\n"
            "  -l address  listen address (default localhost)\n"
            "  -P port     listen port (default 10001)\n"
            "  -a seconds  wait this long for linkKeeper to connect (default 60; 0: for ever)\n"
            "  -t seconds  wait this long for each reply (default 10; 0: for ever)\n"
            "  -q          do not show linkKeeper's identity (else shown on stderr)\n"
            "Steps:\n"
            "  identity              print linkKeeper's identity on stdout and exit\n"
            "  call ID [FIELD|OPTION]...\n"
            "                        send one request; the status goes to stderr, the reply\n"
            "                        payload to stdout\n"
            "  events [SECONDS]      print each event (id 6) and ping result (id 13) as one\n"
            "                        JSON line, for SECONDS or until the connection closes\n"
            "  script FILE|-         run the lines of FILE (or stdin) over one connection\n"
            "  script -e LINE...     the same with lines given as arguments\n"
            "                        script lines: 'call ID ...' or 'events SECONDS'; # comments\n"
            "%s"
            "Exit status: the reply's status (0 success; for scripts the first non-zero one),\n"
            "  %d usage, %d no connection, %d no reply in time, %d connection closed.\n",
            requestArgsHelp(), LKCTL_EXIT_USAGE, LKCTL_EXIT_NO_CONNECTION, LKCTL_EXIT_TIMEOUT,
            LKCTL_EXIT_CLOSED);
}

bool parseBounded(const char* text, long max, int* value) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || v < 0 || v > max) return false;
    *value = static_cast<int>(v);
    return true;
}

bool parseSeconds(const char* text, int* seconds) {
    return parseBounded(text, 86400, seconds);
}

// Runs one checked step on an open session; the exit status of that step.
int runStep(LkSession* session, const std::vector<std::string>& words) {
    if (words[0] == "call") {
        LkRequest request;
        std::string error;
        parseCall({words.begin() + 1, words.end()}, &request, &error);
        return sessionCall(session, request);
    }
    int seconds = 0;
    if (words.size() == 2) parseSeconds(words[1].c_str(), &seconds);
    return sessionListen(session, seconds);
}

// The script's lines, from -e arguments or from a file ("-": stdin).
bool readScript(const std::vector<std::string>& args, std::vector<std::string>* lines) {
    if (args.size() >= 2 && args[0] == "-e") {
        for (size_t i = 0; i < args.size(); i += 2) {
            if (args[i] != "-e" || i + 1 >= args.size()) return false;
            lines->push_back(args[i + 1]);
        }
        return true;
    }
    if (args.size() != 1) return false;
    std::ifstream file;
    if (args[0] != "-") {
        file.open(args[0]);
        if (!file) return false;
    }
    std::istream& in = args[0] == "-" ? std::cin : file;
    for (std::string line; std::getline(in, line);) lines->push_back(line);
    return true;
}

// Checks a step before connecting, so that a typo does not cost a connection.
bool validStep(const std::vector<std::string>& words) {
    LkRequest request;
    std::string error;
    int seconds = 0;
    if (words[0] == "call") {
        if (parseCall({words.begin() + 1, words.end()}, &request, &error)) return true;
    } else if (words[0] == "events" && words.size() <= 2) {
        if (words.size() == 1 || parseSeconds(words[1].c_str(), &seconds)) return true;
        error = "bad number of seconds";
    } else {
        error = "unknown step";
    }
    fprintf(stderr, "lkctl: %s: %s\n", words[0].c_str(), error.c_str());
    return false;
}

bool parseScript(const std::vector<std::string>& lines,
                 std::vector<std::vector<std::string>>* steps) {
    for (const std::string& line : lines) {
        std::vector<std::string> words;
        if (!splitWords(line, &words)) {
            fprintf(stderr, "lkctl: unterminated quote: %s\n", line.c_str());
            return false;
        }
        if (words.empty() || words[0][0] == '#') continue;
        if (!validStep(words)) return false;
        steps->push_back(std::move(words));
    }
    return true;
}

int runSteps(LkSession* session, const std::vector<std::vector<std::string>>& steps) {
    int result = 0;
    for (const auto& step : steps) {
        int status = runStep(session, step);
        if (result == 0) result = status;
        if (status == LKCTL_EXIT_CLOSED || status == LKCTL_EXIT_USAGE) break;
    }
    return result;
}

// Turns the step words into steps; false on a usage error.
bool commandSteps(const std::vector<std::string>& args,
                  std::vector<std::vector<std::string>>* steps) {
    if (args.empty()) return false;
    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "identity") return rest.empty();
    if (command == "call" || command == "events") {
        steps->push_back(args);
        return validStep(args);
    }
    if (command != "script") return false;
    std::vector<std::string> lines;
    if (!readScript(rest, &lines)) {
        fprintf(stderr, "lkctl: cannot read the script\n");
        return false;
    }
    return parseScript(lines, steps);
}

// The options of serve; false on a bad one (after a message). -h sets *help.
bool parseOptions(int argc, char** argv, Options* options, bool* help) {
    int opt;
    bool ok = true;
    while (ok && (opt = getopt(argc, argv, "+l:P:a:t:qh")) != -1) {
        switch (opt) {
            case 'l':
                options->address = optarg;
                break;
            case 'P':
                ok = parseBounded(optarg, 65535, &options->port);
                break;
            case 'a':
                ok = parseSeconds(optarg, &options->acceptSeconds);
                break;
            case 't':
                ok = parseSeconds(optarg, &options->replySeconds);
                break;
            case 'q':
                options->quiet = true;
                break;
            case 'h':
                *help = true;
                return true;
            default:
                return false;
        }
        if (!ok) fprintf(stderr, "lkctl: bad value for -%c: %s\n", opt, optarg);
    }
    return ok;
}

}  // namespace

int serveMain(int argc, char** argv) {
    Options options;
    optind = 1;  // argv[0] is "serve"
    bool help = argc > 1 && strcmp(argv[1], "--help") == 0;
    if (!help && !parseOptions(argc, argv, &options, &help)) {
        usage(stderr);
        return LKCTL_EXIT_USAGE;
    }
    if (help) {
        usage(stdout);
        return 0;
    }
    std::vector<std::string> args(argv + optind, argv + argc);
    std::vector<std::vector<std::string>> steps;
    if (!commandSteps(args, &steps)) {
        usage(stderr);
        return LKCTL_EXIT_USAGE;
    }
    // A reply written after linkKeeper went away must not kill us.
    signal(SIGPIPE, SIG_IGN);
    UniqueFd listener = trelServerListen(options.address, options.port);
    if (!listener) {
        fprintf(stderr, "lkctl: cannot listen on %s port %d: %s\n", options.address, options.port,
                strerror(errno));
        return LKCTL_EXIT_NO_CONNECTION;
    }
    LkSession session;
    session.timeoutMs = options.replySeconds > 0 ? options.replySeconds * 1000 : -1;
    FILE* identityOut = args[0] == "identity" ? stdout : (options.quiet ? nullptr : stderr);
    int acceptMs = options.acceptSeconds > 0 ? options.acceptSeconds * 1000 : -1;
    int opened = sessionOpen(&session, listener.get(), acceptMs, identityOut);
    if (opened != 0) return opened;
    return runSteps(&session, steps);
}
