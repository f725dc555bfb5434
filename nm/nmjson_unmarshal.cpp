#include "nm/nmjson_unmarshal.h"

#include <glib.h>
#include <cerrno>

#include <cstring>

#include "codec/codec.h"
#include "json/json.h"
#include "nm/glib_ptr.h"

namespace {

// At most 63 Base64 characters are looked at, which decode to at most 47 bytes.
constexpr size_t kSsidBase64Buffer = 64;

JsonValue member(const JsonRequestText& request, const char* path) {
    return json_getn(request.text, request.length, path);
}

bool present(const JsonRequestText& request, const char* path) {
    return json_exists(member(request, path));
}

// Copies the member when it exists; the array stays empty otherwise.
template <size_t N>
void copyIfPresent(const JsonRequestText& request, const char* path, char (&destination)[N]) {
    JsonValue value = member(request, path);
    if (json_exists(value)) json_string_copy(value, destination, N);
}

// A member the request cannot do without; false when it is missing.
template <size_t N>
bool copyRequired(const JsonRequestText& request, const char* path, char (&destination)[N]) {
    if (!present(request, path)) return false;
    copyIfPresent(request, path, destination);
    return true;
}

// Copies the elements of an array member in order (anything but an array counts 0); false
// when it holds more elements than there are rows.
template <size_t Rows, size_t N>
bool copyList(const JsonRequestText& request, const char* path, int32_t& count,
              char (&rows)[Rows][N]) {
    JsonValue list = member(request, path);
    if (!json_exists(list)) return true;
    size_t elements = json_array_count(list);
    if (elements > Rows) return false;
    count = static_cast<int32_t>(elements);
    for (size_t i = 0; i < elements; ++i) json_string_copy(json_array_get(list, i), rows[i], N);
    return true;
}

// An optional whole number within [low, high]; false when present and anything else.
// A prefix may also come as the text of a number, as it always could; newer members may not.
bool numberIfPresent(const JsonRequestText& request, const char* path, uint64_t low, uint64_t high,
                     uint32_t* out, bool textToo = false) {
    JsonValue value = member(request, path);
    if (!json_exists(value)) return true;
    JsonType type = json_type(value);
    if (type != JSON_TYPE_NUMBER && !(textToo && type == JSON_TYPE_STRING)) return false;
    double number = json_double(value);
    if (!(number >= static_cast<double>(low) && number <= static_cast<double>(high)) ||
        number != static_cast<double>(static_cast<uint64_t>(number))) {
        return false;
    }
    *out = static_cast<uint32_t>(number);
    return true;
}

// Standard Base64 with padding, nothing else: GLib's decoder would skip foreign characters and
// store other bytes.
bool strictBase64(const char* text) {
    size_t length = strlen(text);
    if (length == 0 || length % 4 != 0) return false;
    size_t padding = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '=') {
            if (i < length - 2) return false;
            ++padding;
        } else if (padding > 0 || !(g_ascii_isalnum(c) || c == '+' || c == '/')) {
            return false;
        }
    }
    return true;
}

bool decodeIp4(const JsonRequestText& request, nmaConnection* connection) {
    auto& ip4 = connection->ip4;
    if (!copyRequired(request, "ip4.method", ip4.method)) return false;
    copyIfPresent(request, "ip4.address", ip4.address);
    if (!numberIfPresent(request, "ip4.prefix", 1, 32, &ip4.prefix, true)) return false;
    copyIfPresent(request, "ip4.gateway", ip4.gateway);
    return copyList(request, "ip4.dns", ip4.dnsCount, ip4.dns);
}

bool decodeIp6(const JsonRequestText& request, nmaConnection* connection) {
    auto& ip6 = connection->ip6;
    if (!copyRequired(request, "ip6.method", ip6.method)) return false;
    copyIfPresent(request, "ip6.gateway", ip6.gateway);
    if (!copyList(request, "ip6.addresses", ip6.addressesCount, ip6.addresses)) return false;
    if (!copyList(request, "ip6.dns", ip6.dnsCount, ip6.dns)) return false;
    copyIfPresent(request, "ip6.addr-gen-mode", ip6.addrGenMode);
    return true;
}

bool decodeSsid(const JsonRequestText& request, nmaConnection* connection) {
    char base64[kSsidBase64Buffer] = {};
    if (!copyRequired(request, "wifi.ssid", base64)) return false;
    if (json_string_length(member(request, "wifi.ssid")) >= sizeof base64) return false;
    if (!strictBase64(base64)) return false;
    gsize length = 0;
    GCharPtr bytes(reinterpret_cast<gchar*>(g_base64_decode(base64, &length)));
    if (length > sizeof connection->wifi.ssid) return false;
    if (length > 0) memcpy(connection->wifi.ssid, bytes.get(), length);
    connection->wifi.ssidLength = length;
    return true;
}

bool decodeWifi(const JsonRequestText& request, nmaConnection* connection) {
    auto& wifi = connection->wifi;
    if (!decodeSsid(request, connection)) return false;
    copyIfPresent(request, "wifi.mode", wifi.mode);
    if (wifi.mode[0] == '\0') {
        strcpy(wifi.mode, "infrastructure");
    } else if (strcmp(wifi.mode, "infrastructure") != 0 && strcmp(wifi.mode, "ap") != 0) {
        return false;
    }
    JsonValue hidden = member(request, "wifi.hidden");
    if (json_exists(hidden)) {
        JsonType type = json_type(hidden);
        if (type != JSON_TYPE_TRUE && type != JSON_TYPE_FALSE) return false;
        wifi.hidden = type == JSON_TYPE_TRUE ? 1 : 0;
    }
    copyIfPresent(request, "wifi.security.keymgt", wifi.security.keymgt);
    // A key is never cut: a cut key is another key.
    if (json_string_length(member(request, "wifi.security.psk")) >= sizeof wifi.security.psk) {
        return false;
    }
    copyIfPresent(request, "wifi.security.psk", wifi.security.psk);
    return true;
}

}  // namespace

int nmjson_unmarshal_nmaConnection(Decoder* dec, nmaConnection* connection) {
    memset(connection, 0, sizeof *connection);
    JsonRequestText request;
    if (!json_request_text(dec, &request)) return -EINVAL;
    if (!copyRequired(request, "interface", connection->interface)) return -EINVAL;
    JsonValue remove = member(request, "remove");
    if (json_exists(remove)) connection->remove = json_bool(remove) ? 1 : 0;
    if (!numberIfPresent(request, "wait", 1, LK_WAIT_MAX_S, &connection->wait) ||
        !numberIfPresent(request, "rollback", LK_ROLLBACK_MIN_S, LK_ROLLBACK_MAX_S,
                         &connection->rollback)) {
        return -EINVAL;
    }
    if (connection->remove) return 0;
    if (present(request, "ip4") && !decodeIp4(request, connection)) return -EINVAL;
    if (present(request, "ip6") && !decodeIp6(request, connection)) return -EINVAL;
    if (!present(request, "wifi")) return 0;
    return decodeWifi(request, connection) ? 0 : -EINVAL;
}

int nmjson_unmarshal_checkpoint(Decoder* dec, uint32_t* number) {
    JsonRequestText request;
    if (!json_request_text(dec, &request)) return -EINVAL;
    if (!json_exists(member(request, "checkpoint"))) return -EINVAL;
    return numberIfPresent(request, "checkpoint", 1, UINT32_MAX, number) ? 0 : -EINVAL;
}

int nmjson_unmarshal_nmaWatchInterfaceCfg(Decoder* dec, nmaWatchInterfaceCfg* config) {
    memset(config, 0, sizeof *config);
    JsonRequestText request;
    if (!json_request_text(dec, &request)) return -EINVAL;
    copyIfPresent(request, "interface", config->interface);
    copyIfPresent(request, "property", config->property);
    JsonValue handle = member(request, "handle");
    if (!json_exists(handle)) return -EINVAL;
    config->handle = static_cast<uint32_t>(json_uint64(handle));
    return 0;
}
