#include "lkctl/request_args.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct NamedId {
    const char* name;
    uint8_t id;
};

constexpr NamedId REQUEST_NAMES[] = {
    {"interfaces", LK_API_LIST_INTERFACES},
    {"details", LK_API_INTERFACE_DETAILS},
    {"set-connection", LK_API_SET_CONNECTION},
    {"get-connection", LK_API_GET_CONNECTION},
    {"watch", LK_API_WATCH},
    {"classes", LK_API_INTERFACE_CLASSES},
    {"enable", LK_API_ENABLE},
    {"radio", LK_API_RADIO},
    {"access-points", LK_API_ACCESS_POINTS},
    {"scan", LK_API_SCAN},
    {"ping", LK_API_PING},
    {"reset", LK_API_RESET},
};

bool parseNumber(const std::string& text, unsigned long max, unsigned long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
    *value = v;
    return true;
}

bool parseId(const std::string& text, uint8_t* id) {
    for (const NamedId& named : REQUEST_NAMES) {
        if (text == named.name) {
            *id = named.id;
            return true;
        }
    }
    unsigned long v = 0;
    if (!parseNumber(text, 255, &v)) return false;
    *id = static_cast<uint8_t>(v);
    return true;
}

void appendText(std::vector<unsigned char>* payload, const std::string& text) {
    payload->insert(payload->end(), text.begin(), text.end());
    payload->push_back('\0');
}

bool appendHex(std::vector<unsigned char>* payload, const std::string& hex) {
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned long v = 0;
        if (!isxdigit(static_cast<unsigned char>(hex[i])) ||
            !parseNumber("0x" + hex.substr(i, 2), 255, &v))
            return false;
        payload->push_back(static_cast<unsigned char>(v));
    }
    return true;
}

bool parseKind(const std::string& text, ReplyKind* kind) {
    static constexpr struct {
        const char* name;
        ReplyKind kind;
    } KINDS[] = {{"json", ReplyKind::Json},
                 {"handle", ReplyKind::Handle},
                 {"bool", ReplyKind::Bool},
                 {"hex", ReplyKind::Hex}};
    for (const auto& k : KINDS) {
        if (text == k.name) {
            *kind = k.kind;
            return true;
        }
    }
    return false;
}

// Consumes one option and its arguments at words[*i]; false with *error set.
bool parseOption(const std::vector<std::string>& words, size_t* i, LkRequest* request,
                 std::string* error) {
    const std::string& opt = words[*i];
    auto arg = [&](size_t k) -> const std::string* {
        return *i + k < words.size() ? &words[*i + k] : nullptr;
    };
    size_t need = opt == "--flag-name" ? 2 : (opt == "--no-reply" ? 0 : 1);
    for (size_t k = 1; k <= need; ++k) {
        if (!arg(k)) {
            *error = opt + " needs " + (need == 2 ? "two arguments" : "an argument");
            return false;
        }
    }
    unsigned long v = 0;
    bool ok = true;
    if (opt == "--json" || opt == "--str") {
        appendText(&request->payload, *arg(1));
    } else if (opt == "--byte") {
        ok = parseNumber(*arg(1), 255, &v);
        request->payload.push_back(static_cast<unsigned char>(v));
    } else if (opt == "--flag-name") {
        ok = parseNumber(*arg(1), 255, &v);
        request->payload.push_back(static_cast<unsigned char>(v));
        appendText(&request->payload, *arg(2));
    } else if (opt == "--u32") {
        ok = parseNumber(*arg(1), 0xffffffffUL, &v);
        for (int b = 0; b < 4; ++b)
            request->payload.push_back(static_cast<unsigned char>(v >> (8 * b)));
    } else if (opt == "--hex") {
        ok = appendHex(&request->payload, *arg(1));
    } else if (opt == "--magic") {
        ok = parseNumber(*arg(1), 255, &v);
        request->magic = static_cast<uint8_t>(v);
    } else if (opt == "--as") {
        ok = parseKind(*arg(1), &request->show);
    } else if (opt == "--no-reply") {
        request->replyWanted = false;
    } else {
        *error = "unknown call option: " + opt;
        return false;
    }
    if (!ok) {
        *error = "bad argument for " + opt + ": " + *arg(1);
        return false;
    }
    *i += need + 1;
    return true;
}

}  // namespace

bool parseCall(const std::vector<std::string>& words, LkRequest* request, std::string* error) {
    *request = LkRequest{};
    if (words.empty()) {
        *error = "call needs a request id";
        return false;
    }
    if (!parseId(words[0], &request->apiId)) {
        *error = "unknown request id: " + words[0];
        return false;
    }
    for (size_t i = 1; i < words.size();) {
        if (!parseOption(words, &i, request, error)) return false;
    }
    return true;
}

namespace {

// Appends the quoted text starting at line[*i] (the quote) to word; false when unterminated.
// Inside double quotes a backslash keeps a following quote or backslash, as in the shell.
bool appendQuoted(const std::string& line, size_t* i, std::string* word) {
    char quote = line[(*i)++];
    while (*i < line.size() && line[*i] != quote) {
        if (quote == '"' && line[*i] == '\\' && *i + 1 < line.size() &&
            (line[*i + 1] == '"' || line[*i + 1] == '\\'))
            ++*i;
        word->push_back(line[(*i)++]);
    }
    if (*i >= line.size()) return false;
    ++*i;
    return true;
}

}  // namespace

bool splitWords(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        if (strchr(" \t\r\n", line[i])) {
            ++i;
            continue;
        }
        std::string word;
        while (i < line.size() && !strchr(" \t\r\n", line[i])) {
            if (line[i] != '\'' && line[i] != '"') {
                word.push_back(line[i++]);
            } else if (!appendQuoted(line, &i, &word)) {
                return false;
            }
        }
        words->push_back(word);
    }
    return true;
}

const char* requestArgsHelp() {
    return "Request ids may be given by number or by name:\n"
           "  1 interfaces   2 details   3 set-connection   4 get-connection   5 watch\n"
           "  7 classes      8 enable    9 radio            10 access-points   11 scan\n"
           "  12 ping        14 reset\n"
           "Payload fields, appended in the order given (no field: empty payload):\n"
           "  --json TEXT         JSON text and a NUL\n"
           "  --str TEXT          a plain string (an interface name) and a NUL\n"
           "  --byte N            one byte\n"
           "  --flag-name N NAME  one byte, then NAME and a NUL\n"
           "  --u32 N             a 4-byte little-endian number\n"
           "  --hex HEX           raw bytes, two hex digits each\n"
           "Call options:\n"
           "  --no-reply          clear the reply-wanted bit; do not wait\n"
           "  --magic N           magic byte of the request frame (default 0x24)\n"
           "  --as KIND           show the reply as json, handle, bool or hex\n"
           "                      (default: JSON when it is JSON text, else by request id)\n";
}
