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

template <size_t N>
bool copyText(JsonValue value, char (&destination)[N]) {
    return json_string_copy_whole(value, destination, N);
}

// Copies the member when it exists (the array stays empty otherwise); false when it exists and
// cannot be copied whole: a cut address or name is another one.
template <size_t N>
bool copyIfPresent(const JsonRequestText& request, const char* path, char (&destination)[N]) {
    JsonValue value = member(request, path);
    return !json_exists(value) || copyText(value, destination);
}

// A member the request cannot do without; false when it is missing.
template <size_t N>
bool copyRequired(const JsonRequestText& request, const char* path, char (&destination)[N]) {
    return present(request, path) && copyIfPresent(request, path, destination);
}

// Copies the elements of an array member in order; false when it is no array, holds more
// elements than there are rows, or an element cannot be copied whole.
template <size_t Rows, size_t N>
bool copyList(const JsonRequestText& request, const char* path, int32_t& count,
              char (&rows)[Rows][N]) {
    JsonValue list = member(request, path);
    if (!json_exists(list)) return true;
    size_t elements = json_array_count(list);
    if (json_type(list) != JSON_TYPE_ARRAY || elements > Rows) return false;
    count = static_cast<int32_t>(elements);
    for (size_t i = 0; i < elements; ++i) {
        if (!copyText(json_array_get(list, i), rows[i])) return false;
    }
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

// "ignore-auto-dns": -1 when left out, else 0 or 1; false when it is no boolean.
bool flagIfPresent(const JsonRequestText& request, const char* path, int32_t* out) {
    JsonValue value = member(request, path);
    *out = -1;
    if (!json_exists(value)) return true;
    JsonType type = json_type(value);
    if (type != JSON_TYPE_TRUE && type != JSON_TYPE_FALSE) return false;
    *out = type == JSON_TYPE_TRUE ? 1 : 0;
    return true;
}

bool decodeIp4(const JsonRequestText& request, nmaConnection* connection) {
    auto& ip4 = connection->ip4;
    return copyRequired(request, "ip4.method", ip4.method) &&
           copyIfPresent(request, "ip4.address", ip4.address) &&
           numberIfPresent(request, "ip4.prefix", 1, 32, &ip4.prefix, true) &&
           copyIfPresent(request, "ip4.gateway", ip4.gateway) &&
           copyList(request, "ip4.dns", ip4.dnsCount, ip4.dns) &&
           flagIfPresent(request, "ip4.ignore-auto-dns", &ip4.ignoreAutoDns);
}

bool decodeIp6(const JsonRequestText& request, nmaConnection* connection) {
    auto& ip6 = connection->ip6;
    return copyRequired(request, "ip6.method", ip6.method) &&
           copyIfPresent(request, "ip6.gateway", ip6.gateway) &&
           copyList(request, "ip6.addresses", ip6.addressesCount, ip6.addresses) &&
           copyList(request, "ip6.dns", ip6.dnsCount, ip6.dns) &&
           copyIfPresent(request, "ip6.addr-gen-mode", ip6.addrGenMode) &&
           flagIfPresent(request, "ip6.ignore-auto-dns", &ip6.ignoreAutoDns);
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
    if (!decodeSsid(request, connection) || !copyIfPresent(request, "wifi.mode", wifi.mode)) {
        return false;
    }
    if (wifi.mode[0] == '\0') {
        strcpy(wifi.mode, "infrastructure");
    } else if (strcmp(wifi.mode, "infrastructure") != 0 && strcmp(wifi.mode, "ap") != 0) {
        return false;
    }
    int32_t hidden = -1;
    if (!flagIfPresent(request, "wifi.hidden", &hidden)) return false;
    wifi.hidden = hidden == 1 ? 1 : 0;
    if (!copyIfPresent(request, "wifi.security.keymgt", wifi.security.keymgt)) return false;
    // null: the key stays what the interface's profile stores now (request 4 reads a key
    // NetworkManager does not store as null, and that answer must be writable).
    JsonValue psk = member(request, "wifi.security.psk");
    if (json_exists(psk) && json_type(psk) == JSON_TYPE_NULL) {
        wifi.security.keepStoredPsk = 1;
        return true;
    }
    // An empty key is no key: so a key that is there always means security.
    return copyIfPresent(request, "wifi.security.psk", wifi.security.psk) &&
           json_exists(psk) == (wifi.security.psk[0] != '\0');
}

// "verify": {"host": text, "seconds": 1 to 120}; absent: no check.
bool decodeVerify(const JsonRequestText& request, nmaConnection* connection) {
    auto& verify = connection->verify;
    if (!present(request, "verify")) return true;
    JsonValue host = member(request, "verify.host");
    if (json_type(host) != JSON_TYPE_STRING || json_string_length(host) == 0 ||
        json_string_length(host) >= sizeof verify.host) {
        return false;
    }
    copyIfPresent(request, "verify.host", verify.host);
    verify.seconds = LK_VERIFY_DEFAULT_S;
    return numberIfPresent(request, "verify.seconds", 1, LK_VERIFY_MAX_S, &verify.seconds);
}

}  // namespace

int nmjson_unmarshal_nmaConnection(Decoder* dec, nmaConnection* connection) {
    memset(connection, 0, sizeof *connection);
    JsonRequestText request;
    if (!json_request_text(dec, &request)) return -EINVAL;
    connection->ip4.ignoreAutoDns = connection->ip6.ignoreAutoDns = -1;
    if (!copyRequired(request, "interface", connection->interface)) return -EINVAL;
    JsonValue remove = member(request, "remove");
    if (json_exists(remove)) connection->remove = json_bool(remove) ? 1 : 0;
    if (!numberIfPresent(request, "wait", 1, LK_WAIT_MAX_S, &connection->wait) ||
        !numberIfPresent(request, "rollback", LK_ROLLBACK_MIN_S, LK_ROLLBACK_MAX_S,
                         &connection->rollback) ||
        !decodeVerify(request, connection)) {
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
    bool whole = copyIfPresent(request, "interface", config->interface) &&
                 copyIfPresent(request, "property", config->property);
    JsonValue handle = member(request, "handle");
    if (!json_exists(handle)) return -EINVAL;
    config->handle = static_cast<uint32_t>(json_uint64(handle));
    // Only a new watch looks at the names; a removal names its handle alone.
    return whole || config->handle != 0 ? 0 : -EINVAL;
}
