#pragma once
// lkctl's output for people: tables and field lists of the daemon's JSON replies, one line per
// event or ping result, states and reasons by name. Colour only when the caller says so.
#include <cstdio>
#include <string>

#include "lkctl/json_view.h"

struct ShowStyle {
    bool colour = false;
    bool showSecrets = false;
};

// Request 1: NAME TYPE CLASS STATE.
void showInterfaces(FILE* out, const ShowStyle& style, JsonView list);
// Request 2: state, hardware, carrier and speed, associated access point, addresses, DNS.
void showDetails(FILE* out, const ShowStyle& style, JsonView details);
// Request 4: the stored profile; the key masked unless style.showSecrets.
void showProfile(FILE* out, const ShowStyle& style, JsonView profile);
// Request 7: each class and its interfaces.
void showClasses(FILE* out, JsonView classes);
// Request 10: SSID SIGNAL BAND CHANNEL SECURITY BSSID LAST-SEEN, strongest first.
void showAccessPoints(FILE* out, const ShowStyle& style, JsonView list);
// Message 6: "wlan0: activated (reason: ...)", "wlan0: access point added: ...", ...
std::string eventLine(const ShowStyle& style, JsonView event);
// Message 13 of a probe to host.
std::string pingLine(const std::string& host, JsonView result);
