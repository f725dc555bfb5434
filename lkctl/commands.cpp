#include "lkctl/commands.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include "lkctl/command_args.h"
#include "lkctl/control.h"
#include "lkctl/json_format.h"
#include "lkctl/key_input.h"
#include "lkctl/named_json.h"
#include "lkctl/show.h"

namespace {

using Args = std::vector<std::string>;
using Payload = std::vector<unsigned char>;

// NetworkManager's own waits end after 30 s; the queue in front of a request adds a little.
constexpr int kDefaultTimeoutMs = 40000;
// How long a probe's result may come after its last echo could have.
constexpr int kPingSlackMs = 15000;

struct StatusText {
    uint8_t api;  // 0: any request
    int status;
    int exit;  // lkctl's exit status for it
    const char* text;
};

constexpr int F = LK_EXIT_FAILED;

// What a status means for the request that got it; the first match wins.
constexpr StatusText kStatusTexts[] = {
    {LK_API_GET_CONNECTION, 2, LK_EXIT_NOT_FOUND, "no such interface, or it has no active profile"},
    {LK_API_WATCH, 2, LK_EXIT_NOT_FOUND,
     "no such interface or watch, or this client's share of the watches is taken"},
    {LK_API_ENABLE, 2, LK_EXIT_NOT_FOUND, "no such interface, or no profile to activate"},
    {LK_API_CONFIRM_CHECKPOINT, 2, LK_EXIT_NOT_FOUND,
     "no such checkpoint (confirmed, rolled back or expired already)"},
    {LK_API_ROLLBACK_CHECKPOINT, 2, LK_EXIT_NOT_FOUND,
     "no such checkpoint (confirmed, rolled back or expired already)"},
    {LK_API_CANCEL_PING, 2, LK_EXIT_NOT_FOUND,
     "no such probe of this client (it may have ended already)"},
    {0, 2, LK_EXIT_NOT_FOUND, "no such interface"},
    {LK_API_SET_CONNECTION, 5, LK_EXIT_ACTIVATION,
     "the activation failed ('lkctl monitor' shows the reason)"},
    {0, 5, F, "an interface attribute could not be read"},
    {0, 6, LK_EXIT_NOT_RUNNING, "NetworkManager is not running"},
    {LK_API_PING, 11, F, "busy: this client's share of the 64 probes is taken (32 at most)"},
    {0, 11, F, "busy: this client's share of the 32 waiting requests is taken; try again"},
    {0, 13, F, "permission denied: only root may change settings or read secrets"},
    {0, 12, F, "linkKeeper is out of memory"},
    {0, 16, F, "a change is pending ('lkctl checkpoints'); confirm or roll it back first"},
    {LK_API_SET_CONNECTION, 22, F, "invalid settings, or NetworkManager refused the profile"},
    {LK_API_GET_CONNECTION, 22, F, "the stored secrets cannot be read"},
    {LK_API_WATCH, 22, F, "not a Wi-Fi interface"},
    {LK_API_ENABLE, 22, LK_EXIT_ACTIVATION,
     "NetworkManager failed the activation or disconnection"},
    {LK_API_RADIO, 22, F, "NetworkManager refused the change"},
    {LK_API_ACCESS_POINTS, 22, F, "not a Wi-Fi interface"},
    {LK_API_SCAN, 22, F, "not a Wi-Fi interface, or NetworkManager refused the scan"},
    {LK_API_RESET, 22, F, "NetworkManager failed to reload its profiles"},
    {0, 22, F, "invalid request"},
    {0, 34, F, "several profiles apply; nothing was activated"},
    {0, 90, F, "the reply did not fit (8 KiB at most)"},
    {LK_API_SET_CONNECTION, 95, F,
     "not supported: the interface is neither Ethernet nor Wi-Fi, or the key management is not"},
    {LK_API_GET_CONNECTION, 95, F, "the profile uses settings linkKeeper does not support"},
    {LK_API_SET_CONNECTION, 110, LK_EXIT_TIMEOUT,
     "timed out: NetworkManager did not finish, or the device did not "
     "activate within --wait"},
    {0, 110, LK_EXIT_TIMEOUT, "timed out: NetworkManager did not answer in time"},
    {LK_API_SET_CONNECTION, 113, LK_EXIT_ACTIVATION,
     "the --verify host answered no echo request out of the interface; the change was undone"},
    {0, 19, F, "not available on this device: NetworkManager does not allow it there"},
    {0, 13, F, "NetworkManager refused: permission denied"},
    {0, 255, F, "not supported by this linkKeeper (no handler)"},
};

const StatusText* findStatus(uint8_t api, int status) {
    for (const StatusText& entry : kStatusTexts) {
        if ((entry.api == 0 || entry.api == api) && entry.status == status) return &entry;
    }
    return nullptr;
}

std::string statusText(uint8_t api, int status) {
    if (const StatusText* entry = findStatus(api, status)) return entry->text;
    return std::string(strerror(status)) + " (status " + std::to_string(status) + ")";
}

int statusExit(uint8_t api, int status) {
    const StatusText* entry = findStatus(api, status);
    return entry ? entry->exit : LK_EXIT_FAILED;
}

Payload textPayload(const std::string& text) {
    Payload payload(text.begin(), text.end());
    payload.push_back('\0');
    return payload;
}

// One command's run: its options, its connection and its name for the messages.
class Run {
  public:
    Run(const GlobalOptions& options, const std::string& name) : options(options), name(name) {}

    int usage(const std::string& text) const {
        fprintf(stderr, "lkctl: %s: %s\nTry 'lkctl help %s'.\n", name.c_str(), text.c_str(),
                name.c_str());
        return LK_EXIT_USAGE;
    }

    int fail(const std::string& subject, const std::string& text) const {
        std::string what = subject.empty() ? name : name + " " + subject;
        fprintf(stderr, "lkctl: %s: %s\n", what.c_str(), text.c_str());
        return LK_EXIT_FAILED;
    }

    int open() {
        int status = client.connect(options.socketPath);
        if (status == 0) return LK_EXIT_OK;
        if (status == -EPERM) {
            fprintf(stderr, "lkctl: %s is not served by root; refusing to talk to it\n",
                    options.socketPath.c_str());
            return LK_EXIT_FAILED;
        }
        bool denied = status == -EACCES;
        fprintf(stderr, "lkctl: cannot reach linkKeeper at %s: %s (%s)\n",
                options.socketPath.c_str(), strerror(-status),
                denied ? "only root and members of the control group (netdev) may use it"
                       : "is linkKeeper running? -S names another socket");
        return denied ? LK_EXIT_FAILED : LK_EXIT_NOT_RUNNING;
    }

    // The exit status for a failed wait on the connection, after its message.
    int lost(int status, int timeoutMs) const {
        if (status == -EINTR) return LK_EXIT_INTERRUPTED;
        if (status == -ETIMEDOUT) {
            fprintf(stderr, "lkctl: %s: no reply within %d s (--timeout)\n", name.c_str(),
                    timeoutMs / 1000);
            return LK_EXIT_TIMEOUT;
        }
        fprintf(stderr, "lkctl: %s: linkKeeper closed the connection (%s)\n", name.c_str(),
                answered ? "it stopped or restarted"
                         : "it stopped, or it serves 16 control clients at most already");
        return LK_EXIT_NOT_RUNNING;
    }

    int timeoutMs(int fallbackMs) const {
        if (options.timeoutSeconds < 0) return fallbackMs;
        return options.timeoutSeconds == 0 ? -1 : options.timeoutSeconds * 1000;
    }

    // One request; 0 with the reply on status 0, else the exit status after a message.
    int request(uint8_t api, const Payload& payload, const std::string& subject,
                ControlReply* reply, int fallbackMs = kDefaultTimeoutMs) {
        int waitMs = timeoutMs(fallbackMs);
        if (int status = client.call(api, payload, waitMs, reply); status < 0) {
            return lost(status, waitMs);
        }
        answered = true;
        if (reply->status == 0) return LK_EXIT_OK;
        fail(subject, statusText(api, reply->status));
        return statusExit(api, reply->status);
    }

    bool anyJson() const { return options.json || options.raw; }

    // --raw: the text as it came; --json: lkctl's JSON with names. Indented with --pretty.
    void printJson(std::string_view text) const {
        std::string named;
        JsonView view;
        std::vector<unsigned char> bytes(text.begin(), text.end());
        if (options.json && JsonView::parse(bytes, &view)) {
            named = namedJson(view, options.showSecrets);
            text = named;
        }
        std::string pretty;
        if (options.pretty && jsonFormat(text, 2, &pretty)) text = pretty;
        fprintf(stdout, "%.*s\n", static_cast<int>(text.size()), text.data());
    }

    ShowStyle style() const {
        return ShowStyle{options.colour && !options.terse, options.showSecrets, options.terse,
                         options.fields};
    }

    const GlobalOptions& options;
    std::string name;
    ControlClient client;
    bool answered = false;  // a reply came on the connection
};

using Show = bool (*)(FILE*, const ShowStyle&, JsonView);

// A request whose reply is JSON: shown by show, or printed as JSON with --json or --raw.
int jsonRequest(Run& run, uint8_t api, const Payload& payload, const std::string& subject,
                Show show) {
    ControlReply reply;
    if (int status = run.open(); status != 0) return status;
    if (int status = run.request(api, payload, subject, &reply); status != 0) return status;
    JsonView view;
    if (!JsonView::parse(reply.payload, &view)) return run.fail(subject, "the reply is not JSON");
    if (run.anyJson()) {
        run.printJson(payloadText(reply.payload));
    } else if (!show(stdout, run.style(), view)) {
        return LK_EXIT_USAGE;
    }
    return LK_EXIT_OK;
}

// A request whose reply is empty on success: message printed unless --json or --raw.
int plainRequest(Run& run, uint8_t api, const Payload& payload, const std::string& subject,
                 const std::string& message) {
    ControlReply reply;
    if (int status = run.open(); status != 0) return status;
    if (int status = run.request(api, payload, subject, &reply); status != 0) return status;
    if (!run.anyJson()) printf("%s\n", message.c_str());
    return LK_EXIT_OK;
}

// An argument that looks like an option but is none of the command's.
bool unknownOption(const Run& run, const Args& args, int* status) {
    for (const std::string& arg : args) {
        if (arg.size() > 1 && arg[0] == '-') {
            *status = run.usage("unknown option \"" + arg + "\"");
            return true;
        }
    }
    return false;
}

// The single interface argument of a command; false after the usage message in *status.
bool oneInterface(const Run& run, const Args& args, std::string* iface, int* status) {
    std::string error;
    if (unknownOption(run, args, status)) return false;
    if (args.size() != 1) {
        *status = run.usage(args.empty() ? "an interface is needed"
                                         : "one interface only, not also \"" + args[1] + "\"");
        return false;
    }
    if (!checkInterface(args[0], &error)) {
        *status = run.usage(error);
        return false;
    }
    *iface = args[0];
    return true;
}

int noArguments(const Run& run, const Args& args) {
    int status = LK_EXIT_OK;
    if (unknownOption(run, args, &status)) return status;
    return args.empty() ? LK_EXIT_OK : run.usage("takes no arguments, not \"" + args[0] + "\"");
}

int runInterfaces(Run& run, const Args& args) {
    if (int status = noArguments(run, args); status != 0) return status;
    return jsonRequest(run, LK_API_LIST_INTERFACES, {}, "", showInterfaces);
}

int runClasses(Run& run, const Args& args) {
    if (int status = noArguments(run, args); status != 0) return status;
    return jsonRequest(run, LK_API_INTERFACE_CLASSES, {}, "", showClasses);
}

int runDetails(Run& run, const Args& args) {
    std::string iface;
    int status = 0;
    if (!oneInterface(run, args, &iface, &status)) return status;
    return jsonRequest(run, LK_API_INTERFACE_DETAILS, textPayload(iface), iface, showDetails);
}

int runAccessPoints(Run& run, const Args& args) {
    std::string iface;
    int status = 0;
    if (!oneInterface(run, args, &iface, &status)) return status;
    return jsonRequest(run, LK_API_ACCESS_POINTS, textPayload(iface), iface, showAccessPoints);
}

// The reply's text with the pre-shared key's value replaced by null.
std::string maskedProfile(const Payload& payload) {
    std::string text(payloadText(payload));
    JsonView psk;
    JsonView profile;
    if (JsonView::parse(payload, &profile)) psk = profile["wifi"]["security"]["psk"];
    if (psk.type() != JSON_TYPE_STRING) return text;
    size_t at =
        static_cast<size_t>(psk.raw().data() - reinterpret_cast<const char*>(payload.data()));
    return text.replace(at, psk.raw().size(), "null");
}

int runProfile(Run& run, const Args& args) {
    std::string iface;
    int status = 0;
    if (!oneInterface(run, args, &iface, &status)) return status;
    if (!run.anyJson())
        return jsonRequest(run, LK_API_GET_CONNECTION, textPayload(iface), iface, showProfile);
    ControlReply reply;
    if ((status = run.open()) != 0 ||
        (status = run.request(LK_API_GET_CONNECTION, textPayload(iface), iface, &reply)) != 0) {
        return status;
    }
    // --json masks the key itself.
    run.printJson(run.options.showSecrets || run.options.json
                      ? std::string(payloadText(reply.payload))
                      : maskedProfile(reply.payload));
    return LK_EXIT_OK;
}

std::string connectionMessage(const ConnectionArgs& connection, const ControlReply& reply) {
    std::string message = connection.iface + ": ";
    if (connection.remove) return message + "every profile removed";
    message += !connection.verifyHost.empty() ? "profile stored, activated and verified"
               : connection.wait != 0         ? "profile stored and activated"
                                              : "profile stored, activation started";
    JsonView answer;
    if (!JsonView::parse(reply.payload, &answer) || !answer["checkpoint"].has()) return message;
    std::string number = std::to_string(answer["checkpoint"].num());
    return message + "\ncheckpoint " + number + ": 'lkctl confirm " + number +
           "' keeps the change, else it is rolled back after " +
           std::to_string(connection.rollback) + " s";
}

// Request 3 with the words' profile; the message or the reply's JSON.
int writeProfile(Run& run, const ConnectionArgs& connection) {
    ControlReply reply;
    int waitMs = kDefaultTimeoutMs + static_cast<int>(connection.longestSeconds()) * 1000;
    int status = run.request(LK_API_SET_CONNECTION, textPayload(connection.json), connection.iface,
                             &reply, waitMs);
    if (status != 0) return status;
    if (!run.anyJson()) {
        printf("%s\n", connectionMessage(connection, reply).c_str());
    } else if (!reply.payload.empty()) {
        run.printJson(payloadText(reply.payload));
    }
    return LK_EXIT_OK;
}

// The interface's profile as request 4 answers it; false when it has none (status in *status,
// the message printed only when loud).
bool readProfile(Run& run, const std::string& iface, bool loud, std::string* profile, int* status) {
    ControlReply reply;
    int waitMs = run.timeoutMs(kDefaultTimeoutMs);
    int called = run.client.call(LK_API_GET_CONNECTION, textPayload(iface), waitMs, &reply);
    if (called < 0) {
        *status = run.lost(called, waitMs);
        return false;
    }
    run.answered = true;
    if (reply.status != 0) {
        if (loud) run.fail(iface, statusText(LK_API_GET_CONNECTION, reply.status));
        *status = statusExit(LK_API_GET_CONNECTION, reply.status);
        return false;
    }
    *profile = payloadText(reply.payload);
    return true;
}

// "manual 192.0.2.2/28" for a section of request 4's reply.
std::string ipSummary(JsonView ip) {
    std::string text = ip["method"].str();
    if (ip["address"].has()) {
        text += " " + ip["address"].str() + "/" + std::to_string(ip["prefix"].num());
    }
    if (ip["addresses"].size() > 0) text += " " + ip["addresses"].at(0).str();
    return text;
}

// set-connection writes the whole profile: a family left out is switched off. Said before
// it happens, with the command that would keep it.
void warnDisabled(Run& run, const ConnectionArgs& connection) {
    std::string profile;
    int status = 0;
    std::vector<unsigned char> bytes;
    JsonView today;
    if (connection.remove || !readProfile(run, connection.iface, false, &profile, &status)) return;
    bytes.assign(profile.begin(), profile.end());
    if (!JsonView::parse(bytes, &today)) return;
    for (const char* family : {"ip4", "ip6"}) {
        JsonView ip = today[family];
        bool given = family[2] == '4' ? connection.ip4Given : connection.ip6Given;
        std::string method = ip["method"].str();
        if (given || !ip.has() || method == "disabled" || method == "ignore") continue;
        fprintf(stderr,
                "lkctl: set-connection %s: warning: no %s given, so %s (%s today) is disabled; "
                "'lkctl modify %s ...' changes single settings\n",
                connection.iface.c_str(), family, family[2] == '4' ? "IPv4" : "IPv6",
                ipSummary(ip).c_str(), connection.iface.c_str());
    }
}

int runSetConnection(Run& run, const Args& args) {
    ConnectionArgs connection;
    std::string error;
    Args words = args;
    if (!readKeyArguments(&words, &error) || !parseConnection(words, &connection, &error)) {
        return run.usage(error);
    }
    if (int status = run.open(); status != 0) return status;
    warnDisabled(run, connection);
    return writeProfile(run, connection);
}

int runModify(Run& run, const Args& args) {
    ConnectionArgs connection;
    std::string error;
    std::string profile;
    int status = 0;
    Args words = args;
    std::string iface;
    if (!readKeyArguments(&words, &error) || !modifiedInterface(words, &iface, &error)) {
        return run.usage(error);
    }
    if ((status = run.open()) != 0 || !readProfile(run, iface, true, &profile, &status)) {
        return status;
    }
    if (!parseModification(words, profile, &connection, &error)) return run.usage(error);
    return writeProfile(run, connection);
}

int checkpointCommand(Run& run, const Args& args, uint8_t api, const char* done) {
    uint32_t number = 0;
    if (args.size() != 1 || !parseNumber(args[0], 1, UINT32_MAX, &number)) {
        return run.usage("a checkpoint number (from set-connection --rollback) is needed" +
                         (args.empty() ? std::string() : ", not \"" + args[0] + "\""));
    }
    std::string json = "{\"checkpoint\":" + std::to_string(number) + "}";
    return plainRequest(run, api, textPayload(json), args[0], "checkpoint " + args[0] + " " + done);
}

int runConfirm(Run& run, const Args& args) {
    return checkpointCommand(run, args, LK_API_CONFIRM_CHECKPOINT, "confirmed: the change stays");
}

int runRollback(Run& run, const Args& args) {
    return checkpointCommand(run, args, LK_API_ROLLBACK_CHECKPOINT, "rolled back");
}

int runCheckpoints(Run& run, const Args& args) {
    if (int status = noArguments(run, args); status != 0) return status;
    return jsonRequest(run, LK_API_PENDING_CHECKPOINTS, {}, "", showCheckpoints);
}

int enableCommand(Run& run, const Args& args, bool enable) {
    std::string iface;
    int status = 0;
    if (!oneInterface(run, args, &iface, &status)) return status;
    Payload payload = textPayload(iface);
    payload.insert(payload.begin(), enable ? 1 : 0);
    return plainRequest(run, LK_API_ENABLE, payload, iface,
                        iface + (enable ? ": enabled" : ": disabled"));
}

int runEnable(Run& run, const Args& args) {
    return enableCommand(run, args, true);
}

int runDisable(Run& run, const Args& args) {
    return enableCommand(run, args, false);
}

int runRadio(Run& run, const Args& args) {
    if (args.size() != 1 || (args[0] != "on" && args[0] != "off" && args[0] != "status")) {
        return run.usage(args.empty() ? "on, off or status is needed"
                                      : "on, off or status is needed, not \"" + args[0] +
                                            (args.size() > 1 ? " " + args[1] : "") + "\"");
    }
    if (args[0] != "status") {
        return plainRequest(run, LK_API_RADIO,
                            {static_cast<unsigned char>(args[0] == "on" ? 1 : 0)}, "",
                            "Wi-Fi radio switched " + args[0]);
    }
    ControlReply reply;
    if (int status = run.open(); status != 0) return status;
    if (int status = run.request(LK_API_RADIO, {2}, "", &reply); status != 0) return status;
    if (reply.payload.size() != 1) return run.fail("", "the reply is not one byte");
    bool on = reply.payload[0] != 0;
    printf("%s\n",
           run.anyJson() ? (on ? "true" : "false") : (on ? "Wi-Fi radio: on" : "Wi-Fi radio: off"));
    return LK_EXIT_OK;
}

int runScan(Run& run, const Args& args) {
    std::string iface;
    int status = 0;
    if (!oneInterface(run, args, &iface, &status)) return status;
    return plainRequest(run, LK_API_SCAN, textPayload(iface), iface,
                        iface + ": scan started; 'lkctl aps " + iface + "' lists what it finds");
}

// reset deletes every profile: asked on a terminal, else only with --yes. True to go on.
bool resetConfirmed(const Run& run, const Args& args, int* status) {
    Args rest;
    bool yes = false;
    for (const std::string& arg : args) {
        if (arg == "--yes" || arg == "-y") {
            yes = true;
        } else {
            rest.push_back(arg);
        }
    }
    if ((*status = noArguments(run, rest)) != 0 || yes) return *status == 0;
    if (!isatty(STDIN_FILENO)) {
        *status = run.usage(
            "it deletes every stored profile: confirm with --yes (no terminal "
            "to ask on); nothing was changed");
        return false;
    }
    fprintf(stderr,
            "Delete every stored profile (except wg-internal), switch the Wi-Fi radio on and "
            "reload NetworkManager? Interfaces lose their configuration. [y/N] ");
    char answer[16] = "";
    bool agreed = fgets(answer, sizeof answer, stdin) != nullptr &&
                  (strcmp(answer, "y\n") == 0 || strcmp(answer, "yes\n") == 0);
    if (!agreed) *status = run.fail("", "not confirmed; nothing was changed");
    return agreed;
}

int runReset(Run& run, const Args& args) {
    int status = 0;
    if (!resetConfirmed(run, args, &status)) return status;
    return plainRequest(run, LK_API_RESET, {}, "",
                        "network configuration reset: stored profiles deleted, NetworkManager "
                        "reloaded");
}

uint32_t littleEndian32(const Payload& payload) {
    return uint32_t{payload[0]} | uint32_t{payload[1]} << 8 | uint32_t{payload[2]} << 16 |
           uint32_t{payload[3]} << 24;
}

// Asks the daemon to end the probe; its result follows. 0, or the exit status.
int cancelProbe(Run& run, const Payload& handle) {
    gControlInterrupted = 0;
    ControlReply reply;
    int status = run.client.call(LK_API_CANCEL_PING, handle, 5000, &reply);
    if (status < 0) return run.lost(status, 5000);
    if (reply.status != 0 && reply.status != 2) {
        run.fail("", "the probe could not be cancelled: " +
                         statusText(LK_API_CANCEL_PING, reply.status));
        return LK_EXIT_INTERRUPTED;
    }
    return 0;
}

// Waits for the result of the probe; Ctrl-C cancels the probe and shows what it got.
int awaitPingResult(Run& run, const PingArgs& ping, const Payload& handle) {
    uint32_t number = littleEndian32(handle);
    int waitMs = run.timeoutMs(static_cast<int>(ping.longestMs) + kPingSlackMs);
    bool cancelled = false;
    for (;;) {
        ControlMessage message;
        int status = run.client.nextMessage(waitMs, &message);
        if (status == -EINTR && !cancelled) {
            cancelled = true;
            if (int failed = cancelProbe(run, handle); failed != 0) return failed;
            waitMs = 5000;
            continue;
        }
        if (status < 0) return run.lost(status, waitMs);
        JsonView result;
        if (message.apiId != LK_MSG_PING_RESULT || !JsonView::parse(message.payload, &result) ||
            result["handle"].num() != number) {
            continue;
        }
        if (run.anyJson()) {
            run.printJson(payloadText(message.payload));
        } else if (result["error"].has()) {
            fprintf(stderr, "lkctl: ping %s\n", pingLine(ping.host, result).c_str());
        } else {
            printf("%s\n", pingLine(ping.host, result).c_str());
        }
        bool answered = result["requests"].num() > result["timeouts"].num();
        return !result["error"].has() && answered ? LK_EXIT_OK : LK_EXIT_FAILED;
    }
}

int runPing(Run& run, const Args& args) {
    PingArgs ping;
    std::string error;
    if (!parsePing(args, &ping, &error)) return run.usage(error);
    ControlReply reply;
    if (int status = run.open(); status != 0) return status;
    if (int status = run.request(LK_API_PING, textPayload(ping.json), ping.host, &reply);
        status != 0) {
        return status;
    }
    if (reply.payload.size() != 4) return run.fail(ping.host, "the reply holds no probe handle");
    return awaitPingResult(run, ping, reply.payload);
}

struct Watched {
    std::string iface;
    bool wifi;
};

// The interfaces to watch: every one, or the named ones; false after a message.
bool monitorTargets(Run& run, const Args& names, std::vector<Watched>* targets, int* status) {
    ControlReply reply;
    JsonView list;
    if ((*status = run.request(LK_API_LIST_INTERFACES, {}, "", &reply)) != 0) return false;
    if (!JsonView::parse(reply.payload, &list)) {
        *status = run.fail("", "the interface list is not JSON");
        return false;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        std::string iface = list.at(i)["name"].str();
        std::string type = list.at(i)["type"].str();
        bool named = false;
        for (const std::string& name : names) named = named || name == iface;
        // The watches are shared by every client of the daemon: none spent on loopback unasked.
        if (named || (names.empty() && type != "loopback"))
            targets->push_back({iface, type == "wifi"});
    }
    for (const std::string& name : names) {
        bool found = false;
        for (const Watched& target : *targets) found = found || target.iface == name;
        if (!found) {
            *status = run.fail(name, "no such interface");
            return false;
        }
    }
    return true;
}

// Watches for each target: state changes, and access points on Wi-Fi. The number made.
int addWatches(Run& run, const std::vector<Watched>& targets, int* status) {
    int made = 0;
    for (const Watched& target : targets) {
        for (const char* property :
             {"state-changed", "access-point-added", "access-point-removed"}) {
            if (!target.wifi && strcmp(property, "state-changed") != 0) break;
            std::string json = "{\"interface\":" + jsonQuote(target.iface) + ",\"property\":\"" +
                               property + "\",\"handle\":0}";
            ControlReply reply;
            *status = run.request(LK_API_WATCH, textPayload(json), target.iface, &reply);
            if (*status != LK_EXIT_OK && *status != LK_EXIT_FAILED) return made;
            made += *status == LK_EXIT_OK ? 1 : 0;
        }
    }
    *status = made > 0 ? LK_EXIT_OK : LK_EXIT_FAILED;
    return made;
}

// Monitoring every interface includes the ones that come later: a watch on the device list.
void watchDeviceList(Run& run) {
    ControlReply reply;
    int status = run.request(LK_API_WATCH,
                             textPayload(R"({"interface":"","property":"devices","handle":0})"),
                             "devices", &reply);
    if (status != LK_EXIT_OK)
        fprintf(stderr, "lkctl: monitor: devices added or removed are not shown\n");
}

std::string clockText() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

int runMonitor(Run& run, const Args& args) {
    std::string error;
    for (const std::string& name : args) {
        if (!checkInterface(name, &error)) return run.usage(error);
    }
    std::vector<Watched> targets;
    int status = run.open();
    if (status != 0 || !monitorTargets(run, args, &targets, &status)) return status;
    addWatches(run, targets, &status);
    if (status != 0) return status;
    if (args.empty()) watchDeviceList(run);
    fprintf(stderr, "lkctl: monitoring; Ctrl-C ends\n");
    for (;;) {
        ControlMessage message;
        status = run.client.nextMessage(-1, &message);
        if (status == -EINTR) return LK_EXIT_OK;
        if (status < 0) return run.lost(status, 0);
        JsonView event;
        if (message.apiId != LK_MSG_EVENT || !JsonView::parse(message.payload, &event)) continue;
        if (run.anyJson()) {
            run.printJson(payloadText(message.payload));
        } else {
            printf("%s %s\n", clockText().c_str(), eventLine(run.style(), event).c_str());
        }
        fflush(stdout);
    }
}

struct Command {
    const char* name;
    const char* alias;
    const char* synopsis;
    const char* summary;
    const char* description;
    const char* example;
    int (*run)(Run&, const Args&);
};

constexpr Command kCommands[] = {
    {"interfaces", "list", "interfaces", "the interfaces, their type, class and state",
     "Lists every interface NetworkManager knows: name, type, the platform's class (internal,\n"
     "external, integration, or - for none) and the device state by name.",
     "lkctl interfaces", runInterfaces},
    {"details", nullptr, "details IFACE",
     "state, addresses, DNS, carrier and speed of one interface",
     "Shows one interface: state, hardware address, MTU, carrier, speed and duplex (Ethernet),\n"
     "the access point it is associated with (Wi-Fi), whether a profile is active, and its\n"
     "IPv4 and IPv6 addresses, gateways and name servers.",
     "lkctl details eth0", runDetails},
    {"profile", nullptr, "profile IFACE", "the active profile of an interface",
     "Shows the profile active on the interface as NetworkManager stores it: IPv4 and IPv6\n"
     "methods, addresses, gateways, name servers and, for Wi-Fi, SSID, mode and security. The\n"
     "pre-shared key is masked (null with --json) unless --show-secrets is given.",
     "lkctl profile wlan0 --show-secrets", runProfile},
    {"set-connection", nullptr,
     "set-connection IFACE SETTING... [--wait SECONDS] [--rollback SECONDS]\n"
     "                      [--verify HOST[:SECONDS]] [--key-file FILE | --ask]\n"
     "       lkctl set-connection IFACE remove\n"
     "       lkctl set-connection --json-payload JSON",
     "write and activate the whole profile of an interface",
     "Stores a new profile for the interface, activates it in place of the old one and deletes\n"
     "the older profiles; 'remove' deletes them all. SETTINGs, each section at most once:\n"
     "  ip4 auto|link-local|disabled | ip4 manual|shared ADDRESS/PREFIX, then: gw ADDRESS\n"
     "      (manual), dns ADDRESS (auto, manual; at most twice). Without ip4, IPv4 is disabled.\n"
     "  ip6 auto|dhcp|link-local|ignore|shared|disabled | ip6 manual ADDRESS/PREFIX..., then:\n"
     "      gw ADDRESS (manual), dns ADDRESS (auto, dhcp, manual; at most twice), addr-gen\n"
     "      eui64|stable-privacy|default-or-eui64|default. Without ip6, IPv6 is disabled.\n"
     "  wifi, then: ssid TEXT (1 to 32 bytes; required), key - (the key from standard input),\n"
     "      keymgt open|wpa|wpa2|sae (default wpa2 with a key, else open), hidden, visible,\n"
     "      mode infrastructure|ap. Wi-Fi interfaces need it.\n"
     "The key (8 to 63 characters or 64 hex digits) comes from standard input with 'key -',\n"
     "from the first line of a file with --key-file FILE, or from a prompt without echo with\n"
     "--ask. 'key KEY' works too, but every local user can read a command line in /proc for\n"
     "as long as lkctl runs, and it stays in the shell's history.\n"
     "A section left out is switched off: lkctl warns when that disables IPv4 or IPv6\n"
     "configured today; 'lkctl modify' changes single settings instead.\n"
     "--wait SECONDS (1-120) answers once the interface is activated, failed or the time is up.\n"
     "--rollback SECONDS (5-3600) keeps a checkpoint: unless 'lkctl confirm N' follows within\n"
     "that time, NetworkManager restores the previous state. With both, a failed activation is\n"
     "undone at once. --verify HOST[:SECONDS] (1-120, default 10) checks the change on the\n"
     "device: once activated, echo requests go to HOST out of the interface until one is\n"
     "answered; none answered in time, the change is undone at once (and lkctl fails).\n"
     "--json-payload sends request 3's JSON as given (docs/api.md).",
     "lkctl set-connection eth0 ip4 manual 192.0.2.2/28 gw 192.0.2.1 dns 192.0.2.1 ip6 auto \\\n"
     "      --wait 30 --rollback 120\n"
     "  lkctl set-connection wlan0 ip4 auto wifi ssid demo-net --ask",
     runSetConnection},
    {"modify", nullptr,
     "modify IFACE SETTING... [--wait SECONDS] [--rollback SECONDS] [--verify HOST[:SECONDS]]\n"
     "              [--key-file FILE | --ask]",
     "change single settings of the profile of an interface",
     "Reads the interface's active profile, changes only the settings given and writes it back\n"
     "as set-connection does (with --wait, --rollback and --verify as there). A section named\n"
     "with a method (ip4 manual 192.0.2.3/28) is replaced as a whole; one named without keeps\n"
     "its method and changes only the keywords given: gw ADDRESS, dns ADDRESS (replaces the\n"
     "name servers), +dns ADDRESS (adds one), addr-gen MODE, and for wifi ssid, key -, keymgt,\n"
     "hidden, mode. Sections not named stay as they are; so does the Wi-Fi key NetworkManager\n"
     "stores (or its lack of one) unless a key is given.",
     "lkctl modify eth0 ip4 +dns 192.0.2.53 --wait 30 --rollback 120\n"
     "  lkctl modify wlan0 wifi key - <key-file",
     runModify},
    {"confirm", nullptr, "confirm N", "keep the change of checkpoint N",
     "Keeps the change made by 'set-connection --rollback' under checkpoint N.", "lkctl confirm 3",
     runConfirm},
    {"rollback", nullptr, "rollback N", "undo the change of checkpoint N now",
     "Restores the state from before the change of checkpoint N at once.", "lkctl rollback 3",
     runRollback},
    {"checkpoints", nullptr, "checkpoints", "the changes waiting for a confirm",
     "Lists the changes made with 'set-connection --rollback' that are neither confirmed nor\n"
     "rolled back: checkpoint number, interface and the seconds left before the rollback.\n"
     "While one is pending, its interface takes no other change and reset is refused.",
     "lkctl checkpoints", runCheckpoints},
    {"enable", nullptr, "enable IFACE", "activate the profile of an interface",
     "Activates the profile NetworkManager offers for the interface; nothing happens when it\n"
     "is active already.",
     "lkctl enable eth0", runEnable},
    {"disable", nullptr, "disable IFACE", "disconnect an interface",
     "Disconnects the interface; its profiles stay.", "lkctl disable eth0", runDisable},
    {"radio", nullptr, "radio on|off|status", "switch the Wi-Fi radio, or show it",
     "Switches the Wi-Fi radio on or off, or shows whether it is on.", "lkctl radio status",
     runRadio},
    {"aps", "access-points", "aps IFACE", "the access points a Wi-Fi interface sees",
     "Lists the access points the Wi-Fi interface sees, strongest first: SSID (bytes that are\n"
     "not printable as \\xNN), signal, band and channel, security (open, WEP, WPA, WPA2, WPA3,\n"
     "WPA2/WPA3, OWE, enterprise), BSSID and when it was last seen. Hidden networks are left\n"
     "out.",
     "lkctl aps wlan0", runAccessPoints},
    {"scan", nullptr, "scan IFACE", "start a Wi-Fi scan",
     "Asks NetworkManager to scan; the answer comes when the scan started, the results later\n"
     "in 'lkctl aps' and 'lkctl monitor'.",
     "lkctl scan wlan0", runScan},
    {"ping", nullptr, "ping HOST [-c COUNT] [-i SECONDS] [-W SECONDS] [-w SECONDS] [-4|-6]",
     "probe a host with ICMP echo requests",
     "Has linkKeeper send COUNT echo requests (default 4, at most 65535) to HOST, -i SECONDS\n"
     "apart (default 1, at least 0.01), waiting -W SECONDS for each reply (default 1, at most\n"
     "60), sending none after -w SECONDS (default: no limit); seconds as ping(8) takes them,\n"
     "to the millisecond (-i 0.2). -4 or -6 picks the address family (default: IPv4, else\n"
     "IPv6). Prints the result when the probe ends, or why it could not run; Ctrl-C ends it\n"
     "early. Exit status 1 when no reply came or the probe could not run.",
     "lkctl ping 192.0.2.1 -c 3 -i 0.2", runPing},
    {"classes", nullptr, "classes", "the platform's interface classes",
     "Shows the interfaces of each platform class, from the boot lists.", "lkctl classes",
     runClasses},
    {"reset", nullptr, "reset [--yes]", "delete every stored profile and reload NetworkManager",
     "Deletes every stored profile (except wg-internal), switches the radio on and has\n"
     "NetworkManager reload. Interfaces lose their configuration. Asks first on a terminal;\n"
     "without one (a script), --yes (-y) is needed, else nothing changes (exit status 2).",
     "lkctl reset --yes", runReset},
    {"monitor", nullptr, "monitor [IFACE...]", "print state changes and access points until Ctrl-C",
     "Watches every interface but loopback (or the named ones) for state changes and, on Wi-Fi\n"
     "interfaces, for access points that come and go, and prints each event with the time, the\n"
     "state and the reason by name, and every rollback of a checkpoint; without names, also\n"
     "the devices added and removed. Ctrl-C ends it (exit status 0). linkKeeper keeps 16\n"
     "watches for all its clients; an interface that gets none is reported and skipped.",
     "lkctl monitor eth0 wlan0", runMonitor},
};

const Command* findCommand(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name || (command.alias && name == command.alias)) return &command;
    }
    return nullptr;
}

}  // namespace

bool isCommand(const std::string& name) {
    return findCommand(name) != nullptr;
}

int runCommand(const GlobalOptions& options, const std::string& name, const Args& args) {
    const Command* command = findCommand(name);
    if (command == nullptr) {
        fprintf(stderr, "lkctl: unknown command \"%s\"; 'lkctl --help' lists them\n", name.c_str());
        return LK_EXIT_USAGE;
    }
    Run run(options, command->name);
    return command->run(run, args);
}

void printUsage(FILE* out) {
    fprintf(out,
            "Usage: lkctl [OPTION]... COMMAND [ARGUMENT]...\n"
            "Asks linkKeeper, over its control socket, about the device's network interfaces and\n"
            "has it change them; shows the answers for people, or as JSON.\n\n"
            "Options (before or after the command):\n"
            "  -S, --socket PATH      linkKeeper's control socket (default %s)\n"
            "  -j, --json             print replies and events as lkctl's JSON, with names\n"
            "      --raw              print replies and events as linkKeeper sent them\n"
            "      --pretty           JSON indented (with --raw: the bus JSON)\n"
            "  -t, --terse            tables and fields as values separated by colons\n"
            "  -f, --fields F1,F2...  only these columns or fields (names in lower case)\n"
            "      --show-secrets     show Wi-Fi keys instead of masking them\n"
            "      --timeout SECONDS  wait this long for each reply (default 40; 0: for ever)\n"
            "  -h, --help             this help; with a command, the command's help\n"
            "      --version          lkctl's version\n\n"
            "Commands:\n",
            LK_DEFAULT_CONTROL_PATH);
    for (const Command& command : kCommands) {
        std::string synopsis = command.synopsis;
        synopsis = synopsis.substr(0, synopsis.find('\n'));
        if (synopsis.size() > 26) {
            fprintf(out, "  %s\n  %-26s %s\n", synopsis.c_str(), "", command.summary);
        } else {
            fprintf(out, "  %-26s %s\n", synopsis.c_str(), command.summary);
        }
    }
    fprintf(out, "  %-26s %s\n  %-26s %s\n\n", "help [COMMAND]",
            "help on a command, with an example", "serve [OPTION]... STEP...",
            "stand in for the bus server (lkctl serve --help)");
    fprintf(out,
            "Exit status: %d done; %d failed; %d usage error; %d timed out; %d activation failed\n"
            "  or rolled back; %d linkKeeper or NetworkManager not running; %d no such\n"
            "  interface, profile or checkpoint.\n"
            "Colour only on a terminal, and not when NO_COLOR is set. See lkctl(1).\n",
            LK_EXIT_OK, LK_EXIT_FAILED, LK_EXIT_USAGE, LK_EXIT_TIMEOUT, LK_EXIT_ACTIVATION,
            LK_EXIT_NOT_RUNNING, LK_EXIT_NOT_FOUND);
}

bool printCommandHelp(FILE* out, const std::string& name) {
    const Command* command = findCommand(name);
    if (command == nullptr) return false;
    fprintf(out, "Usage: lkctl %s\n", command->synopsis);
    if (command->alias) fprintf(out, "  (also: lkctl %s)\n", command->alias);
    fprintf(out, "\n%s\n\nExample:\n  %s\n", command->description, command->example);
    return true;
}
