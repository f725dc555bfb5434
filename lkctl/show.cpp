#include "lkctl/show.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

#include "lkctl/names.h"

namespace {

constexpr const char* kBold = "1";
constexpr const char* kGreen = "32";
constexpr const char* kYellow = "33";
constexpr const char* kRed = "31";
constexpr const char* kDim = "2";
constexpr const char* kMaskedKey = "********";

struct Cell {
    std::string text;
    const char* sgr = nullptr;  // colour of the text, if any
};
using Row = std::vector<Cell>;

std::string paint(const ShowStyle& style, const char* sgr, const std::string& text) {
    if (!style.colour || sgr == nullptr) return text;
    return std::string("\033[") + sgr + "m" + text + "\033[0m";
}

const char* stateColour(int64_t state) {
    if (state == 100) return kGreen;
    if (state == 120) return kRed;
    if (state <= 10) return kDim;
    return kYellow;
}

std::string orDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string fieldNamesOf(const std::vector<std::string>& titles) {
    std::string names;
    for (const std::string& title : titles) {
        std::string name = fieldName(title);
        if (names.find(name) == std::string::npos) names += (names.empty() ? "" : ", ") + name;
    }
    return names;
}

// The indices of the titles -f picks, in its order; false after a message for a name
// that is none of them.
bool pickColumns(const ShowStyle& style, const std::vector<std::string>& titles,
                 std::vector<size_t>* picked) {
    if (style.fields.empty()) {
        for (size_t i = 0; i < titles.size(); ++i) picked->push_back(i);
        return true;
    }
    for (const std::string& wanted : style.fields) {
        size_t before = picked->size();
        for (size_t i = 0; i < titles.size(); ++i) {
            if (fieldName(titles[i]) == wanted) picked->push_back(i);
        }
        if (picked->size() == before) {
            fprintf(stderr, "lkctl: --fields: no field \"%s\" here; the fields: %s\n",
                    wanted.c_str(), fieldNamesOf(titles).c_str());
            return false;
        }
    }
    return true;
}

std::string terseValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ':' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// Columns padded to their widest cell (in terminal columns); the last column is not padded.
bool printTable(FILE* out, const ShowStyle& style, const Row& header,
                const std::vector<Row>& rows) {
    std::vector<std::string> titles;
    for (const Cell& cell : header) titles.push_back(cell.text);
    std::vector<size_t> columns;
    if (!pickColumns(style, titles, &columns)) return false;
    std::vector<size_t> widths(header.size(), 0);
    for (size_t i = 0; i < header.size(); ++i) widths[i] = displayWidth(header[i].text);
    for (const Row& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], displayWidth(row[i].text));
        }
    }
    auto print = [&](const Row& row, const char* sgr) {
        std::string line;
        for (size_t k = 0; k < columns.size(); ++k) {
            const Cell& cell = row[columns[k]];
            bool last = k + 1 == columns.size();
            if (style.terse) {
                line += terseValue(cell.text) + (last ? "" : ":");
                continue;
            }
            line += paint(style, sgr ? sgr : cell.sgr, cell.text);
            if (!last) line += std::string(widths[columns[k]] - displayWidth(cell.text) + 2, ' ');
        }
        fprintf(out, "%s\n", line.c_str());
    };
    if (!style.terse) print(header, kBold);
    for (const Row& row : rows) print(row, nullptr);
    return true;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

// "key   value" lines, keys padded to the widest; a key may repeat for list values. Terse:
// "key:value".
bool printFields(FILE* out, const ShowStyle& style, const Fields& fields) {
    std::vector<std::string> titles;
    for (const auto& field : fields) titles.push_back(field.first);
    std::vector<size_t> picked;
    if (!pickColumns(style, titles, &picked)) return false;
    size_t width = 0;
    for (size_t i : picked) width = std::max(width, fields[i].first.size());
    for (size_t i : picked) {
        const auto& [key, value] = fields[i];
        if (style.terse) {
            fprintf(out, "%s:%s\n", fieldName(key).c_str(), terseValue(value).c_str());
            continue;
        }
        std::string padded = key + std::string(width - key.size() + 2, ' ');
        fprintf(out, "%s%s\n", paint(style, kBold, padded).c_str(), value.c_str());
    }
    return true;
}

// One field per element of a list of strings, or one "-" when it is empty.
void addList(Fields* fields, const std::string& key, JsonView list) {
    if (list.size() == 0) fields->emplace_back(key, "-");
    for (size_t i = 0; i < list.size(); ++i) fields->emplace_back(key, list.at(i).str());
}

std::string ssidText(JsonView ssid) {
    std::string bytes;
    if (!base64Decode(ssid.str(), &bytes)) return "?";
    return printableSsid(bytes);
}

std::string channelText(JsonView ap) {
    WifiChannel channel = wifiChannel(ap["frequency"].num());
    if (channel.band == nullptr) return std::to_string(ap["frequency"].num()) + " MHz";
    return std::string(channel.band) + " ch " + std::to_string(channel.channel);
}

std::string apSecurity(JsonView ap) {
    return securityName(ap["apFlags"].num(), ap["wpaFlags"].num(), ap["rsnFlags"].num());
}

// "demo-net, 02:00:00:00:01:00, 70 %, 2.4 GHz ch 1, WPA2"
std::string apSummary(JsonView ap) {
    return ssidText(ap["ssid"]) + ", " + orDash(ap["bssid"].str()) + ", " +
           std::to_string(ap["signal"].num()) + " %, " + channelText(ap) + ", " + apSecurity(ap);
}

std::string lastSeen(JsonView ago) {
    int64_t seconds = ago.num();
    // NetworkManager stamps never-seen access points with -1, which reads as decades here.
    if (!ago.has() || seconds < 0 || seconds > 86400 * 365) return "-";
    if (seconds < 120) return std::to_string(seconds) + " s ago";
    if (seconds < 7200) return std::to_string(seconds / 60) + " min ago";
    return std::to_string(seconds / 3600) + " h ago";
}

const char* signalColour(int64_t signal) {
    return signal >= 67 ? kGreen : signal >= 34 ? kYellow : kRed;
}

void addIpDetails(Fields* fields, const char* family, JsonView ip) {
    std::string name(family);
    if (!ip.has()) {
        fields->emplace_back(name, "-");
        return;
    }
    addList(fields, name, ip["addressprefixlist"]);
    fields->emplace_back(name + " gateway", orDash(ip["gateway"].str()));
    addList(fields, name + " DNS", ip["dnslist"]);
}

std::string carrierText(JsonView ethernet) {
    if (!ethernet["carrier"].yes()) return "no";
    std::string text = "yes";
    if (ethernet["speed"].has()) text += ", " + std::to_string(ethernet["speed"].num()) + " Mbit/s";
    if (ethernet["duplex"].has()) text += ", " + ethernet["duplex"].str() + " duplex";
    return text;
}

std::string associatedText(JsonView wifi) {
    if (!wifi.has()) return "not associated";
    if (!wifi["ssid"].has()) return "hidden network";
    return apSummary(wifi);
}

void addIpProfile(Fields* fields, const char* family, JsonView ip) {
    std::string name(family);
    if (!ip.has()) {
        fields->emplace_back(name, "disabled");
        return;
    }
    std::string method = ip["method"].str();
    if (ip["addr-gen-mode"].has()) method += ", addresses by " + ip["addr-gen-mode"].str();
    fields->emplace_back(name, method);
    if (ip["address"].has()) {
        fields->emplace_back(name + " address",
                             ip["address"].str() + "/" + std::to_string(ip["prefix"].num()));
    }
    JsonView addresses = ip["addresses"];
    for (size_t i = 0; i < addresses.size(); ++i) {
        fields->emplace_back(name + " address", addresses.at(i).str());
    }
    if (ip["gateway"].has()) fields->emplace_back(name + " gateway", ip["gateway"].str());
    JsonView dns = ip["dns"];
    for (size_t i = 0; i < dns.size(); ++i) fields->emplace_back(name + " DNS", dns.at(i).str());
}

void addWifiProfile(Fields* fields, const ShowStyle& style, JsonView wifi) {
    if (!wifi.has()) return;
    fields->emplace_back("Wi-Fi SSID", ssidText(wifi["ssid"]));
    fields->emplace_back("Wi-Fi mode", orDash(wifi["mode"].str()));
    JsonView security = wifi["security"];
    fields->emplace_back("security", orDash(security["keymgt"].str()));
    JsonView key = security["psk"];
    if (!key.present()) return;  // an open network
    if (!key.has()) {
        fields->emplace_back("key", "(none stored)");
        return;
    }
    fields->emplace_back(
        "key", style.showSecrets ? key.str() : std::string(kMaskedKey) + " (--show-secrets)");
}

}  // namespace

bool showInterfaces(FILE* out, const ShowStyle& style, JsonView list) {
    std::vector<Row> rows;
    for (size_t i = 0; i < list.size(); ++i) {
        JsonView device = list.at(i);
        int64_t state = device["nmdevicestate"].num();
        rows.push_back(Row{{device["name"].str()},
                           {device["type"].str()},
                           {orDash(device["yebtype"].str())},
                           {deviceStateName(state), stateColour(state)}});
    }
    return printTable(out, style, Row{{"NAME"}, {"TYPE"}, {"CLASS"}, {"STATE"}}, rows);
}

bool showDetails(FILE* out, const ShowStyle& style, JsonView details) {
    int64_t state = details["nmdevicestate"].num();
    Fields fields = {
        {"interface", details["name"].str()},
        {"type", details["type"].str()},
        {"class", orDash(details["yebtype"].str())},
        {"state", paint(style, stateColour(state), deviceStateName(state))},
        {"hardware", orDash(details["hwaddress"].str())},
        {"MTU", std::to_string(details["mtu"].num())},
    };
    if (details["ethernet"].has()) fields.emplace_back("carrier", carrierText(details["ethernet"]));
    if (details["wifi"].present())
        fields.emplace_back("access point", associatedText(details["wifi"]));
    fields.emplace_back("profile active", details["configured"].yes() ? "yes" : "no");
    addIpDetails(&fields, "IPv4", details["ip4settings"]);
    addIpDetails(&fields, "IPv6", details["ip6settings"]);
    return printFields(out, style, fields);
}

bool showProfile(FILE* out, const ShowStyle& style, JsonView profile) {
    Fields fields = {{"interface", profile["interface"].str()}};
    addIpProfile(&fields, "IPv4", profile["ip4"]);
    addIpProfile(&fields, "IPv6", profile["ip6"]);
    addWifiProfile(&fields, style, profile["wifi"]);
    return printFields(out, style, fields);
}

bool showClasses(FILE* out, const ShowStyle& style, JsonView classes) {
    std::vector<Row> rows;
    for (const char* name : {"internal", "external", "integration"}) {
        std::string members;
        JsonView list = classes[name];
        for (size_t i = 0; i < list.size(); ++i) members += (i ? " " : "") + list.at(i).str();
        rows.push_back(Row{{name}, {orDash(members)}});
    }
    return printTable(out, style, Row{{"CLASS"}, {"INTERFACES"}}, rows);
}

bool showCheckpoints(FILE* out, const ShowStyle& style, JsonView list) {
    std::vector<Row> rows;
    for (size_t i = 0; i < list.size(); ++i) {
        JsonView pending = list.at(i);
        rows.push_back(Row{{std::to_string(pending["checkpoint"].num())},
                           {pending["interface"].str()},
                           {std::to_string(pending["seconds"].num())}});
    }
    return printTable(out, style, Row{{"CHECKPOINT"}, {"INTERFACE"}, {"SECONDS LEFT"}}, rows);
}

bool showAccessPoints(FILE* out, const ShowStyle& style, JsonView list) {
    std::vector<JsonView> aps;
    for (size_t i = 0; i < list.size(); ++i) aps.push_back(list.at(i));
    std::stable_sort(aps.begin(), aps.end(), [](const JsonView& a, const JsonView& b) {
        return a["signal"].num() > b["signal"].num();
    });
    std::vector<Row> rows;
    for (const JsonView& ap : aps) {
        WifiChannel channel = wifiChannel(ap["frequency"].num());
        int64_t signal = ap["signal"].num();
        rows.push_back(
            Row{{ssidText(ap["ssid"])},
                {std::to_string(signal) + " %", signalColour(signal)},
                {channel.band ? channel.band : std::to_string(ap["frequency"].num()) + " MHz"},
                {channel.band ? std::to_string(channel.channel) : "-"},
                {apSecurity(ap)},
                {orDash(ap["bssid"].str())},
                {lastSeen(ap["lastSeenAgo"])}});
    }
    return printTable(
        out, style,
        Row{{"SSID"}, {"SIGNAL"}, {"BAND"}, {"CHANNEL"}, {"SECURITY"}, {"BSSID"}, {"LAST SEEN"}},
        rows);
}

std::string eventLine(const ShowStyle& style, JsonView event) {
    std::string kind = event["event"].str();
    std::string iface = event["interface"].str();
    if (kind == "nmdevicestate") {
        int64_t state = event["nmdevicestate"].num();
        std::string line = iface + ": " + paint(style, stateColour(state), deviceStateName(state));
        int64_t reason = event["reason"].num();
        if (reason != 0) line += " (reason: " + stateReasonName(reason) + ")";
        return line;
    }
    if (kind == "access-point-added" || kind == "access-point-removed") {
        return iface + ": access point " +
               (kind == "access-point-added" ? "added: " : "removed: ") + apSummary(event);
    }
    if (kind == "device-added" || kind == "device-removed") {
        return iface + ": device " + (kind == "device-added" ? "added" : "removed") + " (" +
               orDash(event["type"].str()) + ")";
    }
    if (kind == "rollback") {
        return iface + ": checkpoint " + std::to_string(event["checkpoint"].num()) + " rolled back";
    }
    return std::string(event.raw());
}

std::string fieldName(const std::string& title) {
    std::string name;
    for (char c : title) name.push_back(c == ' ' ? '-' : static_cast<char>(tolower(c)));
    return name;
}

std::string pingLine(const std::string& host, JsonView result) {
    if (result["error"].has()) {
        std::string cause = result["cause"].str();
        return host + ": the probe could not run: " +
               (cause.empty() ? "name not resolved, or no ICMP socket" : cause);
    }
    int64_t requests = result["requests"].num();
    int64_t timeouts = result["timeouts"].num();
    std::string line = host + ": " + std::to_string(requests) + " sent, " +
                       std::to_string(requests - timeouts) + " answered, " +
                       std::to_string(timeouts) + " timed out";
    if (!result["avgReplyUs"].has()) return line;
    char times[96];
    snprintf(times, sizeof times, "; round trip min/avg/max %.3f/%.3f/%.3f ms",
             static_cast<double>(result["minReplyUs"].num()) / 1000.0,
             static_cast<double>(result["avgReplyUs"].num()) / 1000.0,
             static_cast<double>(result["maxReplyUs"].num()) / 1000.0);
    return line + times;
}
