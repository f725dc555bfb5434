#pragma once
// The arguments of lkctl's commands, checked before anything is sent, and turned into the
// request payloads: the words of set-connection into request 3's JSON, the options of ping
// into request 12's. Each failure says what is wrong in *error.
#include <cstdint>
#include <string>
#include <vector>

// A decimal number within [low, high].
bool parseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value);
// Seconds with up to three decimals ("0.2", "1", ".5") within [lowMs, highMs], in ms.
bool parseSeconds(const std::string& text, uint32_t lowMs, uint32_t highMs, uint32_t* ms);
// Milliseconds as seconds for messages: 10 -> "0.01", 60000 -> "60".
std::string secondsText(uint32_t ms);
// An interface name the kernel could have: 1 to 15 bytes, no slash, blank or colon.
bool checkInterface(const std::string& name, std::string* error);

struct ConnectionArgs {
    std::string json;   // request 3's payload
    std::string iface;  // for the messages
    uint32_t wait = 0;  // seconds, 0: not asked
    uint32_t rollback = 0;
    std::string verifyHost;  // --verify: empty when not asked
    uint32_t verifySeconds = 0;
    bool remove = false;
    bool ip4Given = false;  // the profile written has IPv4 on (not with --json-payload)
    bool ip6Given = false;
    // How long the daemon may take to answer, beyond the usual: the wait ("verify" implies the
    // longest) and the echo check.
    uint32_t longestSeconds() const;
};
// set-connection's words after the command name: IFACE remove | IFACE SETTING..., or
// --json-payload JSON; --wait SECONDS, --rollback SECONDS and --verify HOST[:SECONDS] (an IPv6
// address with seconds in brackets: [2001:db8::1]:10) anywhere.
bool parseConnection(const std::vector<std::string>& words, ConnectionArgs* out,
                     std::string* error);
// The interface modify's words name, wherever its options stand; false (with *error) for a
// bad option or name.
bool modifiedInterface(const std::vector<std::string>& words, std::string* iface,
                       std::string* error);
// modify's words after the command name: IFACE SETTING... with --wait, --rollback and
// --verify, applied to profile (request 4's reply): a section named with a method is replaced
// as set-connection would write it; one named without keeps its method and changes only the
// keywords given ("dns" replaces the name servers, "+dns" adds one); sections not named stay,
// "hidden" and "ignore-auto-dns" too, and the Wi-Fi key stays the stored one ("psk": null)
// unless a key is given.
bool parseModification(const std::vector<std::string>& words, const std::string& profile,
                       ConnectionArgs* out, std::string* error);

struct PingArgs {
    std::string host;
    std::string json;        // request 12's payload
    uint32_t longestMs = 0;  // the longest the probe can run
};
// HOST [-c COUNT] [-i SECONDS] [-W SECONDS] [-w SECONDS] [-4|-6], seconds as ping(8) takes
// them ("-i 0.2").
bool parsePing(const std::vector<std::string>& words, PingArgs* out, std::string* error);
