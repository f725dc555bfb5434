// lkctl: linkKeeper's command-line tool. It talks to the daemon over its local control socket
// and shows the answers for people or as JSON; as "lkctl serve" it stands in for the
// platform's bus server instead.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lkctl/command_args.h"
#include "lkctl/commands.h"
#include "lkctl/control.h"
#include "lkctl/serve.h"

namespace {

struct CommandLine {
    GlobalOptions options;
    std::string command;
    std::vector<std::string> args;
    bool help = false;
    bool version = false;
    int serveAt = 0;  // index of "serve" in argv, 0 when not serving
};

// "-S PATH", "--socket PATH" or "--socket=PATH": true when words[*i] is that option, with the
// value in *value (empty when it is missing).
bool valueOption(char** argv, int argc, int* i, const char* shortName, const char* longName,
                 std::string* value, bool* missing) {
    std::string word = argv[*i];
    std::string prefix = std::string(longName) + "=";
    if (word.compare(0, prefix.size(), prefix) == 0) {
        *value = word.substr(prefix.size());
        return true;
    }
    if (word != shortName && word != longName) return false;
    *missing = *i + 1 >= argc;
    if (!*missing) *value = argv[++*i];
    return true;
}

// The fields of -f: "name,state" -> {"name", "state"}; empty entries are a usage error.
bool splitFields(const std::string& text, std::vector<std::string>* fields) {
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        fields->push_back(text.substr(start, comma - start));
        if (fields->back().empty()) return false;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// A value option's value, checked; false after a message naming the option.
bool takeValue(const std::string& typed, const char* option, const std::string& value, bool missing,
               GlobalOptions* options) {
    if (missing) {
        fprintf(stderr, "lkctl: %s needs a value\n", typed.c_str());
        return false;
    }
    if (strcmp(option, "--socket") == 0) {
        options->socketPath = value;
        return true;
    }
    if (strcmp(option, "--timeout") == 0) {
        uint32_t seconds = 0;
        if (parseNumber(value, 0, 86400, &seconds)) {
            options->timeoutSeconds = static_cast<int>(seconds);
            return true;
        }
        fprintf(stderr, "lkctl: %s takes seconds from 0 to 86400, not \"%s\"\n", typed.c_str(),
                value.c_str());
        return false;
    }
    options->fields.clear();
    if (splitFields(value, &options->fields)) return true;
    fprintf(stderr, "lkctl: %s takes field names separated by commas, not \"%s\"\n", typed.c_str(),
            value.c_str());
    return false;
}

// A flag among lkctl's own options; false when word is none of them.
bool takeFlag(const std::string& word, CommandLine* line) {
    GlobalOptions& options = line->options;
    if (word == "-j" || word == "--json") {
        options.json = true;
    } else if (word == "--raw") {
        options.raw = true;
    } else if (word == "--pretty") {
        options.pretty = true;
    } else if (word == "-t" || word == "--terse") {
        options.terse = true;
    } else if (word == "--show-secrets") {
        options.showSecrets = true;
    } else if (word == "-h" || word == "--help") {
        line->help = true;
    } else if (word == "--version") {
        line->version = true;
    } else {
        return false;
    }
    return true;
}

// Options anywhere before "--"; the first other word is the command, the rest its arguments.
// Options lkctl does not know go to the command, which names them when it refuses them.
bool parseCommandLine(int argc, char** argv, CommandLine* line) {
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        std::string value;
        bool missing = false;
        if (optionsEnd || word.empty() || word[0] != '-' || word == "-") {
            if (line->command.empty() && word == "serve") {
                line->serveAt = i;
                return true;
            }
            (line->command.empty() ? line->command : line->args.emplace_back()) = word;
        } else if (word == "--") {
            optionsEnd = true;
        } else if (takeFlag(word, line)) {
        } else if (valueOption(argv, argc, &i, "-S", "--socket", &value, &missing) ||
                   valueOption(argv, argc, &i, "-f", "--fields", &value, &missing) ||
                   valueOption(argv, argc, &i, "", "--timeout", &value, &missing)) {
            std::string option = word.substr(0, word.find('='));
            const char* name = option == "-S"   ? "--socket"
                               : option == "-f" ? "--fields"
                                                : option.c_str();
            if (!takeValue(option, name, value, missing, &line->options)) return false;
        } else if (line->command.empty()) {
            fprintf(stderr, "lkctl: unknown option \"%s\"; 'lkctl --help' lists them\n", argv[i]);
            return false;
        } else {
            line->args.push_back(word);  // the command's own option
        }
    }
    // --pretty alone means lkctl's JSON, indented.
    if (line->options.pretty && !line->options.raw) line->options.json = true;
    if (line->options.json && line->options.raw) {
        fprintf(stderr, "lkctl: --json and --raw exclude each other\n");
        return false;
    }
    return true;
}

void onStopSignal(int) {
    gControlInterrupted = 1;
}

// SIGINT and SIGTERM end the wait in progress instead of the process: monitor exits 0, ping
// cancels its probe first.
void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool colourWanted() {
    const char* noColour = getenv("NO_COLOR");
    const char* term = getenv("TERM");
    return isatty(STDOUT_FILENO) && (noColour == nullptr || noColour[0] == '\0') &&
           !(term != nullptr && strcmp(term, "dumb") == 0);
}

int help(const std::string& command) {
    if (command.empty()) {
        printUsage(stdout);
        return LK_EXIT_OK;
    }
    if (command == "serve") {
        char serve[] = "serve";
        char flag[] = "--help";
        char* args[] = {serve, flag, nullptr};
        return serveMain(2, args);
    }
    if (printCommandHelp(stdout, command)) return LK_EXIT_OK;
    fprintf(stderr, "lkctl: no command \"%s\"; 'lkctl --help' lists them\n", command.c_str());
    return LK_EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    if (!parseCommandLine(argc, argv, &line)) return LK_EXIT_USAGE;
    if (line.serveAt != 0) return serveMain(argc - line.serveAt, argv + line.serveAt);
    if (line.version) {
        printf("lkctl %s\n", LK_VERSION);
        return LK_EXIT_OK;
    }
    if (line.command == "help") {
        if (line.args.size() > 1) return help("help");
        return help(line.args.empty() ? "" : line.args[0]);
    }
    if (line.help) return help(line.command);
    if (line.command.empty()) {
        printUsage(stderr);
        return LK_EXIT_USAGE;
    }
    line.options.colour = colourWanted();
    catchStopSignals();
    return runCommand(line.options, line.command, line.args);
}
