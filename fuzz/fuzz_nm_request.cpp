// The two JSON request decoders of the NetworkManager adapter over arbitrary payloads, handed
// over as the dispatch loop does (payload, then a NUL that is not part of it).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/request_text.h"
#include "nm/nmjson_unmarshal.h"

// The platform's byte order (little-endian) without linking the node facts it sits with.
int yebEndian() {
    return 0;
}

// Decoded or refused, never altered: a decoded text is the member's JSON string exactly, and
// empty when the member is left out (the sanitizer catches a text left unterminated).
static bool asSent(const JsonRequestText& r, const std::string& path, const char* decoded) {
    JsonValue v = json_getn(r.text, r.length, path.c_str());
    if (!json_exists(v)) return decoded[0] == '\0';
    std::string text(json_string_length(v), '\0');
    json_string_copy(v, text.data(), text.size() + 1);
    return json_type(v) == JSON_TYPE_STRING && text == decoded;
}

template <size_t Rows, size_t N>
static bool listAsSent(const JsonRequestText& r, const std::string& path, int count,
                       const char (&rows)[Rows][N]) {
    for (int i = 0; i < count; ++i) {
        if (!asSent(r, path + "." + std::to_string(i), rows[i])) return false;
    }
    return json_array_count(json_getn(r.text, r.length, path.c_str())) ==
           static_cast<size_t>(count);
}

// A key of null asks to keep the stored one, and leaves the key empty.
static bool keyAsSent(const JsonRequestText& r, const nmaConnection& c) {
    JsonValue v = json_getn(r.text, r.length, "wifi.security.psk");
    bool null = json_exists(v) && json_type(v) == JSON_TYPE_NULL;
    return null == (c.wifi.security.keepStoredPsk != 0) &&
           (null ? c.wifi.security.psk[0] == '\0'
                 : asSent(r, "wifi.security.psk", c.wifi.security.psk));
}

static bool unaltered(const uint8_t* data, size_t size, const nmaConnection& c) {
    const JsonRequestText r{reinterpret_cast<const char*>(data),
                            strnlen(reinterpret_cast<const char*>(data), size)};
    if (c.remove) return asSent(r, "interface", c.interface);
    // A missing or empty mode is the documented default, "infrastructure".
    bool defaultMode = asSent(r, "wifi.mode", "");
    return c.wifi.ssidLength <= LK_SSID_MAX && asSent(r, "interface", c.interface) &&
           asSent(r, "ip4.method", c.ip4.method) && asSent(r, "ip4.address", c.ip4.address) &&
           asSent(r, "ip4.gateway", c.ip4.gateway) &&
           listAsSent(r, "ip4.dns", c.ip4.dnsCount, c.ip4.dns) &&
           asSent(r, "ip6.method", c.ip6.method) && asSent(r, "ip6.gateway", c.ip6.gateway) &&
           asSent(r, "ip6.addr-gen-mode", c.ip6.addrGenMode) &&
           listAsSent(r, "ip6.addresses", c.ip6.addressesCount, c.ip6.addresses) &&
           listAsSent(r, "ip6.dns", c.ip6.dnsCount, c.ip6.dns) &&
           (defaultMode || asSent(r, "wifi.mode", c.wifi.mode)) &&
           asSent(r, "wifi.security.keymgt", c.wifi.security.keymgt) && keyAsSent(r, c);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    std::vector<unsigned char> payload(data, data + size);
    payload.push_back(0);
    Decoder dec;
    decoderWrap(&dec, payload.data(), static_cast<int>(size));
    nmaConnection c;
    if (nmjson_unmarshal_nmaConnection(&dec, &c) == 0 && !unaltered(payload.data(), size, c)) {
        __builtin_trap();
    }
    nmaWatchInterfaceCfg w;
    if (nmjson_unmarshal_nmaWatchInterfaceCfg(&dec, &w) == 0 &&
        (strnlen(w.interface, sizeof w.interface) == sizeof w.interface ||
         strnlen(w.property, sizeof w.property) == sizeof w.property)) {
        __builtin_trap();
    }
    return 0;
}
