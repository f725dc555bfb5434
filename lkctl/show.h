#pragma once
// lkctl's output for people: tables and field lists of the daemon's JSON replies, one line per
// event or ping result, states and reasons by name. Colour only when the caller says so.
#include <cstdio>
#include <string>
#include <vector>

#include "lkctl/json_view.h"

struct ShowStyle {
    bool colour = false;
    bool showSecrets = false;
    // -t: values only, separated by colons (a colon or backslash in a value escaped with a
    // backslash), no header, no padding, no colour; as nmcli -t.
    bool terse = false;
    // -f: the columns of a table or the fields of a list to show, in this order, by their
    // names in lower case with '-' for blanks ("name", "last-seen", "ipv4-dns"); empty: all.
    std::vector<std::string> fields;
};

// Each show function returns false, after a message, when style.fields names a column or
// field it does not have.
// Request 1: NAME TYPE CLASS STATE.
bool showInterfaces(FILE* out, const ShowStyle& style, JsonView list);
// Request 2: state, hardware, carrier and speed, associated access point, addresses, DNS.
bool showDetails(FILE* out, const ShowStyle& style, JsonView details);
// Request 4: the stored profile; the key masked unless style.showSecrets.
bool showProfile(FILE* out, const ShowStyle& style, JsonView profile);
// Request 7: CLASS INTERFACES.
bool showClasses(FILE* out, const ShowStyle& style, JsonView classes);
// Request 10: SSID SIGNAL BAND CHANNEL SECURITY BSSID LAST-SEEN, strongest first.
bool showAccessPoints(FILE* out, const ShowStyle& style, JsonView list);
// Request 18: CHECKPOINT INTERFACE SECONDS-LEFT.
bool showCheckpoints(FILE* out, const ShowStyle& style, JsonView list);
// "last seen" -> "last-seen", "IPv4 DNS" -> "ipv4-dns": the name -f takes.
std::string fieldName(const std::string& title);
// Message 6: "wlan0: activated (reason: ...)", "wlan0: access point added: ...", ...
std::string eventLine(const ShowStyle& style, JsonView event);
// Message 13 of a probe to host.
std::string pingLine(const std::string& host, JsonView result);
