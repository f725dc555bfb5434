// The two JSON request decoders of the NetworkManager adapter over arbitrary payloads, handed
// over as the dispatch loop does (payload, then a NUL that is not part of it).
#include <cstdint>
#include <cstring>
#include <vector>

#include "nm/nmjson_unmarshal.h"

// The platform's byte order (little-endian) without linking the node facts it sits with.
int yebEndian() {
    return 0;
}

template <size_t... N>
static bool terminated(const char (&... texts)[N]) {
    return ((std::memchr(texts, '\0', N) != nullptr) && ...);
}

// What a decoded connection may hold: terminated texts, counts within their arrays, a known mode.
static bool plausible(const nmaConnection& c) {
    return terminated(c.interface, c.ip4.method, c.ip4.address, c.ip6.gateway, c.wifi.mode,
                      c.wifi.security.psk) &&
           c.ip4.dnsCount >= 0 && c.ip4.dnsCount <= LK_IP4_DNS_MAX && c.ip6.addressesCount >= 0 &&
           c.ip6.addressesCount <= LK_IP6_ADDRESSES_MAX && c.ip6.dnsCount >= 0 &&
           c.ip6.dnsCount <= LK_IP6_DNS_MAX && c.wifi.ssidLength <= LK_SSID_MAX &&
           (c.wifi.mode[0] == '\0' || strcmp(c.wifi.mode, "infrastructure") == 0 ||
            strcmp(c.wifi.mode, "ap") == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    std::vector<unsigned char> payload(data, data + size);
    payload.push_back(0);
    Decoder dec;
    decoderWrap(&dec, payload.data(), static_cast<int>(size));
    nmaConnection c;
    if (nmjson_unmarshal_nmaConnection(&dec, &c) == 0 && !plausible(c)) __builtin_trap();
    nmaWatchInterfaceCfg w;
    if (nmjson_unmarshal_nmaWatchInterfaceCfg(&dec, &w) == 0 &&
        !terminated(w.interface, w.property)) {
        __builtin_trap();
    }
    return 0;
}
