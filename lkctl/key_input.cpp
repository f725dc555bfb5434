#include "lkctl/key_input.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// Longer than any key (64 hex digits), so that a longer line is refused rather than cut.
constexpr size_t kLineMax = 256;

// The first line of fd, without its line end; false when nothing could be read.
bool readLine(int fd, std::string* line) {
    line->clear();
    char c = 0;
    ssize_t n = 0;
    while ((n = read(fd, &c, 1)) == 1 && c != '\n' && line->size() < kLineMax) line->push_back(c);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return n >= 0 && (n == 1 || !line->empty());
}

bool readFromFile(const std::string& path, std::string* key, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool read = fd >= 0 && readLine(fd, key);
    if (fd >= 0) close(fd);
    if (!read) *error = "--key-file: cannot read a key from \"" + path + "\"";
    return read;
}

// A prompt on the terminal itself, never on redirected output, with echo off while typing.
bool askOnTerminal(std::string* key, std::string* error) {
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    termios saved{};
    if (tty < 0 || tcgetattr(tty, &saved) != 0) {
        if (tty >= 0) close(tty);
        *error = "--ask needs a terminal; give the key on standard input with 'key -'";
        return false;
    }
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    static const char kPrompt[] = "Wi-Fi key: ";
    bool ok = write(tty, kPrompt, sizeof kPrompt - 1) > 0 &&
              tcsetattr(tty, TCSAFLUSH, &silent) == 0 && readLine(tty, key);
    tcsetattr(tty, TCSAFLUSH, &saved);
    if (write(tty, "\n", 1) < 0) ok = false;
    close(tty);
    if (!ok) *error = "--ask: no key was typed";
    return ok;
}

}  // namespace

bool readKeyArguments(std::vector<std::string>* words, std::string* error) {
    std::string key;
    bool fromOption = false;
    for (size_t i = 0; i < words->size() && error->empty();) {
        std::string& word = (*words)[i];
        bool value = i > 0 && ((*words)[i - 1] == "ssid" || (*words)[i - 1] == "key");
        if (!value && word == "key" && i + 1 < words->size() && (*words)[i + 1] == "-") {
            if (!readLine(STDIN_FILENO, &(*words)[i + 1]))
                *error = "key -: standard input is empty";
            i += 2;
        } else if (!value &&
                   (word == "--ask" || word == "--key-file" || word.rfind("--key-file=", 0) == 0)) {
            if (fromOption) *error = word + ": the key is named twice (--ask, --key-file)";
            std::string path = word.size() > 10 ? word.substr(11) : "";
            bool ask = word == "--ask";
            if (word == "--key-file" && i + 1 < words->size()) {
                path = (*words)[i + 1];
                words->erase(words->begin() + static_cast<long>(i) + 1);
            } else if (word == "--key-file") {
                *error = "--key-file needs a FILE";
            }
            words->erase(words->begin() + static_cast<long>(i));
            fromOption = true;
            if (error->empty()) ask ? askOnTerminal(&key, error) : readFromFile(path, &key, error);
        } else {
            ++i;
        }
    }
    if (!error->empty() || !fromOption) return error->empty();
    auto wifi = std::find(words->begin(), words->end(), "wifi");
    if (wifi == words->end()) {
        *error = "--ask and --key-file need a wifi section (wifi ssid NAME ...)";
        return false;
    }
    words->insert(wifi + 1, {"key", key});
    return true;
}
